// The device pages' effects on the running simulated router: the modem
// daemon re-plans its scheduled reboot, and the diagnostic bridges started
// by the page relay the simulated modem's diagnostic port.
#include "cgi_harness.h"
#include "pty_pair.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

class Router {
  public:
    explicit Router(const char *model) : web(10) {
        // the bridges as the router has them on its PATH
        ts::make_dirs(web.path("/bin"));
        for (const char *link : {"tracelinkd", "sercat"}) {
            std::string program =
                ts::bin_path(std::string(link) == "sercat" ? "sercat" : "tracelink");
            symlink(program.c_str(), web.path(std::string("/bin/") + link).c_str());
        }
        setenv("PATH", (web.path("/bin") + ":" + getenv("PATH")).c_str(), 1);
        ts::write_file(web.path("/var/run/nvramd.pid"), "1\n");
        ts::spawn(sim, {ts::bin_path("modemsim"), "--root", web.root().dir(), "--model", model},
                  web.root().env());
        ts::wait_until([&] { return ts::file_exists(web.path("/sim/modemsim.pid")); }, 10000);
        ts::spawn(daemon, {ts::bin_path("lted"), "start"}, web.root().env());
    }
    ~Router() {
        post("diag.cgi", "{\"start\":0}"); // no bridge outlives the test
        daemon.signal(SIGTERM);
        daemon.wait(10000);
        sim.signal(SIGTERM);
        sim.wait(10000);
    }
    std::string lted_log() const { return ts::read_file(web.path("/tmp/lted.log")); }
    bool modem_found() {
        return ts::wait_until([&] { return ts::file_exists(web.path("/var/run/mdm_type")); },
                              30000);
    }
    std::string post(const std::string &page, const std::string &body) {
        return web.call_with_session({.page = page, .method = "POST", .body = body}).json;
    }

    ts::WebRoot web;
    ts::Process sim, daemon;
};

// A frame sent to the listener's peer comes back through the modem's echo.
void expect_relayed(int connection, const std::string &frame) {
    ASSERT_TRUE(ts::write_all_fd(connection, frame));
    EXPECT_EQ(ts::read_within(connection, frame.size(), 10000), frame);
}

TEST(DeviceEffects, RebootPlanAndTracelinkOnAnAsrModem) {
    Router r("asr");
    ASSERT_TRUE(r.modem_found());
    EXPECT_EQ(ts::read_file(r.web.path("/var/run/mdm_type")), "asr");

    EXPECT_EQ(r.post("autoreboot.cgi", "{\"auto_reboot_mode\":2,\"auto_reboot_time\":180}"),
              "{\"result\":0}");
    EXPECT_TRUE(ts::wait_until(
        [&] { return ts::contains(r.lted_log(), "receive signum=" + std::to_string(SIGUSR2)); },
        10000))
        << r.lted_log();

    int listener = ts::bound_socket(SOCK_STREAM, "127.0.0.1", 0);
    ASSERT_GE(listener, 0);
    std::string options =
        "-c 127.0.0.1 -p " + std::to_string(ts::local_port(listener)) + " -d /dev/ttyUSB0";
    EXPECT_EQ(r.post("diag.cgi", "{\"start\":1,\"param\":\"" + options + "\"}"), "{\"result\":0}");
    int connection = ts::accept_within(listener, 15000);
    ASSERT_GE(connection, 0);
    expect_relayed(connection, std::string("\x01\x02hello\x7e", 8));

    EXPECT_EQ(r.post("diag.cgi", "{\"start\":0}"), "{\"result\":0}");
    EXPECT_EQ(ts::read_within(connection, 1, 10000), ""); // the bridge has ended
    close(connection);
    close(listener);
}

TEST(DeviceEffects, SercatOnAQualcommModem) {
    Router r("9025");
    ASSERT_TRUE(r.modem_found());
    EXPECT_EQ(ts::read_file(r.web.path("/var/run/mdm_type")), "mdm9x07");

    // the port is fixed at 2500: a loopback address of this process's own
    std::string address = "127.0." + std::to_string(100 + getpid() % 150) + "." +
                          std::to_string(1 + getpid() / 150 % 250);
    int listener = ts::bound_socket(SOCK_STREAM, address, 2500);
    ASSERT_GE(listener, 0);
    EXPECT_EQ(r.post("diag.cgi", "{\"start\":1,\"param\":\"" + address + " /dev/ttyUSB0\"}"),
              "{\"result\":0}");
    int connection = ts::accept_within(listener, 15000);
    ASSERT_GE(connection, 0);
    expect_relayed(connection, "frame one~");

    EXPECT_EQ(r.post("diag.cgi", "{\"start\":0}"), "{\"result\":0}");
    EXPECT_EQ(ts::read_within(connection, 1, 10000), "");
    close(connection);
    close(listener);
}

} // namespace
