// Login lock-out and sessions working on whatever the two tables under /tmp
// hold. In the table texts "@" stands for the boot clock's seconds now, so
// that corpus inputs hold live lines on any machine.
#include "fuzz_root.h"
#include "session.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr const char *kLogin = "/tmp/web.login";
constexpr const char *kSessions = "/tmp/web.session";

std::string with_now(std::string text) {
    std::string now = std::to_string(fuzz_now());
    for (size_t at = text.find('@'); at != std::string::npos; at = text.find('@', at + now.size()))
        text.replace(at, 1, now);
    return text;
}

// A table the code rewrote holds whole lines of three fields separated by
// one space, one per line it read, and perhaps the caller's new one.
void check_rewrite(const char *path, const std::string &before) {
    std::string after = fuzz_read(path);
    if (after == before) return;
    if (!after.empty() && after.back() != '\n') abort();
    size_t lines = 0, start = 0;
    for (size_t nl = after.find('\n'); nl != std::string::npos; nl = after.find('\n', start)) {
        std::string line = after.substr(start, nl - start);
        size_t s1 = line.find(' '), s2 = s1 == std::string::npos ? s1 : line.find(' ', s1 + 1);
        if (s1 == 0 || s2 == std::string::npos || s2 == s1 + 1 || s2 + 1 >= line.size() ||
            line.find(' ', s2 + 1) != std::string::npos || line.find('\t') != std::string::npos)
            abort();
        ++lines;
        start = nl + 1;
    }
    if (lines > fuzz_line_pieces(before, 256) + 1) abort();
}

bool has_line(const char *path, const std::string &line) {
    std::string text = "\n" + fuzz_read(path);
    return text.find("\n" + line + "\n") != std::string::npos;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size) {
    FuzzedDataProvider in(bytes, size);
    std::string login = with_now(in.ConsumeRandomLengthString(2048));
    std::string sessions = with_now(in.ConsumeRandomLengthString(2048));
    std::string cookie = in.ConsumeRandomLengthString(256);
    static const char *const kAddresses[] = {"198.51.100.7", "198.51.100.8", "::1"};
    const char *address = in.PickValueInArray(kAddresses);
    std::string ops = in.ConsumeRemainingBytesAsString();

    fuzz_write(kLogin, login);
    fuzz_write(kSessions, sessions);
    fuzz_env("HTTP_COOKIE", cookie.c_str());
    std::string now = std::to_string(fuzz_now());
    for (unsigned char op : ops.substr(0, 8)) {
        std::string login_before = fuzz_read(kLogin), sessions_before = fuzz_read(kSessions);
        switch (op % 4) {
        case 0:
            if (login_locked_for(address) > LOGIN_LOCK_SECONDS) abort();
            break;
        case 1:
            login_record_failure(address);
            break;
        case 2: {
            char id[SESSION_ID_SIZE];
            if (session_open(address, id) == 0) {
                if (strlen(id) != SESSION_ID_SIZE - 1) abort();
                for (size_t i = 0; i < SESSION_ID_SIZE - 1; ++i)
                    if (!isalnum(static_cast<unsigned char>(id[i]))) abort();
                if (!has_line(kSessions, std::string(address) + " " + id + " " + now) &&
                    std::to_string(fuzz_now()) == now)
                    abort();
            }
            break;
        }
        default: {
            char value[SESSION_COOKIE_SIZE];
            if (session_check(address)) {
                // the session passed: it is refreshed, so it lives on
                if (session_cookie(value) != 0) abort();
                if (!has_line(kSessions, std::string(address) + " " + value + " " + now) &&
                    std::to_string(fuzz_now()) == now)
                    abort();
            }
            break;
        }
        }
        check_rewrite(kLogin, login_before);
        check_rewrite(kSessions, sessions_before);
    }
    return 0;
}
