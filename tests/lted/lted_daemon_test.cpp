// The real daemon against the modem simulator in a private router root.
#include <gtest/gtest.h>
#include <lted_fixture.h>
#include <test_support.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <regex>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using ts::TimedLine;

const std::string kPowerOff = "2 0 4000 0 1 4000";
const std::string kPowerOn = "2 4000 0 1 0 4000";

class Lted : public ts::LtedFixture {
  protected:
    // The modem was switched off once, for about off_seconds: when it came on (-1: not once).
    double one_power_cycle(double off_seconds) {
        EXPECT_EQ(pin_lines(2), (std::vector<std::string>{kPowerOff, kPowerOn}));
        auto modem = modem_lines();
        auto off = times_of(modem, "power off"), on = times_of(modem, "power on");
        EXPECT_EQ(off.size(), 1u);
        EXPECT_EQ(on.size(), 1u);
        if (off.size() != 1 || on.size() != 1) return -1;
        EXPECT_GE(on[0] - off[0], off_seconds - slack(0.5)); // later under load, never shorter
        return on[0];
    }
};

// --- discovery and initialisation, one run per model ---

struct ModelCase {
    const char *model;
    const char *cmd_dev;
    const char *data_dev;
    const char *ifname;
    const char *type;
};

void PrintTo(const ModelCase &c, std::ostream *os) {
    *os << c.model;
}

class EachModel : public Lted, public ::testing::WithParamInterface<ModelCase> {};

TEST_P(EachModel, IsFoundPublishedAndInitialised) {
    const ModelCase &c = GetParam();
    boot(4);
    ts::write_file(path("/tmp/IMEI"), "stale");
    start_sim(c.model, {"--imei", "869999000011112"});
    start_lted();
    ASSERT_TRUE(wait_log("lted: setRadioState(10)\n", 30000)) << log();

    EXPECT_EQ(run_file("mdm_cmd_dev"), c.cmd_dev);
    EXPECT_EQ(run_file("mdm_data_dev"), c.data_dev);
    EXPECT_EQ(run_file("mdm_ifname"), c.ifname);
    EXPECT_EQ(run_file("mdm_type"), c.type);
    EXPECT_EQ(ts::read_file(path("/tmp/IMEI")), "869999000011112");

    std::string tty = std::string(c.cmd_dev).substr(5);
    std::vector<std::string> sent = commands(tty);
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.front(), "ATQ0");
    auto first = std::find(sent.begin(), sent.end(), "ATE0");
    ASSERT_NE(first, sent.end());
    EXPECT_TRUE(std::all_of(sent.begin(), first, [](const std::string &s) { return s == "ATQ0"; }));
    std::vector<std::string> expected = {"ATE0",          "ATV1",        "ATS0=0",    "AT+CMEE=1",
                                         "AT+CREG=2",     "AT+CGREG=1",  "AT+CCWA=1", "AT+CMOD=0",
                                         "AT+CMUT=0",     "AT+CSSN=0,1", "AT+COLP=0", "AT+CUSD=1",
                                         "AT+CGEREP=1,0", "AT+CMGF=0",   "ATI",       "AT^IMEI?"};
    // an ASR modem starts in the mode that the daemon switches off
    if (std::string(c.type) == "asr") expected.insert(expected.end(), {"AT+PMODS?", "AT+PMODS=0"});
    expected.push_back("AT+CFUN?");
    // the SIM and network polls follow
    ASSERT_GE(static_cast<size_t>(sent.end() - first), expected.size());
    EXPECT_EQ(std::vector<std::string>(first, first + static_cast<long>(expected.size())),
              expected);

    // nothing else touched the modem's other ttys
    if (c.data_dev[0]) {
        EXPECT_TRUE(commands(std::string(c.data_dev).substr(5)).empty());
    }

    EXPECT_EQ(ts::count_of(calls(), "init_system start\n"), 1u);
    EXPECT_FALSE(ts::contains(calls(), "init_system restart"));
    EXPECT_FALSE(ts::contains(calls(), "telnetd")); // telnetdEnabled is 0
    EXPECT_TRUE(pin_lines(2).empty());              // "start": no power cycle
    ASSERT_FALSE(pin_lines(40).empty());
    EXPECT_EQ(pin_lines(40).front(), "40 2 1 4000 0 4000"); // SIM not ready yet
}

INSTANTIATE_TEST_SUITE_P(
    Models, EachModel,
    ::testing::Values(ModelCase{"asr", "/dev/ttyUSB1", "/dev/ttyUSB2", "eth0", "asr"},
                      ModelCase{"902d", "/dev/ttyUSB3", "", "usb0", "mdm9x07"},
                      ModelCase{"9025", "/dev/ttyUSB3", "/dev/ttyUSB2", "usb0", "mdm9x07"},
                      ModelCase{"9091", "/dev/ttyUSB1", "", "usb0", "mdm9x07"}),
    [](const ::testing::TestParamInfo<ModelCase> &i) { return std::string("m") + i.param.model; });

TEST_F(Lted, RegistrationFallbackAndNoRadioWithoutFullFunctionality) {
    boot(4);
    start_sim("9025", {"--cfun", "0"});
    ctl("set creg2 error");
    start_lted();
    ASSERT_TRUE(wait_modem_log("ttyUSB3 > AT+CFUN?", 30000)) << log();
    ASSERT_TRUE(wait_modem_log("ttyUSB3 < OK", 5000));
    EXPECT_TRUE(wait_log("lted: AT< OK", 5000));
    std::vector<std::string> sent = commands("ttyUSB3");
    auto creg2 = std::find(sent.begin(), sent.end(), "AT+CREG=2");
    ASSERT_NE(creg2, sent.end());
    ASSERT_NE(creg2 + 1, sent.end());
    EXPECT_EQ(*(creg2 + 1), "AT+CREG=1");
    EXPECT_TRUE(wait_log("lted: setRadioState(0)\n", 20000));
    usleep(300000);
    EXPECT_FALSE(ts::contains(log(), "setRadioState(10)"));
}

TEST_F(Lted, CommandTtyThatAppearsLate) {
    boot(4);
    start_sim("9091", {"--tty-late-ms", "8000"});
    start_lted();
    // the modem is known before its command tty is there: nothing is opened
    ASSERT_TRUE(ts::wait_until([&] { return run_file("mdm_type") == "mdm9x07"; }, 10000));
    EXPECT_EQ(run_file("mdm_cmd_dev"), "");
    EXPECT_EQ(run_file("mdm_ifname"), "usb0");
    ASSERT_TRUE(wait_modem_log("tty added ttyUSB1", 20000));
    ASSERT_TRUE(wait_log("lted: setRadioState(10)\n", 30000)) << log();
    EXPECT_EQ(run_file("mdm_cmd_dev"), "/dev/ttyUSB1");
    EXPECT_GE(ts::count_of(log(),
                           "lted: ril_reinit_callback: cmd_dev:  data_dev:  mdm_ifname: usb0 "
                           "mdm_type: 0x4\n"),
              1u);
    EXPECT_EQ(ts::count_of(calls(), "init_system start\n"), 1u);
}

// --- without a modem: the 15-second fallback, then a modem after all ---

TEST_F(Lted, ServicesStartOnceAlsoWithoutAModem) {
    boot(10);
    nvram_set("telnetdEnabled", "1");
    ts::write_file(path("/var/run/mdm_type"), "asr"); // left from an earlier run
    start_lted();
    ASSERT_TRUE(wait_calls("init_system start", 20000)) << log();
    EXPECT_GE(boot_now(), 15.0);
    auto start_t = times_of(log_lines(), "lted: running");
    EXPECT_FALSE(ts::file_exists(path("/var/run/mdm_type")));
    EXPECT_EQ(run_file("mdm_cmd_dev"), "");
    EXPECT_EQ(run_file("mdm_data_dev"), "");
    EXPECT_EQ(run_file("mdm_ifname"), "");
    EXPECT_TRUE(wait_calls("telnetd\n", 5000));
    // the search went on every 2 s meanwhile
    std::vector<double> scans;
    for (const auto &l : log_lines())
        if (l.text == "lted: ril_reinit_callback:") scans.push_back(l.t);
    ASSERT_GE(scans.size(), 7u);
    EXPECT_GE(scans[5] - scans[4], 2.0 - slack(0.3));
    ASSERT_EQ(start_t.size(), 1u);

    // a modem that shows up later gets the services restarted, not started again
    start_sim("902d");
    ASSERT_TRUE(wait_calls("init_system restart", 20000)) << log();
    ASSERT_TRUE(wait_log("lted: setRadioState(10)\n", 20000));
    EXPECT_EQ(ts::count_of(calls(), "init_system start\n"), 1u);
    EXPECT_EQ(ts::count_of(calls(), "telnetd\n"), 1u);
    EXPECT_EQ(run_file("mdm_type"), "mdm9x07");
}

// --- start-up and signals ---

TEST_F(Lted, WaitsForTheConfigDaemonThenTunesTcpAndPowerCyclesTheModem) {
    boot(10);
    start_sim("asr");
    start_lted({}, false);
    ASSERT_TRUE(wait_log("lted: waiting nvram_daemon...\n", 10000)) << log();
    usleep(300000);
    EXPECT_FALSE(ts::file_exists(path("/proc/sys/net/ipv4/tcp_fin_timeout")));
    EXPECT_TRUE(pin_lines(2).empty());
    ts::write_file(path("/var/run/nvramd.pid"), "1\n");
    ASSERT_TRUE(wait_log("lted: waiting nvram_daemon OK.\n", 10000));
    ASSERT_TRUE(wait_log("lted: running\n", 10000));
    EXPECT_EQ(ts::read_file(path("/proc/sys/net/ipv4/tcp_fin_timeout")), "30");
    EXPECT_EQ(ts::read_file(path("/proc/sys/net/ipv4/tcp_keepalive_intvl")), "60");
    EXPECT_EQ(ts::read_file(path("/proc/sys/net/ipv4/tcp_keepalive_probes")), "5");
    EXPECT_EQ(ts::read_file(path("/proc/sys/net/ipv4/tcp_retries2")), "5");

    // no "start" argument: the modem is off for 3 s first
    ASSERT_TRUE(wait_log("lted: setRadioState(10)\n", 30000)) << log();
    one_power_cycle(3.0);
}

TEST_F(Lted, OnlyTheSingleArgumentStartSkipsThePowerCycle) {
    boot(20);
    ts::write_file(path("/var/run/nvramd.pid"), "1\n");
    std::vector<std::vector<std::string>> runs = {{"start", "now"}, {"Start"}, {"start"}};
    for (size_t i = 0; i < runs.size(); ++i) {
        ts::Process p;
        std::vector<std::string> argv = {ts::bin_path("lted")};
        argv.insert(argv.end(), runs[i].begin(), runs[i].end());
        ts::spawn(p, argv, root->env());
        ASSERT_TRUE(wait_log("lted: running\n", 10000, i + 1)) << log();
        p.signal(SIGTERM);
        ASSERT_TRUE(p.wait(10000));
    }
    EXPECT_EQ(pin_lines(2), (std::vector<std::string>{kPowerOff, kPowerOn, kPowerOff, kPowerOn}));
}

TEST_F(Lted, SignalsReloadAndStop) {
    boot(1);
    start_lted();
    ASSERT_TRUE(wait_log("lted: running\n", 10000)) << log();
    daemon.signal(SIGUSR1);
    EXPECT_TRUE(wait_log("lted: app_signal_callback: receive signum=" +
                             std::to_string(ts::program_signal_number(SIGUSR1)) + "\n",
                         5000));
    daemon.signal(SIGUSR2);
    EXPECT_TRUE(wait_log("lted: app_signal_callback: receive signum=" +
                             std::to_string(ts::program_signal_number(SIGUSR2)) + "\n",
                         5000));
    daemon.signal(SIGPIPE);
    usleep(200000);
    EXPECT_TRUE(daemon.running());
    daemon.signal(SIGTERM);
    ASSERT_TRUE(daemon.wait(10000));
    EXPECT_EQ(daemon.exit_code(), 0);
    std::string l = log();
    EXPECT_TRUE(ts::contains(l, "lted: exiting\n"));
    EXPECT_TRUE(ts::contains(l, "lted: exited\n"));

    // SIGINT likewise, with a modem attached
    ts::Process second;
    start_sim("9091");
    ts::spawn(second, {ts::bin_path("lted"), "start"}, root->env());
    ASSERT_TRUE(wait_log("lted: running\n", 10000, 2));
    ASSERT_TRUE(wait_log("lted: setRadioState(10)\n", 20000));
    second.signal(SIGINT);
    ASSERT_TRUE(second.wait(10000));
    EXPECT_EQ(second.exit_code(), 0);
    EXPECT_EQ(ts::count_of(log(), "lted: exited\n"), 2u);
}

// --- recovery ---

class Recovery : public Lted {
  public:
    // The modem stops answering: the command times out after 30 s of boot
    // clock, the modem is off for 3 s, and the search runs every 4 s until
    // it is back.
    void silent_modem(unsigned factor) {
        boot(factor);
        // long enough a boot that the 4-s search is seen to miss a few times
        start_sim("9025", {"--enum-ms", "9000"});
        ts::write_file(path("/tmp/IMSI"), "460001234567890");
        ts::write_file(path("/tmp/ICCID"), "8986001234567890123");
        ctl("silent on");
        start_lted();
        ASSERT_TRUE(wait_log("lted: AT channel timeout; closing\n", 120000)) << log();
        ASSERT_TRUE(wait_modem_log("power off", 10000));
        ctl("silent off");
        ASSERT_TRUE(wait_calls("init_system restart", 60000)) << log();
        ASSERT_TRUE(wait_log("lted: setRadioState(10)\n", 60000)) << log();

        auto lines = log_lines();
        // ATE0 is the first command given the full 30 s (the handshake's own are short)
        auto sent = times_of(lines, "lted: AT> ATE0");
        auto timeout = times_of(lines, "lted: AT channel timeout; closing");
        ASSERT_GE(sent.size(), 1u);
        ASSERT_EQ(timeout.size(), 1u);
        EXPECT_GE(timeout[0] - sent[0], 30.0 - slack(1.0));

        double on = one_power_cycle(3.0);
        ASSERT_GE(on, 0);

        // searching every 4 s from the power-on until the modem is back
        std::vector<double> scans;
        for (const auto &l : lines)
            if (l.text == "lted: ril_reinit_callback:" && l.t > timeout[0]) scans.push_back(l.t);
        ASSERT_GE(scans.size(), 3u);
        EXPECT_GE(scans[0] - on, 4.0 - slack(0.5));
        for (size_t i = 1; i < scans.size(); ++i)
            EXPECT_GE(scans[i] - scans[i - 1], 4.0 - slack(0.5));

        // the stale identity went with the channel (the card's own is back by now)
        EXPECT_NE(ts::read_file(path("/tmp/IMSI")), "460001234567890");
        EXPECT_NE(ts::read_file(path("/tmp/ICCID")), "8986001234567890123");
        EXPECT_TRUE(ts::contains(log(), "lted: setRadioState(1)\n"));
        EXPECT_EQ(ts::count_of(calls(), "init_system start\n"), 1u);
        EXPECT_EQ(ts::count_of(calls(), "init_system restart\n"), 1u);
    }

    // The AT tty goes away under the daemon: off for 1 s, then found again.
    void lost_tty(unsigned factor, const std::string &how) {
        boot(factor);
        start_sim("asr");
        start_lted();
        ASSERT_TRUE(wait_log("lted: setRadioState(10)\n", 30000)) << log();
        ctl(how);
        ASSERT_TRUE(wait_log("lted: AT channel closed\n", 10000)) << log();
        if (how == "unplug") {
            ASSERT_TRUE(wait_modem_log("power on", 10000));
            ctl("plug");
        }
        ASSERT_TRUE(wait_calls("init_system restart", 30000)) << log();
        ASSERT_TRUE(wait_log("lted: setRadioState(10)\n", 30000, 2)) << log();

        std::string l = log();
        EXPECT_TRUE(ts::contains(l, "lted: atchannel: read error ") ||
                    ts::contains(l, "lted: atchannel: EOF reached\n"));
        one_power_cycle(1.0);
        EXPECT_EQ(ts::count_of(calls(), "init_system restart\n"), 1u);
        EXPECT_EQ(run_file("mdm_cmd_dev"), "/dev/ttyUSB1");
    }
};

TEST_F(Recovery, SilentModemFastClock) {
    silent_modem(10);
}
TEST_F(Recovery, SilentModemRealClock) {
    silent_modem(1);
}
TEST_F(Recovery, UnpluggedModemFastClock) {
    lost_tty(10, "unplug");
}
TEST_F(Recovery, TtyGoneRealClock) {
    lost_tty(1, "ttygone");
}

} // namespace
