// Requests served in-process under a private root: the request entry, login
// and sessions, and the modem pages against a stand-in daemon.
#include "cgi_harness.h"

#include <cJSON.h>
#include <cerrno>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

using ts::CgiAnswer;
using ts::CgiCall;

const std::string kRedirect = "{\"redirectLogin\":1}";

class Web : public ::testing::Test {
  protected:
    ts::WebRoot web;
    std::string calls() const { return ts::read_file(web.path("/sim/calls.log")); }
};

// --- the request entry ---

TEST_F(Web, RefusalsWriteNothing) {
    std::string session = web.login();
    std::string cookie = "session=" + session;
    struct Case {
        const char *what;
        CgiCall call;
    };
    using Env = std::vector<std::pair<std::string, std::optional<std::string>>>;
    const Case cases[] = {
        {"no SCRIPT_NAME", {.page = "home.cgi", .env = Env{{"SCRIPT_NAME", std::nullopt}}}},
        {"no REMOTE_ADDR", {.page = "home.cgi", .env = Env{{"REMOTE_ADDR", std::nullopt}}}},
        {"no REQUEST_METHOD", {.page = "home.cgi", .env = Env{{"REQUEST_METHOD", std::nullopt}}}},
        {"no CONTENT_LENGTH", {.page = "home.cgi", .env = Env{{"CONTENT_LENGTH", std::nullopt}}}},
        {"length above 6 MiB", {.page = "login.cgi", .env = Env{{"CONTENT_LENGTH", "6291457"}}}},
        {"negative length", {.page = "login.cgi", .env = Env{{"CONTENT_LENGTH", "-1"}}}},
        {"absurd length",
         {.page = "login.cgi", .env = Env{{"CONTENT_LENGTH", "99999999999999999999"}}}},
        {"empty address", {.page = "login.cgi", .remote_addr = ""}},
        {"address with a line end", {.page = "login.cgi", .remote_addr = "1.2.3.4\n5.6.7.8"}},
        {"address with a blank", {.page = "login.cgi", .remote_addr = "1.2.3.4 x"}},
        {"over-long address", {.page = "login.cgi", .remote_addr = std::string(64, '1')}},
        {"malformed JSON", {.page = "login.cgi", .method = "POST", .body = "{\"username\":"}},
        {"unknown page with a session",
         {.page = "nosuch.cgi", .remote_addr = "192.168.1.100", .cookie = cookie}},
    };
    for (const Case &c : cases) {
        CgiAnswer a = web.call(c.call);
        EXPECT_EQ(a.status, 100) << c.what;
        EXPECT_EQ(a.raw, "") << c.what;
    }
}

// What is looked at before anything runs: the host a request names, the
// origin of a POST, the content type and the body's length. A foreign host
// or origin gets a 403 with its reason, logged once, and runs nothing and
// touches no table, not even with a session or the right password.
TEST_F(Web, RequestChecks) {
    web.store_set("HostName", "LTE-Router");
    const std::string creds =
        "{\"username\":\"admin\",\"password\":\"" + ts::md5_hex_lower("admin") + "\"}";
    using Env = std::vector<std::pair<std::string, std::optional<std::string>>>;
    auto login = [&](Env env, const std::string &type = "application/json") {
        return CgiCall{
            .page = "login.cgi", .method = "POST", .body = creds, .content_type = type, .env = env};
    };
    auto upload = [&](const char *length) {
        return CgiCall{.page = "upgradebootloader.cgi",
                       .method = "POST",
                       .body = "{",
                       .env = {{"CONTENT_LENGTH", length}}};
    };
    // "session": logged in; "403": refused as foreign; "100": refused unread
    struct Case {
        const char *what;
        CgiCall call;
        std::string outcome;
    };
    const std::string padded = creds + std::string(65536 - creds.size(), ' ');
    const Case cases[] = {
        {"an address", login({{"HTTP_HOST", "192.168.1.1"}}), "session"},
        {"an IPv6 address", login({{"HTTP_HOST", "[fe80::1]:80"}}), "session"},
        {"localhost", login({{"HTTP_HOST", "LocalHost:8080"}}), "session"},
        {"the host name", login({{"HTTP_HOST", "lte-router:8080"}}), "session"},
        {"no host", login({}), "session"},
        {"a foreign name", login({{"HTTP_HOST", "rebind.attacker.example"}}), "403"},
        {"a name that holds the address", login({{"HTTP_HOST", "192.168.1.1.nip.io"}}), "403"},
        {"an IPv6 address without brackets", login({{"HTTP_HOST", "fe80::1"}}), "403"},
        {"the same origin",
         login({{"HTTP_HOST", "lte-router:8080"}, {"HTTP_ORIGIN", "http://LTE-Router:8080"}}),
         "session"},
        {"another site's origin",
         login({{"HTTP_HOST", "192.168.1.1"}, {"HTTP_ORIGIN", "http://rebind.attacker.example"}}),
         "403"},
        {"the null origin", login({{"HTTP_HOST", "192.168.1.1"}, {"HTTP_ORIGIN", "null"}}), "403"},
        {"a GET from another site",
         {.page = "login.cgi", .env = {{"HTTP_ORIGIN", "http://evil.example"}}},
         "{\"result\":0}"},
        {"JSON with parameters in any case", login({}, "Application/JSON ; charset=utf-8"),
         "session"},
        {"JSON named only in a parameter", login({}, "text/plain; x=application/json"),
         "{\"result\":-1}"},
        {"64 KiB of JSON", {.page = "login.cgi", .method = "POST", .body = padded}, "session"},
        {"a byte more", {.page = "login.cgi", .method = "POST", .body = padded + " "}, "100"},
        // a multipart page never parses JSON, up to 6 MiB
        {"6 MiB to an upload page", upload("6291456"), "{\"redirectLogin\":1}"},
        {"a byte more to an upload page", upload("6291457"), "100"},
    };
    std::string log = web.path("/tmp/cgi.log");
    for (const Case &c : cases) {
        std::string sessions = ts::read_file(web.path("/tmp/web.session"));
        size_t refusals = ts::count_of(ts::read_file(log), "refused");
        CgiAnswer a = web.call(c.call);
        if (c.outcome == "session") {
            EXPECT_EQ(a.member("session").size(), 17u) << c.what << ": " << a.raw;
        } else if (c.outcome == "403") {
            EXPECT_EQ(a.status, CGI_STATUS_FORBIDDEN) << c.what;
            EXPECT_TRUE(a.raw.starts_with("Status: 403 Forbidden\nContent-Type:text/plain"))
                << c.what << ": " << a.raw;
            EXPECT_EQ(ts::read_file(web.path("/tmp/web.session")), sessions) << c.what;
            EXPECT_EQ(ts::count_of(ts::read_file(log), "refused"), refusals + 1) << c.what;
        } else if (c.outcome == "100") {
            EXPECT_EQ(a.status, 100) << c.what;
            EXPECT_EQ(a.raw, "") << c.what;
        } else {
            EXPECT_EQ(a.json, c.outcome) << c.what;
        }
    }
    EXPECT_EQ(ts::read_file(web.path("/tmp/web.login")), "");
    // not even with a session on the page that stops the services
    CgiAnswer upgrade = web.call_with_session(
        {.page = "upgradefirmware.cgi", .method = "POST", .env = {{"HTTP_HOST", "evil.example"}}});
    EXPECT_EQ(upgrade.status, CGI_STATUS_FORBIDDEN);
    EXPECT_EQ(calls(), "");
}

TEST_F(Web, AnswersAreExactAndNeedASession) {
    // any page but login and gps, whatever the method and body
    for (const char *page : {"home.cgi", "state.cgi", "sim.cgi", "nosuch.cgi"}) {
        CgiAnswer a = web.call({.page = page, .method = "POST", .body = "{\"type\":1}"});
        EXPECT_EQ(a.status, 0);
        EXPECT_EQ(a.raw, "Content-Length: 20\nContent-Type:application/json; charset=utf-8\n\n" +
                             kRedirect + "\n")
            << page;
    }
    // a cookie of another address, or an unknown one, does not pass
    std::string session = web.login("10.0.0.1");
    ASSERT_EQ(session.size(), 15u);
    EXPECT_EQ(
        web.call({.page = "home.cgi", .remote_addr = "10.0.0.2", .cookie = "session=" + session})
            .json,
        kRedirect);
    EXPECT_EQ(
        web.call(
               {.page = "home.cgi", .remote_addr = "10.0.0.1", .cookie = "session=ABCDEFGHIJKLMNO"})
            .json,
        kRedirect);

    // the largest body is taken; a body that ends early is not an error
    CgiAnswer big = web.call(
        {.page = "login.cgi", .content_type = "text/plain", .env = {{"CONTENT_LENGTH", "65536"}}});
    EXPECT_EQ(big.json, "{\"result\":0}");
    EXPECT_TRUE(big.well_formed());
    // a length without digits is no body; JSON under another type is not parsed
    EXPECT_EQ(
        web.call({.page = "login.cgi", .method = "POST", .env = {{"CONTENT_LENGTH", "x"}}}).json,
        "{\"result\":-1}");
    std::string creds =
        "{\"username\":\"admin\",\"password\":\"" + ts::md5_hex_lower("admin") + "\"}";
    EXPECT_EQ(
        web.call(
               {.page = "login.cgi", .method = "POST", .body = creds, .content_type = "text/plain"})
            .json,
        "{\"result\":-1}");
    // the page is the last path component
    CgiAnswer home = web.call({.page = "x",
                               .remote_addr = "10.0.0.1",
                               .cookie = "session=" + session,
                               .env = {{"SCRIPT_NAME", "/a/b/home.cgi"}}});
    EXPECT_EQ(home.member("netmode"), "\"3G\"");
    EXPECT_TRUE(home.well_formed());
}

// Bodies that parse but are not what a page needs are refused by the page.
TEST_F(Web, JsonOfTheWrongShapeIsRefused) {
    for (const char *body :
         {"[1,2]", "\"admin\"", "null", "{\"username\":1,\"password\":\"x\"}",
          "{\"username\":\"admin\"}", "{\"username\":\"admin\",\"password\":[\"x\"]}"}) {
        CgiAnswer a = web.call({.page = "login.cgi", .method = "POST", .body = body});
        EXPECT_EQ(a.json, "{\"result\":-1}") << body;
        EXPECT_TRUE(a.well_formed());
    }
    // none of these counts as a failed login
    EXPECT_EQ(ts::read_file(web.path("/tmp/web.login")), "");
}

// A client that went away before the answer must not cost the settings it sent.
TEST_F(Web, SettingsAreCommittedWhenTheClientHasGoneAway) {
    CgiCall c{.page = "sim.cgi", .method = "POST", .body = "{\"sim_init_pin\":\"4321\"}"};
    c.cookie = "session=" + web.login(c.remote_addr);
    c.answer_unread = true;
    EXPECT_EQ(web.call(c).status, 0);
    EXPECT_TRUE(ts::contains(ts::read_file(web.path("/dev/apsoc_nvram/2860.flash")),
                             std::string("siminitpin=4321")));
}

// An unauthenticated upload must not stop the router's services.
TEST_F(Web, ServicesStopOnlyForAnUploadWithASession) {
    CgiAnswer a = web.call({.page = "upgradefirmware.cgi",
                            .method = "POST",
                            .body = "x",
                            .content_type = "multipart/form-data"});
    EXPECT_EQ(a.json, kRedirect);
    EXPECT_FALSE(ts::contains(calls(), "killall"));

    web.call_with_session({.page = "upgradefirmware.cgi",
                           .method = "POST",
                           .body = "x",
                           .content_type = "multipart/form-data"});
    EXPECT_TRUE(ts::contains(calls(), "killall ntpclient dnsmasq lted telnetd udhcpc udhcpd"));
}

// --- login and sessions ---

std::string wrong_login() {
    return "{\"username\":\"admin\",\"password\":\"" + ts::md5_hex_lower("wrong") + "\"}";
}

TEST_F(Web, ThreeFailuresLockAnAddressOut) {
    std::string now = std::to_string(web.fresh_second());
    CgiCall bad{
        .page = "login.cgi", .method = "POST", .body = wrong_login(), .remote_addr = "10.0.0.1"};
    EXPECT_EQ(web.call(bad).json, "{\"result\":-1}");
    // a success in between does not reset the count
    EXPECT_EQ(web.login("10.0.0.1").size(), 15u);
    EXPECT_EQ(web.call(bad).json, "{\"result\":-1}");
    EXPECT_EQ(web.call(bad).json, "{\"disabledTime\":180,\"result\":-1}");
    // locked: no credentials are looked at, not even right ones
    EXPECT_EQ(web.call({.page = "login.cgi", .remote_addr = "10.0.0.1"}).json,
              "{\"disabledTime\":180,\"result\":0}");
    EXPECT_EQ(web.login("10.0.0.1"), "");
    EXPECT_EQ(web.login("10.0.0.2").size(), 15u);
    EXPECT_EQ(ts::read_lines(web.path("/tmp/web.login")),
              (std::vector<std::string>{"10.0.0.1 " + now + " 3"}));
}

TEST_F(Web, TableLimitsAndIdleExpiry) {
    // 20 live failed-login lines lock out every other address; old lines are pruned
    uint32_t now = web.fresh_second();
    auto ago = [&now](uint32_t seconds) { return std::to_string(now - seconds); };
    std::string table;
    for (int i = 0; i < 20; i++)
        table += "10.1.0." + std::to_string(i) + " " + ago(10) + " 1\n";
    ts::write_file(web.path("/tmp/web.login"),
                   table + "10.1.1.1 " + ago(180) + " 5\nbroken line\n");
    EXPECT_EQ(web.call({.page = "login.cgi", .remote_addr = "10.2.0.1"}).json,
              "{\"disabledTime\":180,\"result\":0}");
    EXPECT_EQ(ts::read_file(web.path("/tmp/web.login")), table);
    ts::write_file(web.path("/tmp/web.login"), "");

    // a new login replaces the address's session
    std::string replaced = web.login("10.3.0.0");
    // 10 live sessions refuse an eleventh address and a re-login of one of them
    std::vector<std::string> ids;
    for (int i = 0; i < 10; i++)
        ids.push_back(web.login("10.3.0." + std::to_string(i)));
    for (const auto &id : ids)
        EXPECT_EQ(id.size(), 15u);
    EXPECT_EQ(web.login("10.3.1.1"), "");
    EXPECT_EQ(web.login("10.3.0.0"), "");
    EXPECT_EQ(
        web.call({.page = "state.cgi", .remote_addr = "10.3.0.0", .cookie = "session=" + ids[0]})
            .json,
        kRedirect);
    EXPECT_EQ(web.login("10.3.0.0").size(), 15u);
    EXPECT_EQ(
        web.call({.page = "state.cgi", .remote_addr = "10.3.0.0", .cookie = "session=" + replaced})
            .json,
        kRedirect);

    // idle for 1799 s passes and starts again; 1800 s does not
    now = web.fresh_second();
    ts::write_file(web.path("/tmp/web.session"), "10.4.0.1 AAAAAAAAAAAAAAA " + ago(1799) +
                                                     "\n10.4.0.2 BBBBBBBBBBBBBBB " + ago(1800) +
                                                     "\n");
    web.call({.page = "state.cgi", .remote_addr = "10.4.0.1", .cookie = "session=AAAAAAAAAAAAAAA"});
    EXPECT_EQ(web.call({.page = "state.cgi",
                        .remote_addr = "10.4.0.2",
                        .cookie = "session=BBBBBBBBBBBBBBB"})
                  .json,
              kRedirect);
    EXPECT_EQ(ts::read_file(web.path("/tmp/web.session")),
              "10.4.0.1 AAAAAAAAAAAAAAA " + std::to_string(now) + "\n");
}

// A rewrite that cannot be written whole (a full /tmp) leaves the table as
// it was: no one is logged out, no failure count is lost.
TEST_F(Web, AFullTmpKeepsTheTables) {
    std::string session = web.login("10.5.0.1");
    web.call(
        {.page = "login.cgi", .method = "POST", .body = wrong_login(), .remote_addr = "10.5.0.9"});
    struct Case {
        const char *table;
        CgiCall call;
        const char *json;
    };
    const Case cases[] = {
        // the new session could not be recorded: no id is handed out
        {"/tmp/web.session",
         {.page = "login.cgi",
          .method = "POST",
          .body = "{\"username\":\"admin\",\"password\":\"" + ts::md5_hex_lower("admin") + "\"}",
          .remote_addr = "10.5.0.2"},
         "{\"result\":-1}"},
        {"/tmp/web.login", {.page = "login.cgi", .remote_addr = "10.5.0.3"}, "{\"result\":0}"},
    };
    for (const Case &c : cases) {
        std::string before = ts::read_file(web.path(c.table));
        ASSERT_EQ(symlink("/dev/full", web.path(std::string(c.table) + "~").c_str()), 0);
        EXPECT_EQ(web.call(c.call).json, c.json) << c.table;
        struct stat st;
        ASSERT_EQ(lstat(web.path(c.table).c_str(), &st), 0);
        ASSERT_TRUE(S_ISREG(st.st_mode)) << c.table;
        EXPECT_EQ(ts::read_file(web.path(c.table)), before) << c.table;
    }
    EXPECT_NE(
        web.call({.page = "state.cgi", .remote_addr = "10.5.0.1", .cookie = "session=" + session})
            .json,
        kRedirect);
}

} // namespace

// fork() of this test program fails while this is set.
bool fork_fails = false;

extern "C" pid_t fork() {
    if (fork_fails) {
        errno = EAGAIN;
        return -1;
    }
    static auto real = reinterpret_cast<pid_t (*)()>(dlsym(RTLD_NEXT, "fork"));
    return real();
}

namespace {

// The follow-up runs once the answer output has been let go of, so the web
// server sees the answer complete before the command runs: in a child, or,
// when no child can be made, in the request's own process.
TEST(FollowUp, RunsAfterTheAnswerIsComplete) {
    for (bool fails : {false, true}) {
        SCOPED_TRACE(fails ? "fork fails" : "fork works");
        // the clock at its real speed: the 2-second wait leaves a late reader room
        ts::WebRoot web(1);
        int pipe_fds[2];
        ASSERT_EQ(pipe2(pipe_fds, O_CLOEXEC), 0);
        pid_t request = fork(); // the request's process
        ASSERT_GE(request, 0);
        if (request == 0) {
            close(pipe_fds[0]);
            fork_fails = fails;
            cJSON *answer = cJSON_CreateObject();
            cgi_set_output(pipe_fds[1]);
            cgi_send_json(answer);
            RequestContext context{FollowUpAction::Reboot};
            cgi_run_follow_up(&context);
            _exit(0);
        }
        close(pipe_fds[1]);
        std::string seen;
        char buf[256];
        ssize_t n;
        while ((n = read(pipe_fds[0], buf, sizeof buf)) > 0)
            seen.append(buf, static_cast<size_t>(n));
        close(pipe_fds[0]);
        EXPECT_EQ(seen, "Content-Length: 3\nContent-Type:application/json; charset=utf-8\n\n{}\n");
        EXPECT_FALSE(ts::contains(ts::read_file(web.path("/sim/calls.log")), "reboot"));
        EXPECT_TRUE(ts::wait_until(
            [&] { return ts::read_file(web.path("/sim/calls.log")) == "reboot\n"; }, 30000));
        int status;
        EXPECT_EQ(waitpid(request, &status, 0), request);
        EXPECT_EQ(ts::contains(ts::read_file(web.path("/tmp/cgi.log")), "fork failed"), fails);
    }
}

} // namespace
