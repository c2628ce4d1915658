// The daemon's data connection, watchdog and scheduled reboot against the
// modem simulator; with root, over a real DHCP lease and real ICMP in network
// namespaces.
#include <gtest/gtest.h>
#include <lted_fixture.h>
#include <test_support.h>

#include <arpa/inet.h>
#include <atomic>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Net = ts::LtedFixture;
using ts::TimedLine;

struct DialCase {
    const char *model;
    const char *ifname;
    const char *tty;
    const char *spelling;
    const char *addr;
    std::vector<std::string> dial; // the dialect's commands, in order
};

void PrintTo(const DialCase &c, std::ostream *os) {
    *os << c.model;
}

class DialFlow : public Net, public ::testing::WithParamInterface<DialCase> {};

// Registration to "/tmp/connected" with a real lease, kept over several polls;
// then the link breaks and the watchdog reboots the router.
TEST_P(DialFlow, ConnectsWithALeaseAndRebootsWhenTheLinkBreaks) {
    SKIP_WITHOUT_DATA_PATH();
    const DialCase &c = GetParam();
    boot(10);
    with_data_path(c.ifname, c.addr);
    nvram_set("wan_3g_apnmode", "1");
    nvram_set("wan_3g_apn", "internet.sim");
    nvram_set("wan_3g_user", "alice");
    nvram_set("wan_3g_pass", "s3cret");
    nvram_set("wan_3g_authtype", "2");
    nvram_set("ping_server", ts::DataPath::kCarrierAddr);
    nvram_set("ping_interval", "20");
    nvram_set("ping_timeout", "20"); // 2 s real: room for a loaded machine
    nvram_set("ping_count", "3");
    start_sim(c.model);
    ctl(std::string("set spelling ") + c.spelling);
    ctl("set iccid 8986001234567890123F");
    start_lted();

    std::string ip_file = path(std::string("/var/run/dhcpc/") + c.ifname + "/ip");
    ASSERT_TRUE(ts::wait_until([&] { return ts::read_file(ip_file) == c.addr; }, 60000))
        << log() << ts::read_file(path("/sim/modem.log"));
    ASSERT_TRUE(ts::wait_until([&] { return ts::file_exists(path("/tmp/connected")); }, 10000));
    EXPECT_EQ(ts::read_file(path("/tmp/connected")), "1");
    EXPECT_EQ(ts::read_file(path(std::string("/var/run/dhcpc/") + c.ifname + "/gw")),
              "198.51.100.1");
    EXPECT_EQ(ts::read_file(path(std::string("/var/run/dhcpc/") + c.ifname + "/netmask")),
              "255.255.255.0");
    EXPECT_EQ(ts::read_file(path(std::string("/var/run/dhcpc/") + c.ifname + "/dns")),
              "198.51.100.1");
    EXPECT_EQ(ts::read_file(path(std::string("/var/run/dhcpc/") + c.ifname + "/dns2")),
              "198.51.100.2");
    EXPECT_EQ(net->router_sh(std::string("ip -4 addr show ") + c.ifname + " | grep -q 'inet " +
                             c.addr + "/24'"),
              0);
    // the firmware's command line, its paths under the root
    EXPECT_TRUE(ts::contains(calls(), std::string("udhcpc -f -i") + c.ifname + " -s" +
                                          path("/sbin/udhcpc.sh") + " -p" +
                                          path("/var/run/udhcp-") + c.ifname + ".pid\n"))
        << calls();
    EXPECT_EQ(ts::read_file(path("/tmp/ICCID")), "8986001234567890123F");
    EXPECT_EQ(ts::read_file(path("/tmp/IMSI")), "001010123456789");
    EXPECT_EQ(ts::read_file(path("/tmp/CNUM")), "+15550100123");

    std::vector<std::string> sent = commands(c.tty);
    size_t at = 0;
    for (const auto &cmd : c.dial) {
        auto it = std::find(sent.begin() + static_cast<long>(at), sent.end(), cmd);
        ASSERT_NE(it, sent.end()) << "missing or out of order: " << cmd;
        at = static_cast<size_t>(it - sent.begin());
    }

    // kept: the echo requests are answered and the client is started once
    ASSERT_TRUE(wait_log("lted: ping_ok: seq=", 20000, 2)) << log();
    EXPECT_TRUE(wait_calls("ntp.sh\n", 5000));
    EXPECT_EQ(ts::count_of(calls(), "udhcpc -f"), 1u);
    EXPECT_EQ(ts::count_of(log(), "lted: pollNetState: connected\n"), 1u);
    EXPECT_FALSE(ts::contains(calls(), "reboot"));

    if (std::string(c.model) == "asr") {
        // a new address: the client stops, the marker goes, the modem is dialled again
        ctl("set addr 198.51.100.11");
        ASSERT_TRUE(wait_log("lted: pollNetState: disconnected\n", 20000)) << log();
        ASSERT_TRUE(
            ts::wait_until([&] { return ts::read_file(ip_file) == "198.51.100.11"; }, 60000))
            << log();
        EXPECT_TRUE(ts::file_exists(path("/tmp/connected")));
        EXPECT_EQ(ts::count_of(calls(), "udhcpc -f"), 2u);
        std::vector<std::string> later = commands(c.tty);
        EXPECT_GE(std::count(later.begin(), later.end(), "AT+CGACT=1,1"), 2);
        EXPECT_FALSE(ts::contains(calls(), "reboot"));
    }

    // the carrier side goes away: three lost replies, then "reboot" 5 s later
    ASSERT_EQ(net->carrier_sh("ip link set modem0 down"), 0);
    ASSERT_TRUE(wait_calls("reboot\n", 20000)) << log();
    auto lines = log_lines();
    auto reboot = times_of(lines, "lted: ping_timeout_callback: try reboot");
    ASSERT_EQ(reboot.size(), 1u);
    EXPECT_FALSE(ts::contains(calls(), "udhcpc refused"));
}

INSTANTIATE_TEST_SUITE_P(
    Models, DialFlow,
    ::testing::Values(
        DialCase{"asr",
                 "eth0",
                 "ttyUSB1",
                 "commaspace,quotedcpin,extra",
                 "198.51.100.10",
                 {"AT*CGDFLT=1,\"IP\",\"internet.sim\",,,,,,,,,,,,,,,,,,1", "AT*CGDFAUTH=1,0",
                  "AT+CGDCONT=1,\"IP\",\"internet.sim\"", "AT+CGACT=1,1", "AT*NETACT=1,1,1"}},
        DialCase{"902d",
                 "usb0",
                 "ttyUSB3",
                 "zeropad,nocolonspace,bareloc,cnumbare",
                 "198.51.100.20",
                 {"AT+CGPADDR"}},
        DialCase{"9025",
                 "usb0",
                 "ttyUSB3",
                 "plain",
                 "198.51.100.30",
                 {"AT+CGDCONT=3,\"IP\",\"internet.sim\"", "AT+CGDCONT=1,\"IP\",\"internet.sim\"",
                  "AT$QCPDPP=3,2,s3cret,alice",
                  "AT^NETCFG=0,32774,,,4,,,\"\",2,\"alice\",\"s3cret\"", "AT$QCRMCALL?",
                  "AT$QCRMCALL=1,1,1,2,1"}},
        DialCase{"9091",
                 "usb0",
                 "ttyUSB1",
                 "empty,qctight,cnumlines,zeropad",
                 "198.51.100.40",
                 {"AT$QCPDPP=3,2,s3cret,alice", "AT$QCRMCALL=1,1,1,2,1"}}),
    [](const ::testing::TestParamInfo<DialCase> &i) { return std::string("m") + i.param.model; });

// --- the SIM card and what the web interface stores ---

TEST_F(Net, SimPinStatesAndSettingsThatWouldInjectCommands) {
    boot(10);
    nvram_set("siminitpin", "1234");
    nvram_set("wan_3g_apnmode", "1");
    nvram_set("wan_3g_apn", "x\"\rAT+CFUN=0\r\x1b");
    nvram_set("wan_3g_user", "al;ice");
    nvram_set("wan_3g_pass", "pw");
    start_sim("9025", {"--sim", "pin", "--pin", "1234"});
    start_lted();
    // the last programming step of the card's set-up
    ASSERT_TRUE(wait_modem_log("> AT^NETCFG", 30000)) << log();
    EXPECT_TRUE(ts::file_exists(path("/tmp/ICCID")));
    EXPECT_EQ(ts::count_of(log(), "lted: ************ try to verify SIM PIN ************\n"), 1u);
    std::vector<std::string> sent = commands("ttyUSB3");
    EXPECT_EQ(std::count(sent.begin(), sent.end(), "AT+CPIN=\"1234\""), 1);
    // the quoted APN and the unquoted user name are left out, once logged each
    for (const auto &cmd : sent) {
        EXPECT_FALSE(ts::contains(cmd, "CFUN=0")) << cmd;
        EXPECT_FALSE(ts::contains(cmd, "CGDCONT=3")) << cmd;
        EXPECT_FALSE(ts::contains(cmd, "$QCPDPP")) << cmd;
    }
    EXPECT_TRUE(std::count(sent.begin(), sent.end(),
                           "AT^NETCFG=0,32774,,,4,,,\"\",0,\"al;ice\",\"pw\"") == 1);
    EXPECT_EQ(ts::count_of(log(), "lted: at_setting_usable: wan_3g_apn holds"), 1u);
    EXPECT_EQ(ts::count_of(log(), "lted: at_setting_usable: wan_3g_user holds"), 1u);

    // locked to another network: not ready, asked again every 10 s, no identity
    ctl("set sim phnet");
    ASSERT_TRUE(wait_modem_log("< +CPIN: PH-NET PIN", 80000)) << log();
    size_t asked = ts::count_of(log(), "lted: AT> AT+CPIN?");
    ASSERT_TRUE(wait_log("lted: AT> AT+CPIN?", 5000, asked + 2));
    // ready again: set up again
    ctl("set sim ready");
    ASSERT_TRUE(wait_log("lted: AT> AT+ICCID", 5000, 2)) << log();

    // pulled: "+CME ERROR: 10" ends the SIM poll
    ctl("set sim absent");
    ASSERT_TRUE(wait_modem_log("< +CME ERROR: 10", 80000)) << log();
    usleep(200000);
    asked = ts::count_of(log(), "lted: AT> AT+CPIN?");
    usleep(2500000); // 25 s of boot clock: more than two 10-s polls
    EXPECT_EQ(ts::count_of(log(), "lted: AT> AT+CPIN?"), asked);
}

// --- dialling decisions without a data path ---

TEST_F(Net, DialFormFollowsTheRadioTechAndSearchingNeverDials) {
    boot(10);
    start_sim("9025");
    ctl("set sysmode 4");
    start_lted();
    ASSERT_TRUE(wait_modem_log("> AT$QCRMCALL=1,1,1,1,1", 30000)) << log();
    ASSERT_TRUE(ts::wait_until([&] { return ts::file_exists(path("/tmp/connected")); }, 10000));
    sim.signal(SIGTERM);
    ASSERT_TRUE(sim.wait(10000));
    daemon.signal(SIGTERM);
    ASSERT_TRUE(daemon.wait(10000));

    // an LTE modem with the packet service searching (2) is never dialled
    boot(10);
    start_sim("9091");
    ctl("set cgreg 2");
    start_lted();
    ASSERT_TRUE(wait_modem_log("> AT$QCRMCALL?", 30000)) << log();
    ASSERT_TRUE(wait_log("lted: AT> AT+CGREG?", 20000, 4));
    EXPECT_FALSE(ts::contains(ts::read_file(path("/sim/modem.log")), "> AT$QCRMCALL=1"));
    EXPECT_FALSE(ts::file_exists(path("/tmp/connected")));
    // registered for packet data at last (LTE, mode 9): the other dial form
    ctl("set cgreg 1");
    ASSERT_TRUE(wait_modem_log("> AT$QCRMCALL=1,1,1,2,1", 20000)) << log();
}

// A time-out inside a poll drops the flag while the SIM state is reset; the
// modem, power-cycled, brings the same address back by itself.
TEST_F(Net, AsrFlagComesBackWithTheSameAddressAfterATimeOutInAPoll) {
    boot(10);
    start_sim("asr");
    ctl("set autoconnect 1");
    start_lted();
    ASSERT_TRUE(wait_log("lted: pollNetState: connected\n", 30000)) << log();
    ctl("latency AT+CSQ 40000"); // only the network poll asks for the signal
    ASSERT_TRUE(wait_log("lted: AT channel timeout; closing\n", 20000)) << log();
    ctl("latency AT+CSQ 0");
    ASSERT_TRUE(wait_log("lted: pollNetState: disconnected\n", 10000)) << log();
    ASSERT_TRUE(wait_log("lted: pollNetState: connected\n", 30000, 2)) << log();
    // raised by the first poll after the radio came back
    auto lines = log_lines();
    size_t at = 0;
    for (int on = 0; at < lines.size() && on < 2; ++at)
        if (ts::contains(lines[at].text, "lted: setRadioState(10)")) ++on;
    int queries = 0;
    for (; at < lines.size() && !ts::contains(lines[at].text, "pollNetState: connected"); ++at)
        if (ts::contains(lines[at].text, "lted: AT> AT+CGPADDR")) ++queries;
    EXPECT_EQ(queries, 1) << log();
}

TEST_F(Net, NoConnectionWithinFiveMinutesReboots) {
    boot(50);
    nvram_set("ping_server", ts::DataPath::kCarrierAddr);
    nvram_set("ping_interval", "0"); // no data path here: the watchdog must never send
    start_sim("asr");
    ctl("set dial error");
    start_lted();
    ASSERT_TRUE(wait_calls("reboot\n", 30000)) << log();
    auto lines = log_lines();
    auto tries = times_of(lines, "lted: ril_data_disconnect_callback: try reboot");
    auto running = times_of(lines, "lted: running");
    ASSERT_EQ(tries.size(), 1u);
    ASSERT_EQ(running.size(), 1u);
    EXPECT_GE(tries[0] - running[0], 300.0 - slack(2.0));
    EXPECT_FALSE(ts::file_exists(path("/tmp/connected")));
}

// --- the watchdog against real ICMP ---

// A raw ICMP socket made inside a network namespace.
int raw_socket_in(const std::string &ns) {
    int self = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    int target = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    int s = -1;
    if (self >= 0 && target >= 0 && setns(target, CLONE_NEWNET) == 0) {
        s = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
        setns(self, CLONE_NEWNET);
    }
    if (self >= 0) close(self);
    if (target >= 0) close(target);
    return s;
}

// Answers every echo request late: delay_ms after it came.
class LateResponder {
  public:
    LateResponder(int sock, int delay_ms) : sock_(sock), delay_ms_(delay_ms) {
        thread_ = std::thread([this] { run(); });
    }
    ~LateResponder() {
        stop_ = true;
        thread_.join();
        close(sock_);
    }
    int replies() const { return replies_; }

  private:
    struct Pending {
        long long due;
        sockaddr_in from;
        std::vector<uint8_t> icmp;
    };
    void run() {
        std::vector<Pending> pending;
        while (!stop_) {
            pollfd p{sock_, POLLIN, 0};
            if (poll(&p, 1, 5) > 0) {
                uint8_t buf[1600];
                sockaddr_in from{};
                socklen_t len = sizeof from;
                ssize_t n =
                    recvfrom(sock_, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &len);
                size_t hl = n > 0 ? (buf[0] & 0x0F) * 4u : 0;
                if (n > 0 && static_cast<size_t>(n) >= hl + 8 && buf[hl] == 8)
                    pending.push_back(
                        {ts::now_ms() + delay_ms_, from, std::vector<uint8_t>(buf + hl, buf + n)});
            }
            for (auto it = pending.begin(); it != pending.end();) {
                if (it->due > ts::now_ms()) {
                    ++it;
                    continue;
                }
                auto &m = it->icmp;
                m[0] = 0; // echo reply, same identifier, sequence and data
                m[2] = m[3] = 0;
                uint16_t sum = inet_sum(m);
                memcpy(&m[2], &sum, 2);
                if (sendto(sock_, m.data(), m.size(), 0, reinterpret_cast<sockaddr *>(&it->from),
                           sizeof it->from) > 0)
                    ++replies_;
                it = pending.erase(it);
            }
        }
    }
    static uint16_t inet_sum(const std::vector<uint8_t> &d) {
        uint32_t sum = 0;
        for (size_t i = 0; i + 1 < d.size(); i += 2) {
            uint16_t w;
            memcpy(&w, &d[i], 2);
            sum += w;
        }
        if (d.size() % 2) sum += d.back();
        sum = (sum >> 16) + (sum & 0xFFFF);
        sum += sum >> 16;
        return static_cast<uint16_t>(~sum);
    }
    int sock_;
    int delay_ms_;
    std::atomic<bool> stop_{false};
    std::atomic<int> replies_{0};
    std::thread thread_;
};

TEST_F(Net, PingWatchdogCountsOnlyRepliesToTheLastRequest) {
    SKIP_WITHOUT_DATA_PATH();
    const unsigned factor = 4;
    boot(factor);
    with_data_path("usb0", "198.51.100.50");
    nvram_set("ping_server", ts::DataPath::kCarrierAddr);
    nvram_set("ping_interval", "2");
    nvram_set("ping_timeout", "4");
    nvram_set("ping_count", "3");
    start_sim("9025");
    start_lted();
    ASSERT_TRUE(wait_log("lted: ping_ok: seq=", 60000, 2)) << log();

    // the carrier's kernel falls silent; the test answers each request 6 s
    // (boot clock) after it came: after its 4-s time-out, before the next one's
    ASSERT_EQ(net->carrier_sh("echo 1 >/proc/sys/net/ipv4/icmp_echo_ignore_all"), 0);
    int sock = raw_socket_in(net->carrier_ns());
    ASSERT_GE(sock, 0);
    LateResponder late(sock, 6000 / static_cast<int>(factor));
    ASSERT_TRUE(wait_calls("reboot\n", 30000)) << log();
    EXPECT_GE(late.replies(), 2);

    // the requests after the last answered one: three, numbered on, none answered in time
    auto lines = log_lines();
    size_t end = 0, last_ok = 0;
    while (end < lines.size() && !ts::contains(lines[end].text, "try reboot"))
        ++end;
    for (size_t i = 0; i < end; ++i)
        if (ts::contains(lines[i].text, "lted: ping_ok:")) last_ok = i;
    std::vector<TimedLine> sends;
    for (size_t i = last_ok; i < end; ++i)
        if (ts::contains(lines[i].text, "lted: ping_send: send icmp echo, seq="))
            sends.push_back(lines[i]);
    ASSERT_EQ(sends.size(), 3u) << log();
    unsigned first = 0;
    ASSERT_EQ(sscanf(sends[0].text.c_str(), "lted: ping_send: send icmp echo, seq=0x%x", &first),
              1);
    for (size_t i = 0; i < sends.size(); ++i) {
        char want[64];
        snprintf(want, sizeof want, "lted: ping_send: send icmp echo, seq=0x%x",
                 first + static_cast<unsigned>(i));
        EXPECT_EQ(sends[i].text, want);
    }
    // each retry follows its predecessor's time-out at once
    EXPECT_GE(sends[2].t - sends[1].t, 4.0 - slack(0.5));
    auto tries = times_of(lines, "lted: ping_timeout_callback: try reboot");
    ASSERT_EQ(tries.size(), 1u);
    EXPECT_GE(tries[0] - sends[2].t, 4.0 - slack(0.5));
}

// --- the scheduled reboot ---

// On a date past the end of 32-bit time (03:14:07 UTC on 19 January 2038): the
// router's local time 10 s before the reboot minute 03:15.
TEST_F(Net, DailyRebootWaitsForTwoMinutesOfUptimeAndFollowsSigusr2) {
    boot(20);
    tm start{};
    start.tm_year = 2038 - 1900;
    start.tm_mon = 0;
    start.tm_mday = 19;
    start.tm_hour = 3;
    start.tm_min = 14;
    start.tm_sec = 50;
    start.tm_isdst = -1;
    root->set_wall_clock(mktime(&start));
    nvram_set("auto_reboot_mode", "2");
    nvram_set("auto_reboot_time", std::to_string(3 * 60 + 15));
    start_lted();
    ASSERT_TRUE(wait_calls("reboot\n", 60000)) << log();
    auto lines = log_lines();
    size_t first = 0;
    while (first < lines.size() &&
           !ts::contains(lines[first].text, "lted: ril_auto_reboot_callback: auto reboot everyday"))
        ++first;
    ASSERT_LT(first, lines.size());
    ASSERT_GT(first, 0u);
    // checked at start and every minute: not before 120 s of uptime, and in
    // the minute set, not the one before
    EXPECT_GE(lines[first].t, 120.0);
    EXPECT_TRUE(
        ts::contains(lines[first - 1].text, "lted: ril_auto_reboot_callback: 2038-01-19 03:15:"))
        << log();

    // re-planned: off
    nvram_set("auto_reboot_mode", "0");
    daemon.signal(SIGUSR2);
    ASSERT_TRUE(wait_log("lted: ril_auto_reboot_init init: reboot mode is 0\n", 10000));
    size_t reboots = ts::count_of(calls(), "reboot\n");
    usleep(static_cast<useconds_t>(130 * 1000000 / root->factor()));
    EXPECT_EQ(ts::count_of(calls(), "reboot\n"), reboots);

    // and on again: checked at once
    nvram_set("auto_reboot_mode", "2");
    daemon.signal(SIGUSR2);
    ASSERT_TRUE(wait_log("lted: ril_auto_reboot_init init: reboot mode is 2\n", 10000));
    EXPECT_TRUE(ts::wait_until([&] { return ts::count_of(calls(), "reboot\n") > reboots; }, 2000));
}

} // namespace
