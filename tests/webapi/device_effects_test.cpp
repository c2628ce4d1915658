// The device pages through the real web server, with their effects on the
// running simulated router: the modem daemon re-plans its scheduled reboot
// (and, started again after it, tells why the router restarted), and the bridges that "diag.cgi"
// starts relay the simulated modem's diagnostic port (which echoes 0x7E-terminated frames) to a
// local listener.
#include "pty_pair.h"

#include <gtest/gtest.h>
#include <test_support.h>
#include <web_server.h>

#include <csignal>
#include <poll.h>
#include <ctime>
#include <regex>
#include <string>
#include <unistd.h>

namespace {

class Router {
  public:
    explicit Router(const char *model) {
        root.set_uptime(1000); // up for a while: session times are never 0
        ts::write_file(root.path("/var/run/nvramd.pid"), "1\n");
        ts::spawn(sim, {ts::bin_path("modemsim"), "--root", root.dir(), "--model", model},
                  root.env());
        ts::wait_until([&] { return ts::file_exists(root.path("/sim/modemsim.pid")); }, 10000);
        ts::spawn(daemon, {ts::bin_path("lted"), "start"}, root.env());
    }
    ~Router() {
        if (!session.empty()) post("diag.cgi", "{\"start\":0}"); // no bridge outlives the test
        daemon.signal(SIGTERM);
        daemon.wait(10000);
        sim.signal(SIGTERM);
        sim.wait(10000);
    }
    // Logs in and waits for the daemon to publish the modem it found.
    bool ready() {
        std::string answer =
            ts::curl({"-H", "Content-Type: application/json", "--data",
                      "{\"username\":\"admin\",\"password\":\"21232f297a57a5a743894a0e4a801fc3\"}",
                      server.url("login.cgi")});
        std::smatch m;
        if (std::regex_search(answer, m, std::regex("\"session\":\"(\\w{15})\""))) session = m[1];
        return !session.empty() &&
               ts::wait_until(
                   [&] { return !ts::read_file(root.path("/var/run/mdm_type")).empty(); }, 30000);
    }
    std::string post(const std::string &page, const std::string &body) {
        return ts::curl({"-H", "Content-Type: application/json", "-b", "session=" + session,
                         "--data", body, server.url(page)});
    }

    ts::TempRoot root;
    ts::WebServer server{root};
    ts::Process sim, daemon;
    std::string session;
};

// A frame written to the bridge comes back through the modem's echo.
void expect_echoed(int connection, const std::string &frame) {
    ASSERT_TRUE(ts::write_all_fd(connection, frame));
    EXPECT_EQ(ts::read_within(connection, frame.size(), 10000), frame);
}

// The bridge has ended: its side of the connection is closed.
bool closed(int connection) {
    pollfd p{connection, POLLIN, 0};
    char byte;
    return poll(&p, 1, 10000) == 1 && recv(connection, &byte, 1, MSG_DONTWAIT) == 0;
}

TEST(DeviceEffects, RebootPlanAndTracelinkOnAnAsrModem) {
    Router r("asr");
    ASSERT_TRUE(r.server.started());
    ASSERT_TRUE(r.ready()) << r.server.error_log();
    EXPECT_EQ(ts::read_file(r.root.path("/var/run/mdm_type")), "asr");

    EXPECT_EQ(r.post("autoreboot.cgi", "{\"auto_reboot_mode\":2,\"auto_reboot_time\":180}"),
              "{\"result\":0}\n");
    EXPECT_TRUE(ts::wait_until(
        [&] {
            return ts::contains(ts::read_file(r.root.path("/tmp/lted.log")),
                                "receive signum=" +
                                    std::to_string(ts::program_signal_number(SIGUSR2)));
        },
        10000));

    int listener = ts::bound_socket(SOCK_STREAM, "127.0.0.1", 0);
    std::string options =
        "-c 127.0.0.1 -p " + std::to_string(ts::local_port(listener)) + " -d /dev/ttyUSB0";
    // the answer comes while the bridge goes on running
    EXPECT_EQ(r.post("diag.cgi", "{\"start\":1,\"param\":\"" + options + "\"}"),
              "{\"result\":0}\n");
    int connection = ts::accept_within(listener, 15000);
    ASSERT_GE(connection, 0);
    expect_echoed(connection, std::string("\x01\x02hello\x7e", 8));

    EXPECT_EQ(r.post("diag.cgi", "{\"start\":0}"), "{\"result\":0}\n");
    EXPECT_TRUE(closed(connection));
    close(connection);
    close(listener);
}

TEST(DeviceEffects, SercatOnAQualcommModem) {
    Router r("9025");
    ASSERT_TRUE(r.server.started());
    ASSERT_TRUE(r.ready()) << r.server.error_log();
    EXPECT_EQ(ts::read_file(r.root.path("/var/run/mdm_type")), "mdm9x07");

    // its port is fixed at 2500: a loopback address of this process's own
    std::string address = "127.0." + std::to_string(100 + getpid() % 150) + "." +
                          std::to_string(1 + getpid() / 150 % 250);
    int listener = ts::bound_socket(SOCK_STREAM, address, 2500);
    ASSERT_GE(listener, 0);
    EXPECT_EQ(r.post("diag.cgi", "{\"start\":1,\"param\":\"" + address + " /dev/ttyUSB0\"}"),
              "{\"result\":0}\n");
    int connection = ts::accept_within(listener, 15000);
    ASSERT_GE(connection, 0);
    expect_echoed(connection, "frame one~");

    EXPECT_EQ(r.post("diag.cgi", "{\"start\":0}"), "{\"result\":0}\n");
    EXPECT_TRUE(closed(connection));
    close(connection);
    close(listener);
}

// The scheduled reboot comes at once (the router has been up for 1000 s);
// the daemon started again in the same root tells why the router restarted.
TEST(DeviceEffects, AfterTheScheduledRebootTheEventsTellWhy) {
    Router r("9025");
    ASSERT_TRUE(r.server.started());
    ASSERT_TRUE(r.ready()) << r.server.error_log();
    time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    std::string minute = std::to_string(local.tm_hour * 60 + local.tm_min);
    EXPECT_EQ(
        r.post("autoreboot.cgi", "{\"auto_reboot_mode\":2,\"auto_reboot_time\":" + minute + "}"),
        "{\"result\":0}\n");
    std::string calls = r.root.path("/sim/calls.log"),
                flash = r.root.path("/dev/apsoc_nvram/2860.flash");
    ASSERT_TRUE(
        ts::wait_until([&] { return ts::contains(ts::read_file(calls), "reboot\n"); }, 20000));
    // in flash before the reboot
    EXPECT_TRUE(std::regex_search(
        ts::read_file(flash),
        std::regex(R"(RestartReason=\d{4}-\d\d-\d\d \d\d:\d\d:\d\d scheduled reboot\0)")));

    // off again, and the daemon starts anew as after the reboot
    EXPECT_EQ(r.post("autoreboot.cgi", "{\"auto_reboot_mode\":0}"), "{\"result\":0}\n");
    r.daemon.signal(SIGTERM);
    ASSERT_TRUE(r.daemon.wait(10000));
    ts::spawn(r.daemon, {ts::bin_path("lted"), "start"}, r.root.env());
    std::string events;
    ASSERT_TRUE(ts::wait_until(
        [&] {
            events = ts::curl({"-b", "session=" + r.session, r.server.url("events.cgi")});
            return ts::contains(events, "restarted after: scheduled reboot");
        },
        20000))
        << events;
    EXPECT_TRUE(std::regex_search(
        events,
        std::regex(
            R"(^\{"lastRestart":"scheduled reboot","lastRestartTime":"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d","events":\[)")))
        << events;
    // newest first: the restart, the reboot, what led to it
    size_t restarted = events.find("\"text\":\"restarted after: scheduled reboot\"");
    size_t reboot = events.find("\"text\":\"reboot: scheduled reboot\"");
    size_t reload = events.find(
        "\"text\":\"settings reloaded (SIGUSR2): scheduled reboot mode 2, time " + minute + "\"");
    EXPECT_LT(restarted, reboot) << events;
    EXPECT_LT(reboot, reload) << events;
    EXPECT_NE(reload, std::string::npos) << events;
    // cleared by the new start
    EXPECT_TRUE(ts::wait_until(
        [&] { return ts::contains(ts::read_file(flash), std::string("RestartReason=\0", 15)); },
        10000));
}

} // namespace
