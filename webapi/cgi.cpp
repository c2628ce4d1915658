#include "cgi.h"

#include "fd_io.h"
#include "log.h"
#include "nvram_env.h"
#include "page_table.h"
#include "pages_upgrade.h"
#include "platform.h"
#include "session.h"
#include "sys_utils.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cJSON.h>
#include <csignal>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <strings.h>
#include <unistd.h>

namespace {

constexpr char kContentType[] = "Content-Type:application/json; charset=utf-8\n\n";
constexpr char kForbiddenHead[] = "Status: 403 Forbidden\nContent-Type:text/plain; charset=utf-8\n";
constexpr char kStopServices[] = "killall ntpclient dnsmasq lted telnetd udhcpc udhcpd";
constexpr unsigned kStopServicesWait = 2;
constexpr unsigned kFollowUpDelay = 2;
// Longer than any IPv6 address with a zone; REMOTE_ADDR goes into the
// session tables as one field of a 256-byte line.
constexpr size_t kAddressMax = 63;

int answer_fd = STDOUT_FILENO;

// REMOTE_ADDR is written into the session tables as one field.
bool address_ok(const char *address) {
    size_t n = strlen(address);
    if (n == 0 || n > kAddressMax) return false;
    for (size_t i = 0; i < n; i++) {
        auto c = static_cast<unsigned char>(address[i]);
        if (c <= ' ' || c >= 127) return false;
    }
    return true;
}

bool equal_nocase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// The host of a Host value or an origin's authority, its port removed
// ("[v6]" keeps its brackets). False when it is empty or malformed.
// (No substr here: it would bring the C++ library's exception code into
// the router build.)
bool host_of(std::string_view authority, std::string_view *host) {
    size_t end = authority.starts_with('[') ? authority.find(']') : authority.find(':');
    if (authority.starts_with('[')) {
        if (end == std::string_view::npos) return false;
        end++;
    }
    *host = std::string_view(authority.data(), std::min(end, authority.size()));
    std::string_view port = authority;
    port.remove_prefix(host->size());
    if (!port.empty()) {
        if (port.front() != ':') return false;
        port.remove_prefix(1);
        for (char c : port)
            if (c < '0' || c > '9') return false;
    }
    return !host->empty();
}

// An IPv4 literal, or an IPv6 literal in brackets.
bool is_address_literal(std::string_view host) {
    bool bracketed = host.size() >= 2 && host.front() == '[' && host.back() == ']';
    if (bracketed) {
        host.remove_prefix(1);
        host.remove_suffix(1);
    }
    char text[INET6_ADDRSTRLEN];
    if (host.size() >= sizeof text) return false;
    memcpy(text, host.data(), host.size());
    text[host.size()] = '\0';
    unsigned char address[16];
    return inet_pton(bracketed ? AF_INET6 : AF_INET, text, address) == 1;
}

// Everything a request holds, released on every way out.
struct Request {
    char *body = nullptr;
    cJSON *request = nullptr;
    cJSON *answer = nullptr;
    bool store_open = false;
    int upload_lock = -1;
    ~Request() {
        cJSON_Delete(answer);
        cJSON_Delete(request);
        free(body);
        if (store_open) nvram_close(NVRAM_CONFIG_SECTION); // commits what the page changed
        if (upload_lock >= 0) close(upload_lock);          // the flash write has ended
    }
};

// Reads up to length bytes; an early end of input is not an error.
int read_body(int fd, size_t length, Request *r, size_t *received) {
    r->body = static_cast<char *>(calloc(length + 1, 1));
    if (!r->body) return -1;
    *received = 0;
    while (*received < length) {
        ssize_t n = read(fd, r->body + *received, length - *received);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        *received += static_cast<size_t>(n);
    }
    return 0;
}

// Writes a refusal of the web server's kind:
//   "Status: 403 Forbidden\n" "Content-Type:text/plain; charset=utf-8\n"
//   "Content-Length: <len+1>\n\n" <reason> "\n"
// CGI_STATUS_FORBIDDEN.
int cgi_send_forbidden(const char *reason) {
    char text[256];
    int n = snprintf(text, sizeof text, "%sContent-Length: %zu\n\n%s\n", kForbiddenHead,
                     strlen(reason) + 1, reason);
    if (n < 0 || static_cast<size_t>(n) >= sizeof text) return CGI_STATUS_PRINT_FAILED;
    SigpipeIgnored quiet;
    fd_write_all(answer_fd, text, static_cast<size_t>(n), nullptr);
    return CGI_STATUS_FORBIDDEN;
}

// The request checks that run before anything else: why a request must be
// refused, or null when it may go on. host is HTTP_HOST, origin HTTP_ORIGIN
// (either may be null), host_name the store's "HostName". The host, its port
// removed, must be an IPv4 literal, a bracketed IPv6 literal, "localhost" or
// host_name (letter case ignored), so that a foreign name re-pointed at the
// router's address gets nothing; a request without a host (no browser
// sends one) passes. A POST that carries an origin must name the same host.
const char *cgi_request_refusal(const char *method, const char *host, const char *origin,
                                const char *host_name) {
    std::string_view served;
    if (host) {
        if (!host_of(host, &served) ||
            !(is_address_literal(served) || equal_nocase(served, "localhost") ||
              (host_name && host_name[0] && equal_nocase(served, host_name))))
            return "unknown host name";
    }
    if (origin && method && strcmp(method, "POST") == 0) {
        // "scheme://host[:port]"; "null" and anything else name no host
        std::string_view text = origin, from;
        size_t scheme = text.find("://");
        if (scheme != std::string_view::npos) text.remove_prefix(scheme + 3);
        if (!host || scheme == std::string_view::npos || !host_of(text, &from) ||
            !equal_nocase(from, served))
            return "request from another site";
    }
    return nullptr;
}

// True when the media type of a CONTENT_TYPE, before any ';' and without
// surrounding blanks, is "application/json" (letter case ignored).
bool cgi_content_is_json(const char *content_type) {
    if (!content_type) return false;
    std::string_view type = content_type;
    type = std::string_view(type.data(), std::min(type.find(';'), type.size()));
    while (!type.empty() && (type.front() == ' ' || type.front() == '\t'))
        type.remove_prefix(1);
    while (!type.empty() && (type.back() == ' ' || type.back() == '\t'))
        type.remove_suffix(1);
    return equal_nocase(type, "application/json");
}

} // namespace

void cgi_set_output(int fd) {
    answer_fd = fd;
}

int cgi_send_json(cJSON *answer) {
    char *json = cJSON_PrintUnformatted(answer);
    if (!json) return CGI_STATUS_PRINT_FAILED;
    size_t json_len = strlen(json);
    char head[48];
    int head_len = snprintf(head, sizeof head, "Content-Length: %zu\n", json_len + 1);
    size_t total = static_cast<size_t>(head_len) + sizeof kContentType - 1 + json_len + 1;
    char *text = static_cast<char *>(malloc(total));
    if (!text) {
        free(json);
        return CGI_STATUS_PRINT_FAILED;
    }
    char *p = text;
    memcpy(p, head, static_cast<size_t>(head_len));
    p += head_len;
    memcpy(p, kContentType, sizeof kContentType - 1);
    p += sizeof kContentType - 1;
    memcpy(p, json, json_len);
    p[json_len] = '\n';
    free(json);

    {
        // a web server that went away must not end the run before the store is committed
        SigpipeIgnored quiet;
        fd_write_all(answer_fd, text, total, nullptr);
    }
    free(text);
    return CGI_STATUS_OK;
}

int cgi_handle_request(int in_fd, RequestContext *context) {
    context->follow_up = FollowUpAction::None;
    const char *script = getenv("SCRIPT_NAME");
    if (!script) return CGI_STATUS_REFUSED;
    const char *slash = strrchr(script, '/');
    const char *page = slash ? slash + 1 : script;
    const PageEntry *entry = page_find(page);

    const char *address = getenv("REMOTE_ADDR");
    const char *method = getenv("REQUEST_METHOD");
    const char *content_type = getenv("CONTENT_TYPE");
    const char *content_length = getenv("CONTENT_LENGTH");
    if (!address || !method || !content_length || !address_ok(address)) return CGI_STATUS_REFUSED;

    Request r;
    nvram_init(NVRAM_CONFIG_SECTION); // the host name it answers to is a setting
    r.store_open = true;
    const char *refusal = cgi_request_refusal(method, getenv("HTTP_HOST"), getenv("HTTP_ORIGIN"),
                                              nvram_bufget(NVRAM_CONFIG_SECTION, "HostName"));
    if (refusal) {
        __log_str("cgi: %s: %s from %s refused: %s\n", "cgi_handle_request", page, address,
                  refusal);
        return cgi_send_forbidden(refusal);
    }

    // a body too long is refused before a byte of it is read
    bool upload = entry && entry->takes_upload;
    long long length = strtoll(content_length, nullptr, 10);
    if (length < 0 ||
        static_cast<unsigned long long>(length) > (upload ? CGI_BODY_MAX : CGI_JSON_BODY_MAX))
        return CGI_STATUS_REFUSED;

    // The upload page stops the services before its body is read, but only
    // for a caller with a session: a stranger must not take the router off
    // the network. An upload that finds another one writing the flash stops
    // nothing either: it is refused, and must not restart them under that
    // write.
    int session = -1; // not checked yet
    if (entry && entry->stops_services) {
        session = session_check(address);
        if (session) r.upload_lock = upload_lock_take();
        if (r.upload_lock >= 0) {
            do_system_call(kStopServices);
            boot_clock_sleep(kStopServicesWait);
            // whatever refuses the request from here on brings them back;
            // only a written image replaces this with the reboot
            context->follow_up = FollowUpAction::Restart;
        }
    }

    size_t received = 0;
    if (length > 0 && read_body(in_fd, static_cast<size_t>(length), &r, &received) != 0)
        return CGI_STATUS_REFUSED;
    if (!upload && length > 0 && cgi_content_is_json(content_type)) {
        r.request = cJSON_Parse(r.body);
        if (!r.request) return CGI_STATUS_REFUSED;
    }
    r.answer = cJSON_CreateObject();
    if (!r.answer) return CGI_STATUS_REFUSED;

    bool needs_session = !entry || entry->session_needed;
    if (needs_session) {
        if (session < 0) session = session_check(address);
        if (!session) {
            cJSON *one = cJSON_CreateNumber(1);
            if (one) cJSON_AddItemToObjectCS(r.answer, "redirectLogin", one);
            return cgi_send_json(r.answer);
        }
    }
    if (!entry || !entry->handler) return CGI_STATUS_REFUSED;
    PageRequest req{method,   r.request, r.answer,     context, r.body, static_cast<size_t>(length),
                    received, address,   r.upload_lock};
    return entry->handler(req);
}

const char *follow_up_command(FollowUpAction action) {
    switch (action) {
    case FollowUpAction::Restart:
        return "init_system restart";
    case FollowUpAction::Reboot:
        return "reboot";
    case FollowUpAction::FirewallReload:
        return "/etc_ro/lighttpd/www/cgi-bin/firewall.cgi init";
    case FollowUpAction::None:
        break;
    }
    return nullptr;
}

void cgi_run_follow_up(const RequestContext *context) {
    const char *command = follow_up_command(context->follow_up);
    if (!command) return;
    // The answer was written in one piece before this point.
    pid_t child = fork();
    if (child > 0) return;
    // a reboot or restart that is lost leaves the router as it was, possibly
    // with its services stopped: this process waits and runs it instead
    if (child < 0)
        __log_str("cgi: %s: fork failed (%s), run here: %s\n", "cgi_run_follow_up", strerror(errno),
                  command);
    // The web server ends the response when every holder of the answer
    // output has closed it, so the runner lets go of it at once.
    int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null >= 0) {
        dup2(null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        if (answer_fd > STDERR_FILENO) dup2(null, answer_fd);
        if (null > STDERR_FILENO) close(null);
    }
    if (child == 0) {
        setsid();
        signal(SIGTERM, SIG_DFL); // the request's hold-off is not the child's
    }
    boot_clock_sleep(kFollowUpDelay);
    do_system_call(command);
    if (child == 0) _exit(0);
}

int cgi_run_background(const char *command) {
    const int targets[] = {STDIN_FILENO, STDOUT_FILENO, answer_fd};
    constexpr size_t kCount = sizeof targets / sizeof targets[0];
    int saved[kCount] = {-1, -1, -1};
    int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    for (size_t i = 0; i < kCount; i++) {
        if (null < 0 || (i == 2 && answer_fd <= STDOUT_FILENO)) continue;
        saved[i] = fcntl(targets[i], F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        if (saved[i] >= 0) dup2(null, targets[i]);
    }
    int rc = do_system_call(command);
    for (size_t i = kCount; i-- > 0;) {
        if (saved[i] < 0) continue;
        dup2(saved[i], targets[i]);
        close(saved[i]);
    }
    if (null >= 0) close(null);
    return rc;
}
