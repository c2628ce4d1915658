// The modem and status pages in-process: against a stand-in daemon for the
// exact mappings and bad answers, and against the real daemon and simulator.
#include "cgi_harness.h"
#include "nvram_env.h"
#include "platform.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using ts::CgiAnswer;
using ts::CgiCall;
using ts::FakeDaemon;
using Requests = std::vector<std::vector<std::string>>;

class Pages : public ::testing::Test {
  protected:
    // the 5-second PIN settle time passes in 1 s; the daemon's 4 seconds are 0.8 s
    Pages() : web(5) {}
    CgiAnswer get(const std::string &page) { return web.call_with_session({.page = page}); }
    CgiAnswer post(const std::string &page, const std::string &body) {
        return web.call_with_session({.page = page, .method = "POST", .body = body});
    }
    // Every member but the clock figures, which change from run to run.
    static std::string without_clock(const CgiAnswer &a) {
        std::string s = a.json;
        for (const char *key : {"\"uptime\":", "\"devicetime\":"}) {
            size_t at = s.find(key);
            if (at == std::string::npos) continue;
            size_t end = s.find_first_of(",}", at);
            s.erase(at, end - at + (s[end] == ',' ? 1 : 0));
        }
        return s;
    }
    ts::WebRoot web;
};

TEST_F(Pages, HomeAndStateFromFilesAndStoreWhenTheDaemonIsDown) {
    ts::write_file(web.path("/proc/meminfo"),
                   "MemTotal:  1000 kB\nBuffers: x kB\nMemFree:\t20 kB\nCached: 3 kB\n");
    ts::write_file(web.path("/tmp/ICCID"), "89860012345678901234\n");
    CgiAnswer home = get("home.cgi");
    timespec after{};
    ASSERT_EQ(boot_clock_now(&after), 0);
    EXPECT_EQ(without_clock(home),
              "{\"netmode\":\"3G\",\"iccid\":\"89860012345678901234\",\"lanip\":\"192.168.1.1\","
              "\"lannetmask\":\"255.255.255.0\",\"ssid\":\"LTE-Router\",\"firmwareversion\":\"\","
              "\"MemTotal\":1024000,\"MemFree\":20480}");
    // the root's clock runs from 5000.5 s
    int uptime = atoi(home.member("uptime").c_str());
    EXPECT_GE(uptime, 5000);
    EXPECT_LE(uptime, after.tv_sec);
    EXPECT_EQ(get("state.cgi").json, "{\"netmode\":\"3G\",\"wifioff\":0}");

    // a DHCP WAN reads its client's files; the version falls back to the firmware file
    web.store_set("wanConnectionMode", "DHCP");
    ts::write_file(web.path("/etc_ro/version"), "1.2.3\n");
    home = get("home.cgi");
    EXPECT_EQ(home.member("netstat"), "\"disconnected\"");
    EXPECT_EQ(home.member("netip"), "");
    EXPECT_EQ(home.member("firmwareversion"), "\"1.2.3\"");
    // the stored version comes first, whole
    const std::string version = "V" + std::string(200, '9');
    nvram_init(5);
    nvram_bufset(5, "version", version.c_str());
    nvram_close(5);
    EXPECT_EQ(get("home.cgi").member("firmwareversion"), "\"" + version + "\"");
    ts::make_dirs(web.path("/var/run/dhcpc/eth2.2"));
    ts::write_file(web.path("/var/run/dhcpc/eth2.2/ip"), "198.51.100.7\n");
    ts::write_file(web.path("/var/run/dhcpc/eth2.2/dns2"), "198.51.100.2\n");
    home = get("home.cgi");
    EXPECT_TRUE(ts::contains(home.json, "\"netmode\":\"DHCP\",\"netip\":\"198.51.100.7\","
                                        "\"netstat\":\"connected\",\"netdns2\":\"198.51.100.2\","
                                        "\"iccid\""));
}

TEST_F(Pages, StatusPagesReadTheDaemonsLinesAndSurviveBadAnswers) {
    FakeDaemon daemon(web.root());
    std::string home_lines = "SUCCESS:\nconnected\n10.64.12.34\n\n\n\n\nSIM9025\n8612\nREADY\n0010"
                             "1\n+1555\n1\n5\nLTE\n20\n-95\n-10\n\n";
    daemon.reply(home_lines);
    CgiAnswer home = get("home.cgi");
    EXPECT_TRUE(ts::contains(
        home.json,
        "{\"netmode\":\"3G\",\"netstat\":\"connected\",\"netip\":\"10.64.12.34\",\"netmask\":\"\","
        "\"netgateway\":\"\",\"netdns\":\"\",\"netdns2\":\"\",\"modemversion\":\"SIM9025\","
        "\"imei\":\"8612\",\"simstate\":\"READY\",\"imsi\":\"00101\",\"cnum\":\"+1555\","
        "\"voicereg\":1,\"datareg\":5,\"nettype\":\"LTE\",\"csq\":20,\"rsrp\":\"-95\","
        "\"rsrq\":\"-10\",\"rscp\":\"\",\"iccid\""));
    // outside 3G mode the daemon's WAN lines are not shown
    web.store_set("wanConnectionMode", "STATIC");
    daemon.reply(home_lines);
    home = get("home.cgi");
    EXPECT_EQ(home.member("netstat"), "\"disconnected\"");
    EXPECT_EQ(home.member("modemversion"), "\"SIM9025\"");
    web.store_set("wanConnectionMode", "3G");

    // an empty number line is left out, the rest stays
    daemon.reply("SUCCESS:\nREADY\n2\n3\n9\n\n00101\nSimNet\nconnected\n0\nLTE\nSimNet\n");
    EXPECT_EQ(get("state.cgi").json,
              "{\"netmode\":\"3G\",\"sim\":\"READY\",\"srv_status\":2,\"srv_domain\":3,"
              "\"sys_mode\":9,\"plmn\":\"00101\",\"operator\":\"SimNet\",\"netstat\":\"connected\","
              "\"signalbar\":0,\"nettype\":\"LTE\",\"netoperator\":\"SimNet\",\"wifioff\":0}");

    // cut, late, malformed or closed answers give the page without the daemon's keys
    const FakeDaemon::Reply bad[] = {
        {.payload = "SUCCESS:\nREADY\n2\n3\n"},
        {.payload = "ERROR\nREADY\n2\n3\n9\n20\n00101\nSimNet\nconnected\n4\nLTE\nSimNet\n"},
        {.payload = std::string(4, '\xff') + "SUCCESS:", .raw = true},
        {.payload = "SUCC", .raw = true},
        {.hang_up = true},
        {.payload = "SUCCESS:\nREADY\n2\n3\n9\n20\n00101\nSimNet\nconnected\n4\nLTE\nSimNet\n",
         .delay_ms = 1500}, // past the 4-second limit (0.8 s here)
    };
    for (const auto &r : bad) {
        daemon.reply(r);
        CgiAnswer a = get("state.cgi");
        EXPECT_EQ(a.status, 0);
        EXPECT_EQ(a.json, "{\"netmode\":\"3G\",\"wifioff\":0}") << r.payload;
    }
}

// A daemon whose queue of connections is full (busy with the modem, or
// stopped) delays a page by its 4 seconds at most: the page answers without
// the daemon's keys.
TEST_F(Pages, ADaemonThatAcceptsNothingCostsOnlyItsKeys) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", web.path("/var/run/RIL_CMD").c_str());
    const auto *a = reinterpret_cast<const sockaddr *>(&addr);
    int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int queued = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(bind(listener, a, sizeof addr), 0);
    ASSERT_EQ(listen(listener, 0), 0);
    ASSERT_EQ(connect(queued, a, sizeof addr), 0); // fills the queue; nothing is accepted
    EXPECT_EQ(get("state.cgi").json, "{\"netmode\":\"3G\",\"wifioff\":0}");
    close(queued);
    close(listener);
}

TEST_F(Pages, SimPinsAreDigitsAndOperationsFollowTheModem) {
    FakeDaemon daemon(web.root());
    web.store_set("siminitpin", "1234");
    daemon.reply("SUCCESS:\n1\n3\n3\n10\n");
    EXPECT_EQ(get("sim.cgi").json, "{\"card_state\":1,\"pin_state\":3,\"pin_retries\":3,"
                                   "\"puk_retries\":10,\"sim_init_pin\":\"1234\",\"result\":-1}");
    EXPECT_EQ(post("sim.cgi", "{\"sim_init_pin\":\"\"}").json, "{\"result\":0}");
    EXPECT_EQ(web.store_get("siminitpin"), "");

    // refused before the daemon is asked: wrong lengths, anything but digits
    for (const char *body :
         {"{\"sim_init_pin\":\"12\\\"4\"}", "{\"type\":\"verify_pin\",\"pin\":\"123\"}",
          "{\"type\":\"verify_pin\",\"pin\":\"12\\\"4\"}",
          "{\"type\":\"verify_pin\",\"pin\":\"1234\\r\"}",
          "{\"type\":\"unblock_pin\",\"puk\":\"1234567x\",\"newpin\":\"1234\"}",
          "{\"type\":\"change_pin\",\"pin\":\"1234\",\"newpin\":\" 1234\"}"})
        EXPECT_EQ(post("sim.cgi", body).json, "{\"result\":-1}") << body;
    EXPECT_EQ(web.store_get("siminitpin"), "");
    EXPECT_EQ(daemon.requests().size(), 1u);

    // a 9-character "sim_init_pin" is a PIN operation; without "type" it is refused
    EXPECT_EQ(post("sim.cgi", "{\"sim_init_pin\":\"123456789\"}").json, "{\"result\":-1}");
    // the modem refuses: no "result"; accepts: the poll restarts
    daemon.reply("SUCCESS:\n+CME ERROR: 16\n");
    EXPECT_EQ(post("sim.cgi", "{\"type\":\"enable_pin\",\"pin\":\"0000\"}").json, "{}");
    daemon.reply("SUCCESS:\nOK\n");
    daemon.reply("SUCCESS:\n");
    EXPECT_EQ(
        post("sim.cgi", "{\"type\":\"unblock_pin\",\"puk\":\"12345678\",\"newpin\":\"4321\"}").json,
        "{\"result\":0}");
    EXPECT_EQ(daemon.requests(), (Requests{{"GETSIMINFO"},
                                           {"AT", "AT+CLCK=\"SC\",1,\"0000\""},
                                           {"AT", "AT+CPIN=\"12345678\",\"4321\""},
                                           {"SETSIM"}}));
}

TEST_F(Pages, MobileNetworkSettingsAreCheckedBeforeAnythingIsSent) {
    FakeDaemon daemon(web.root());
    const std::string good =
        "{\"netmodeconfig\":4,\"wan_3g_apnmode\":1,\"wan_3g_apn\":\"internet\","
        "\"wan_3g_user\":\"u\",\"wan_3g_pass\":\"p@w'd\",\"wan_3g_authtype\":2,"
        "\"wan_3g_apn_reg\":\"\",\"wan_3g_user_reg\":\"\",\"wan_3g_pass_reg\":"
        "\"\",\"wan_3g_authtype_reg\":0}";
    // text that would end or add to a modem command line is refused
    for (const auto &[from, to] : std::vector<std::pair<std::string, std::string>>{
             {"internet", "inter\\\"net"},
             {"p@w'd", "pw\\r\\nAT+CFUN=0"},
             // sent unquoted by one dialect, where they split or chain the command
             {"p@w'd", "p;w"},
             {"\"u\"", "\"u,v\""},
             // longer than the daemon holds
             {"internet", std::string(128, 'a')},
             {"\"wan_3g_pass_reg\":\"\"", "\"wan_3g_pass_reg\":\"" + std::string(256, 'p') + "\""},
             {"\"u\"", "\"\\u001a\""},
             {"\"u\"", "\"\\u001b\""},
             {"\"wan_3g_authtype\":2", "\"wan_3g_authtype\":\"2\""}}) {
        std::string body = good;
        body.replace(body.find(from), from.size(), to);
        EXPECT_EQ(post("mobilenet.cgi", body).json, "{\"result\":-1}") << body;
    }
    EXPECT_EQ(web.store_get("wan_3g_apn"), "");
    EXPECT_TRUE(daemon.requests().empty());

    daemon.reply("SUCCESS:\n");
    EXPECT_EQ(post("mobilenet.cgi", good).json, "{\"result\":0}");
    EXPECT_EQ(web.store_get("wan_3g_pass"), "p@w'd");
    EXPECT_EQ(web.store_get("wan_3g_authtype"), "2");
    daemon.reply("SUCCESS:\n4\n");
    EXPECT_EQ(get("mobilenet.cgi").json,
              "{\"netmodeconfig\":4,\"wan_3g_apnmode\":1,\"wan_3g_apn\":\"internet\","
              "\"wan_3g_user\":\"u\",\"wan_3g_pass\":\"p@w'd\",\"wan_3g_authtype\":2,"
              "\"wan_3g_apn_reg\":\"\",\"wan_3g_user_reg\":\"\",\"wan_3g_pass_reg\":\"\","
              "\"wan_3g_authtype_reg\":0}");
    EXPECT_EQ(daemon.requests(), (Requests{{"SETNETCFG", "4"}, {"GETNETCFG"}}));
    EXPECT_EQ(web.call_with_session({.page = "mobilenet.cgi", .method = "PUT"}).json,
              "{\"result\":-1}");
    // a value the store cannot hold is refused, not reported as stored
    std::string huge = good;
    huge.replace(huge.find("internet"), 8, std::string(17000, 'a'));
    EXPECT_EQ(post("mobilenet.cgi", huge).json, "{\"result\":-1}");
    // the longest texts the daemon holds
    std::string longest = good;
    longest.replace(longest.find("internet"), 8, std::string(127, 'a'));
    longest.replace(longest.find("p@w'd"), 5, std::string(255, 'p'));
    EXPECT_EQ(post("mobilenet.cgi", longest).json, "{\"result\":0}");
}

TEST_F(Pages, GpsNeedsNoSessionAndWaitsForTheLocation) {
    FakeDaemon daemon(web.root());
    CgiCall gps{.page = "gps.cgi"};
    const std::string clock = "SUCCESS:\n+CCLK: \"24/02/29,13:05:09+32\"\nOK\n";
    daemon.reply("SUCCESS:\nOK\n");
    daemon.reply(clock);
    EXPECT_EQ(web.call(gps).json, "{\"Time\":\"2024-02-29 13:05:09\"}");

    // connected: the daemon writes the modem's report after the request
    ts::write_file(web.path("/tmp/connected"), "");
    auto located = [&](const std::string &report) {
        daemon.reply({.payload = "SUCCESS:\nOK\n", .before = [this, report] {
                          ts::write_file(web.path("/tmp/clocation"), report);
                      }});
        daemon.reply(clock);
        return web.call(gps).json;
    };
    EXPECT_EQ(located("+CLOCATION: \"31.230416\",\"121.473701\"\n"),
              "{\"Time\":\"2024-02-29 13:05:09\",\"Longitude\":121.473701,\"Latitude\":31.230416}");
    EXPECT_EQ(located("+CLOCATION: \"0\",\"0\"\n"), "{\"Time\":\"2024-02-29 13:05:09\"}");
    daemon.reply("SUCCESS:\nERROR\n");
    EXPECT_EQ(web.call(gps).json, "{}");
}

// --- against the real daemon and the simulated modem ---

TEST(PagesWithTheDaemon, ShowLiveModemValues) {
    ts::WebRoot web(2);
    ts::write_file(web.path("/etc_ro/operators.txt"), "00101:Simulated Network\n");
    ts::write_file(web.path("/var/run/nvramd.pid"), "1\n");
    ts::Process sim, daemon;
    ts::spawn(sim, {ts::bin_path("modemsim"), "--root", web.root().dir(), "--model", "9025"},
              web.root().env());
    ASSERT_TRUE(
        ts::wait_until([&] { return ts::file_exists(web.path("/sim/modemsim.pid")); }, 10000));
    ts::spawn(daemon, {ts::bin_path("lted"), "start"}, web.root().env());
    ASSERT_TRUE(ts::wait_until(
        [&] { return ts::contains(ts::read_file(web.path("/tmp/lted.log")), "setRadioState(10)"); },
        30000));

    CgiAnswer home = web.call_with_session({.page = "home.cgi"});
    EXPECT_EQ(home.member("imei"), "\"861234567890123\"");
    EXPECT_EQ(home.member("csq"), "20");
    EXPECT_EQ(home.member("nettype"), "\"LTE\""); // the network poll ran as the radio came on
    CgiAnswer state = web.call_with_session({.page = "state.cgi"});
    EXPECT_EQ(state.member("operator"), "\"Simulated Network\"");
    EXPECT_EQ(state.member("signalbar"), "4");
    EXPECT_EQ(web.call_with_session({.page = "sim.cgi"}).member("card_state"), "1");
    EXPECT_EQ(web.call_with_session({.page = "mobilenet.cgi"}).member("netmodeconfig"), "2");

    daemon.signal(SIGTERM);
    daemon.wait(10000);
    sim.signal(SIGTERM);
    sim.wait(10000);
}

} // namespace
