// The web back end behind the real web server, reached with curl.
#include <gtest/gtest.h>
#include <test_support.h>
#include <web_server.h>

#include <ctime>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace {

std::string md5_of_admin() {
    return "21232f297a57a5a743894a0e4a801fc3";
}

std::string login_body(const std::string &digest) {
    return "{\"username\":\"admin\",\"password\":\"" + digest + "\"}";
}

std::string session_of(const std::string &answer) {
    std::smatch m;
    static const std::regex re("\"session\":\"([0-9A-Za-z]{15})\"");
    return std::regex_search(answer, m, re) ? m[1].str() : "";
}

// 29 February 2040, 12:00:00 UTC: a router's date after 32-bit time ran out
constexpr long long kWallClock = 2214129600;

class BehindLighttpd : public ::testing::Test {
  protected:
    void SetUp() override {
        root.set_uptime(1000); // up for a while: session times are never 0
        root.set_wall_clock(kWallClock);
        server = std::make_unique<ts::WebServer>(root);
        ASSERT_TRUE(server->started());
    }
    std::vector<std::string> login_args(const std::string &address, const std::string &digest) {
        return {"--interface",
                address,
                "-H",
                "Content-Type: application/json",
                "--data",
                login_body(digest),
                server->url("login.cgi")};
    }
    std::vector<std::string> page_args(const std::string &address, const std::string &session,
                                       const std::string &page) {
        return {"--interface", address, "-b", "session=" + session, server->url(page)};
    }
    ts::TempRoot root;
    std::unique_ptr<ts::WebServer> server;
};

TEST_F(BehindLighttpd, LoginThenAPageWithTheCookie) {
    std::string answer = ts::curl(login_args("127.0.0.1", md5_of_admin()));
    std::string session = session_of(answer);
    ASSERT_EQ(answer, "{\"session\":\"" + session + "\",\"result\":0}\n") << server->error_log();
    std::string home = ts::curl(page_args("127.0.0.1", session, "home.cgi"));
    EXPECT_TRUE(ts::contains(home, "{\"netmode\":\"3G\",\"iccid\":\"\",\"lanip\":\"192.168.1.1\""))
        << home;
    // the router's date, as the status screen shows it
    std::smatch m;
    ASSERT_TRUE(std::regex_search(home, m, std::regex("\"devicetime\":(\\d+)"))) << home;
    EXPECT_GE(std::stoll(m[1].str()), kWallClock);
    EXPECT_LT(std::stoll(m[1].str()), kWallClock + 600);
    // the session belongs to its address
    EXPECT_EQ(ts::curl(page_args("127.0.0.2", session, "home.cgi")), "{\"redirectLogin\":1}\n");
    // headers as the server passes them on
    std::string head = ts::curl({"-i", "-b", "session=" + session, server->url("state.cgi")});
    EXPECT_TRUE(ts::contains(head, "HTTP/1.1 200 OK\r\n"));
    EXPECT_TRUE(ts::contains(head, "Content-Length: 29\r\n")) << head;
    EXPECT_TRUE(ts::contains(head, "\r\n\r\n{\"netmode\":\"3G\",\"wifioff\":0}\n"));
}

// The web server's own set-up: the interface is never framed by another
// site and runs nothing but its own files, the back end's answers are never
// kept, and the firewall script beside the pages runs for no one who names it.
TEST_F(BehindLighttpd, HeadersAndTheFirewallScript) {
    std::string top = "http://127.0.0.1:" + std::to_string(server->port());
    std::string index = ts::curl({"-i", top + "/"});
    EXPECT_TRUE(ts::contains(index, "X-Frame-Options: DENY\r\n")) << index;
    EXPECT_TRUE(ts::contains(index, "frame-ancestors 'none'")) << index;
    EXPECT_TRUE(
        ts::contains(ts::curl({"-i", server->url("state.cgi")}), "Cache-Control: no-store\r\n"));
    for (const char *path : {"/cgi-bin/firewall.cgi?init", "/cgi-bin/%66irewall.cgi",
                             "/cgi-bin/./firewall.cgi/x", "//cgi-bin//firewall.cgi"})
        EXPECT_EQ(ts::curl({"--path-as-is", "-o", "/dev/null", "-w", "%{http_code}", top + path}),
                  "403")
            << path;
    EXPECT_FALSE(ts::contains(ts::read_file(root.path("/sim/calls.log")), "firewall"));
}

// 50 requests at once from several addresses: page requests with sessions,
// logins of new addresses, and wrong passwords from one address. No table
// line is lost or corrupted, and the guesses are counted one by one.
TEST_F(BehindLighttpd, FiftyConcurrentRequests) {
    std::map<std::string, std::string> sessions;
    for (int i = 2; i <= 6; i++) {
        std::string address = "127.0.0." + std::to_string(i);
        sessions[address] = session_of(ts::curl(login_args(address, md5_of_admin())));
        ASSERT_EQ(sessions[address].size(), 15u) << server->error_log();
    }

    std::vector<ts::Process> pages(40), logins(5), guesses(5);
    for (size_t i = 0; i < pages.size(); i++) {
        std::string address = "127.0.0." + std::to_string(2 + i % 5);
        ts::spawn_curl(pages[i], page_args(address, sessions[address], "state.cgi"));
        if (i < 5) {
            ts::spawn_curl(logins[i],
                           login_args("127.0.0." + std::to_string(10 + i), md5_of_admin()));
            ts::spawn_curl(guesses[i], login_args("127.0.0.30", std::string(32, '0')));
        }
    }
    for (auto *group : {&pages, &logins, &guesses})
        for (auto &p : *group)
            ASSERT_TRUE(p.wait(60000));

    for (auto &p : pages)
        EXPECT_EQ(p.out(), "{\"netmode\":\"3G\",\"wifioff\":0}\n");
    for (auto &p : logins)
        EXPECT_EQ(session_of(p.out()).size(), 15u) << p.out();
    int refused = 0, locked = 0;
    for (auto &p : guesses) {
        refused += ts::contains(p.out(), "\"result\":-1");
        locked += ts::contains(p.out(), "\"disabledTime\":");
    }
    EXPECT_EQ(refused, 3); // the third failure already answers the lock-out
    EXPECT_EQ(locked, 3);

    std::set<std::string> addresses;
    static const std::regex session_line(R"((127\.0\.0\.\d+) [0-9A-Za-z]{15} \d+)");
    for (const auto &line : ts::read_lines(root.path("/tmp/web.session"))) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, session_line)) << line;
        EXPECT_TRUE(addresses.insert(m[1].str()).second) << line;
    }
    EXPECT_EQ(addresses.size(), 10u);
    auto failures = ts::read_lines(root.path("/tmp/web.login"));
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_TRUE(std::regex_match(failures[0], std::regex(R"(127\.0\.0\.30 \d+ 3)"))) << failures[0];
}

} // namespace
