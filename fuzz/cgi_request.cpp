// One web request as the web server hands it over: the CGI environment, the
// body on standard input, the answer on standard output. The root holds a
// live session of 198.51.100.7 with the id AAAAAAAAAAAAAAA.
#include "cgi.h"
#include "fuzz_root.h"
#include "page_table.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cJSON.h>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <string>
#include <unistd.h>

namespace {

// Unset (null), or one of the values, or text of the input.
void set_env(FuzzedDataProvider &in, const char *name, std::initializer_list<const char *> values) {
    size_t pick = in.ConsumeIntegralInRange<size_t>(0, values.size() + 1);
    if (pick == 0)
        fuzz_env(name, nullptr);
    else if (pick <= values.size())
        fuzz_env(name, values.begin()[pick - 1]);
    else
        fuzz_env(name, in.ConsumeRandomLengthString(128).c_str());
}

// A page that would stop services and wait 2 seconds gains nothing here.
bool page_allowed(const char *script) {
    const char *slash = strrchr(script, '/');
    const PageEntry *entry = page_find(slash ? slash + 1 : script);
    return !entry || (strncmp(entry->name, "upgrade", 7) != 0);
}

// What the answer writer must have produced: nothing, a 403 with its
// reason, or the two header lines, an empty line and one JSON text of the
// announced length.
void check_answer(int status, const std::string &out) {
    if (status == CGI_STATUS_FORBIDDEN) {
        if (out.compare(0, 22, "Status: 403 Forbidden\n") != 0 || out.back() != '\n') abort();
        return;
    }
    if (status != CGI_STATUS_OK) {
        if (!out.empty()) abort();
        return;
    }
    const std::string type = "Content-Type:application/json; charset=utf-8\n\n";
    size_t header_end = out.find('\n');
    if (out.compare(0, 16, "Content-Length: ") != 0 || header_end == std::string::npos) abort();
    size_t length = strtoul(out.c_str() + 16, nullptr, 10);
    if (out.compare(header_end + 1, type.size(), type) != 0) abort();
    std::string body = out.substr(header_end + 1 + type.size());
    if (body.size() != length || body.back() != '\n') abort();
    cJSON *json = cJSON_Parse(body.c_str());
    if (!json) abort();
    cJSON_Delete(json);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size) {
    fuzz_root();
    FuzzedDataProvider in(bytes, size);
    std::string script = "/cgi-bin/";
    size_t pick = in.ConsumeIntegralInRange<size_t>(0, PAGE_COUNT);
    script += pick < PAGE_COUNT ? page_table()[pick].name : in.ConsumeRandomLengthString(64);
    if (!page_allowed(script.c_str())) script = "/cgi-bin/none.cgi";
    fuzz_env("SCRIPT_NAME", script.c_str());
    set_env(in, "REMOTE_ADDR", {"198.51.100.7", "198.51.100.8"});
    set_env(in, "REQUEST_METHOD", {"GET", "POST"});
    set_env(in, "CONTENT_TYPE", {"application/json", "text/plain"});
    set_env(in, "HTTP_COOKIE", {"session=AAAAAAAAAAAAAAA", "a=b; session = AAAAAAAAAAAAAAA ;c"});
    set_env(in, "HTTP_HOST", {"198.51.100.1", "LTE-Router:8080", "[2001:db8::1]:80"});
    set_env(in, "HTTP_ORIGIN", {"http://198.51.100.1", "null"});
    std::string length_text = in.ConsumeRandomLengthString(16);
    std::string body = in.ConsumeRemainingBytesAsString();
    if (length_text.empty()) length_text = std::to_string(body.size());
    fuzz_env("CONTENT_LENGTH", length_text.c_str());

    // every request finds the same router: factory settings, one session, no lock-outs
    fuzz_clear("/dev/apsoc_nvram");
    fuzz_remove("/tmp/web.login");
    fuzz_write("/tmp/web.session",
               "198.51.100.7 AAAAAAAAAAAAAAA " + std::to_string(fuzz_now()) + "\n");

    int body_pipe[2], out_pipe[2];
    if (pipe2(body_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0) abort();
    fcntl(body_pipe[1], F_SETPIPE_SZ, 1 << 20);
    fcntl(out_pipe[1], F_SETPIPE_SZ, 1 << 20);
    if (write(body_pipe[1], body.data(), body.size()) != static_cast<ssize_t>(body.size())) abort();
    close(body_pipe[1]);
    cgi_set_output(out_pipe[1]);

    RequestContext context;
    fuzz_shell_stand_in(true);
    int status = cgi_handle_request(body_pipe[0], &context);
    fuzz_shell_stand_in(false);
    close(body_pipe[0]);
    close(out_pipe[1]);
    std::string out;
    char buf[65536];
    ssize_t n;
    while ((n = read(out_pipe[0], buf, sizeof buf)) > 0)
        out.append(buf, static_cast<size_t>(n));
    close(out_pipe[0]);
    if (status != CGI_STATUS_OK && status != CGI_STATUS_REFUSED &&
        status != CGI_STATUS_PRINT_FAILED && status != CGI_STATUS_FORBIDDEN)
        abort();
    check_answer(status, out);
    return 0;
}
