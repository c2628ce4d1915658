// Settings changed through the real web server reach the running modem
// daemon of the simulated router and the firmware stand-ins.
#include <gtest/gtest.h>
#include <test_support.h>
#include <web_server.h>

#include <csignal>
#include <ctime>
#include <sys/stat.h>
#include <memory>
#include <regex>
#include <string>
#include <vector>

namespace {

constexpr unsigned kFactor = 10; // the 2-second follow-up takes 0.2 s

class SettingsBehindLighttpd : public ::testing::Test {
  protected:
    void SetUp() override {
        root.set_uptime(1000); // up for a while: session times are never 0
        server = std::make_unique<ts::WebServer>(root);
        ASSERT_TRUE(server->started());
        std::smatch m;
        std::string answer = ts::curl({"-H", "Content-Type: application/json", "--data",
                                       R"({"username":"admin","password":")"
                                       "21232f297a57a5a743894a0e4a801fc3\"}",
                                       server->url("login.cgi")});
        ASSERT_TRUE(std::regex_search(answer, m, std::regex("\"session\":\"(\\w{15})\"")))
            << answer << server->error_log();
        session = m[1].str();
    }

    // A POST with the session; the stand-ins' records from here on are its.
    std::string post(const std::string &page, const std::string &body) {
        calls_seen = ts::read_lines(root.path("/sim/calls.log")).size();
        return ts::curl({"-b", "session=" + session, "-H", "Content-Type: application/json",
                         "--data", body, server->url(page)});
    }
    // True once a stand-in recorded the line after the last POST began.
    bool recorded(const std::string &line) {
        return ts::wait_until(
            [&] {
                auto lines = ts::read_lines(root.path("/sim/calls.log"));
                for (size_t i = calls_seen; i < lines.size(); i++)
                    if (lines[i] == line) return true;
                return false;
            },
            10000);
    }

    ts::TempRoot root{kFactor};
    std::unique_ptr<ts::WebServer> server;
    std::string session;
    size_t calls_seen = 0;
};

// A WAN mode change signals the daemon of this router, and only that one,
// then restarts the services.
TEST_F(SettingsBehindLighttpd, WanModeChangeReachesTheDaemon) {
    ts::write_file(root.path("/var/run/nvramd.pid"), "1\n");
    ts::Process sim, daemon, other;
    ts::spawn(sim, {ts::bin_path("modemsim"), "--root", root.dir(), "--model", "9025"}, root.env());
    ASSERT_TRUE(
        ts::wait_until([&] { return ts::file_exists(root.path("/sim/modemsim.pid")); }, 10000));
    ts::spawn(daemon, {ts::bin_path("lted"), "start"}, root.env());
    std::string log = root.path("/tmp/lted.log");
    ASSERT_TRUE(
        ts::wait_until([&] { return ts::contains(ts::read_file(log), "lted: running"); }, 20000));
    // a program of the same name in another router: the signal must not reach it
    ts::TempRoot elsewhere;
    ts::write_file(elsewhere.path("/bin/lted"), ts::read_file("/bin/sleep"));
    chmod(elsewhere.path("/bin/lted").c_str(), 0755);
    ts::spawn(other, {elsewhere.path("/bin/lted"), "60"}, elsewhere.env());

    EXPECT_EQ(post("wan.cgi", R"({"netmode":"DHCP","macclone":0})"), "{\"result\":0}\n")
        << server->error_log();
    std::string reload =
        "app_signal_callback: receive signum=" + std::to_string(ts::program_signal_number(SIGUSR1));
    EXPECT_TRUE(ts::wait_until([&] { return ts::contains(ts::read_file(log), reload); }, 10000))
        << ts::read_file(log);
    EXPECT_TRUE(recorded("init_system restart"));
    EXPECT_TRUE(daemon.running());
    EXPECT_TRUE(other.running());

    daemon.signal(SIGTERM);
    EXPECT_TRUE(daemon.wait(10000));
    sim.signal(SIGTERM);
    sim.wait(10000);
}

// A forwarding change is committed and rebuilds the firewall after the answer.
TEST_F(SettingsBehindLighttpd, ForwardingChangeRunsTheFirewallScript) {
    EXPECT_EQ(post("portforward.cgi", R"({"portForwardMode":1,"singlePortForwardMode":0,)"
                                      R"("portForwardRules":"r","singlePortForwardRules":""})"),
              "{\"result\":0}\n")
        << server->error_log();
    EXPECT_TRUE(recorded("firewall.cgi init"));
    // the server ends the run once it has the answer: the change is committed all the same
    EXPECT_TRUE(ts::wait_until(
        [&] {
            return ts::contains(ts::read_file(root.path("/dev/apsoc_nvram/2860.flash")),
                                std::string("PortForwardRules=r\0", 19));
        },
        10000));
    EXPECT_EQ(ts::curl({"-b", "session=" + session, server->url("portforward.cgi")}),
              R"({"portForwardMode":1,"singlePortForwardMode":0,"portForwardRules":"r",)"
              R"("singlePortForwardRules":""})"
              "\n");
}

} // namespace
