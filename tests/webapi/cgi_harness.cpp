#include "cgi_harness.h"

#include "local_socket.h"
#include "log.h"
#include "md5.h"
#include "nvram_env.h"
#include "platform.h"

#include <cJSON.h>
#include <cctype>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace ts {

namespace {

constexpr const char *kCgiVariables[] = {"SCRIPT_NAME",  "REMOTE_ADDR",    "REQUEST_METHOD",
                                         "CONTENT_TYPE", "CONTENT_LENGTH", "HTTP_COOKIE",
                                         "HTTP_HOST",    "HTTP_ORIGIN"};
constexpr char kContentType[] = "Content-Type:application/json; charset=utf-8\n\n";

void set_or_unset(const std::string &name, const std::optional<std::string> &value) {
    if (value)
        setenv(name.c_str(), value->c_str(), 1);
    else
        unsetenv(name.c_str());
}

} // namespace

// --- answers ---

bool CgiAnswer::well_formed() const {
    return raw ==
           "Content-Length: " + std::to_string(json.size() + 1) + "\n" + kContentType + json + "\n";
}

std::string CgiAnswer::member(const char *key) const {
    cJSON *tree = cJSON_Parse(json.c_str());
    const cJSON *item = cJSON_GetObjectItemCaseSensitive(tree, key);
    char *text = item ? cJSON_PrintUnformatted(item) : nullptr;
    std::string s = text ? text : "";
    free(text);
    cJSON_Delete(tree);
    return s;
}

// --- the root ---

WebRoot::WebRoot(unsigned factor) : root_(factor) {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    long long boot =
        static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec - 5000500000000LL / factor;
    write_file(root_.path("/sim/clock"),
               std::to_string(boot) + " " + std::to_string(factor) + "\n");
    setenv("ROUTER_ROOT", root_.dir().c_str(), 1);
    const char *path = getenv("PATH");
    saved_path_ = path ? path : "/usr/bin:/bin";
    setenv("PATH", (source_path("sim/bin") + ":" + saved_path_).c_str(), 1);
    log_set_program(LogProgram::Cgi);
}

WebRoot::~WebRoot() {
    for (const char *name : kCgiVariables)
        unsetenv(name);
    log_set_program(LogProgram::None);
    unsetenv("ROUTER_ROOT");
    setenv("PATH", saved_path_.c_str(), 1);
}

CgiAnswer WebRoot::call(const CgiCall &c) {
    for (const char *name : kCgiVariables)
        unsetenv(name);
    setenv("SCRIPT_NAME", ("/cgi-bin/" + c.page).c_str(), 1);
    setenv("REMOTE_ADDR", c.remote_addr.c_str(), 1);
    setenv("REQUEST_METHOD", c.method.c_str(), 1);
    setenv("CONTENT_TYPE", c.content_type.c_str(), 1);
    setenv("CONTENT_LENGTH", std::to_string(c.body.size()).c_str(), 1);
    if (c.cookie) setenv("HTTP_COOKIE", c.cookie->c_str(), 1);
    for (const auto &[name, value] : c.env)
        set_or_unset(name, value);

    std::string body_path = root_.path("/sim/cgi-body"), out_path = root_.path("/sim/cgi-answer");
    write_file(body_path, c.body);
    int in = open(body_path.c_str(), O_RDONLY | O_CLOEXEC);
    int out = open(out_path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (c.answer_unread) {
        int gone[2];
        if (pipe2(gone, O_CLOEXEC) != 0) abort();
        close(gone[0]);
        close(out);
        out = gone[1];
    }
    CgiAnswer a;
    RequestContext context{FollowUpAction::None};
    cgi_set_output(out);
    a.status = cgi_handle_request(in, &context);
    cgi_set_output(STDOUT_FILENO);
    close(in);
    close(out);
    a.follow_up = context.follow_up;
    a.raw = read_file(out_path);
    size_t head_end = a.raw.find("\n\n");
    if (head_end != std::string::npos && a.raw.size() > head_end + 2)
        a.json = a.raw.substr(head_end + 2, a.raw.size() - head_end - 3);
    return a;
}

std::string WebRoot::login(const std::string &address) {
    std::string body = "{\"username\":\"" + store_get("Login") + "\",\"password\":\"" +
                       md5_hex_lower(store_get("Password")) + "\"}";
    CgiAnswer a =
        call({.page = "login.cgi", .method = "POST", .body = body, .remote_addr = address});
    std::string session = a.member("session");
    return session.size() > 2 ? session.substr(1, session.size() - 2) : "";
}

CgiAnswer WebRoot::call_with_session(CgiCall c) {
    c.cookie = "session=" + login(c.remote_addr);
    return call(c);
}

uint32_t WebRoot::fresh_second() const {
    timespec t{};
    boot_clock_now(&t);
    long long start = t.tv_sec;
    while (boot_clock_now(&t) == 0 && (t.tv_sec == start || t.tv_nsec >= 200000000))
        usleep(5000);
    return static_cast<uint32_t>(t.tv_sec);
}

std::string WebRoot::store_get(const std::string &key) const {
    nvram_init(NVRAM_CONFIG_SECTION);
    std::string value = nvram_bufget(NVRAM_CONFIG_SECTION, key.c_str());
    nvram_close(NVRAM_CONFIG_SECTION);
    return value;
}

void WebRoot::store_set(const std::string &key, const std::string &value) const {
    nvram_init(NVRAM_CONFIG_SECTION);
    nvram_bufset(NVRAM_CONFIG_SECTION, key.c_str(), value.c_str());
    nvram_close(NVRAM_CONFIG_SECTION);
}

std::map<std::string, std::string> WebRoot::store_section() const {
    std::map<std::string, std::string> section;
    nvram_getall_foreach(
        1,
        [](const char *name, const char *value, void *user) {
            (*static_cast<std::map<std::string, std::string> *>(user))[name] = value;
        },
        &section);
    return section;
}

std::string md5_hex_lower(const std::string &text) {
    char hex[33];
    md5_hex(text.data(), text.size(), hex);
    for (char &c : hex)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return hex;
}

// --- the fake daemon ---

struct FakeDaemon::State {
    std::mutex lock;
    std::vector<Reply> replies;
    std::vector<std::vector<std::string>> requests;
};

FakeDaemon::FakeDaemon(const TempRoot &root) : state_(std::make_unique<State>()) {
    signal(SIGPIPE, SIG_IGN); // a page that gave up waiting has closed its end
    std::string path = root.path("/var/run/RIL_CMD");
    unlink(path.c_str());
    listen_fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    if (bind(listen_fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        listen(listen_fd_, 5) != 0 || pipe2(stop_, O_CLOEXEC) != 0)
        abort();
    thread_ = std::thread([this] { serve(); });
}

FakeDaemon::~FakeDaemon() {
    if (write(stop_[1], "x", 1) != 1) abort();
    thread_.join();
    close(listen_fd_);
    close(stop_[0]);
    close(stop_[1]);
}

void FakeDaemon::reply(Reply r) {
    std::lock_guard<std::mutex> g(state_->lock);
    state_->replies.push_back(std::move(r));
}

std::vector<std::vector<std::string>> FakeDaemon::requests() {
    std::lock_guard<std::mutex> g(state_->lock);
    return state_->requests;
}

void FakeDaemon::serve() {
    for (;;) {
        pollfd p[2] = {{listen_fd_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
        if (poll(p, 2, -1) < 0) continue;
        if (p[1].revents) return;
        int conn = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (conn < 0) continue;
        char buf[4096];
        int n;
        // the wait is in real time: a page may pause between its requests
        pollfd in{conn, POLLIN, 0};
        while (poll(&in, 1, 10000) > 0 && (n = socket_read_size(conn, buf, 4095, 2000)) > 0) {
            std::vector<std::string> fields;
            for (int at = 0; at + 4 <= n;) {
                uint32_t len;
                memcpy(&len, buf + at, 4);
                if (len == 0 || len > static_cast<uint32_t>(n - at - 4)) break;
                fields.emplace_back(buf + at + 4, strnlen(buf + at + 4, len));
                at += 4 + static_cast<int>(len);
            }
            Reply r;
            bool have = false;
            {
                std::lock_guard<std::mutex> g(state_->lock);
                state_->requests.push_back(fields);
                if (!state_->replies.empty()) {
                    r = state_->replies.front();
                    state_->replies.erase(state_->replies.begin());
                    have = true;
                }
            }
            if (!have) break;
            if (r.before) r.before();
            if (r.hang_up) break;
            if (r.delay_ms) usleep(static_cast<useconds_t>(r.delay_ms) * 1000);
            int rc = r.raw ? socket_write_all(conn, r.payload.data(), r.payload.size())
                           : socket_write_size(conn, r.payload.data(), r.payload.size());
            if (rc != 0) break;
        }
        close(conn);
    }
}

} // namespace ts
