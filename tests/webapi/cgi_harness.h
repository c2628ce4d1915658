// Serves web back end requests in the test's own process: a request goes in
// as CGI environment and body, the answer bytes, exit status and follow-up
// action come out. No web server, no fork; the follow-up is reported, not run.
#pragma once

#include "cgi.h"

#include <test_support.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace ts {

struct CgiCall {
    std::string page;           // SCRIPT_NAME becomes "/cgi-bin/" + page
    std::string method = "GET"; // REQUEST_METHOD
    std::string body;           // standard input
    std::string content_type = "application/json";
    std::string remote_addr = "192.168.1.100";
    std::optional<std::string> cookie; // HTTP_COOKIE, absent by default
    // Any CGI variable set (value) or removed (nullopt) last, e.g.
    // {"CONTENT_LENGTH", "7"} or {"SCRIPT_NAME", std::nullopt}.
    std::vector<std::pair<std::string, std::optional<std::string>>> env;
    // The web server has gone away: the answer goes to a pipe nobody reads.
    bool answer_unread = false;
};

struct CgiAnswer {
    int status = -1;
    std::string raw;  // every byte written to the answer output
    std::string json; // the body without its final newline; "" when nothing was written
    FollowUpAction follow_up = FollowUpAction::None;
    // True when raw is exactly the two header lines, the empty line and json + "\n".
    bool well_formed() const;
    // A member as compact JSON text ("" when absent or the body does not parse).
    std::string member(const char *key) const;
};

// A router root for web requests: ROUTER_ROOT is set for this process, PATH
// starts with the firmware stand-ins, the CGI log is chosen, and the boot
// clock reads 5000.5 s at the start (so the session tables' times are never
// 0 and the next whole second is half a second away), running factor times
// faster than real time.
class WebRoot {
  public:
    explicit WebRoot(unsigned factor = 1);
    ~WebRoot();
    WebRoot(const WebRoot &) = delete;
    WebRoot &operator=(const WebRoot &) = delete;

    CgiAnswer call(const CgiCall &call);
    // Logs in from the address with the stored account: the session id, or "".
    std::string login(const std::string &address = "192.168.1.100");
    // A call that carries the session cookie of a login from its address.
    CgiAnswer call_with_session(CgiCall call);

    // Waits until a boot-clock second has just begun and returns it: at the
    // clock's real speed (factor 1) requests within the next 0.8 s see it.
    uint32_t fresh_second() const;

    std::string store_get(const std::string &key) const;
    void store_set(const std::string &key, const std::string &value) const;
    // Every name and value of section 1 as the driver holds it now.
    std::map<std::string, std::string> store_section() const;

    const TempRoot &root() const { return root_; }
    std::string path(const std::string &system_path) const { return root_.path(system_path); }

  private:
    TempRoot root_;
    std::string saved_path_;
};

// Stands in for the modem daemon on "/var/run/RIL_CMD" under a root: each
// request it reads is recorded (its fields), and the next scripted reply is
// played (in order; when they run out, the connection is closed unanswered).
class FakeDaemon {
  public:
    struct Reply {
        std::string payload;          // framed answer ("SUCCESS:\n..."), unless raw
        bool raw = false;             // payload written as it stands, unframed
        int delay_ms = 0;             // before the reply is written
        bool hang_up = false;         // close the connection instead of answering
        std::function<void()> before; // run first (e.g. files the daemon would write)
    };
    explicit FakeDaemon(const TempRoot &root);
    ~FakeDaemon();
    FakeDaemon(const FakeDaemon &) = delete;
    FakeDaemon &operator=(const FakeDaemon &) = delete;

    void reply(Reply r);
    void reply(const std::string &payload) { reply(Reply{payload}); }
    // The requests seen so far, each as its fields ("AT", "AT+CSQ").
    std::vector<std::vector<std::string>> requests();

  private:
    void serve();
    int listen_fd_ = -1;
    int stop_[2] = {-1, -1};
    std::thread thread_;
    struct State;
    std::unique_ptr<State> state_;
};

// The MD5 digest of the text as the browser sends it: 32 lowercase hex digits.
std::string md5_hex_lower(const std::string &text);

} // namespace ts
