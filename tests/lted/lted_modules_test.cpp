// The daemon's modules in-process under a private router root: the AT
// channel's clock and log, the USB scan, and the network LED.
#include "at_channel.h"
#include "log.h"
#include "modem_discovery.h"
#include "modem_status.h"
#include "platform.h"
#include "ril_context.h"
#include "sys_utils.h"
#include "watchdog.h"

#include <gtest/gtest.h>
#include <test_support.h>

#include <arpa/inet.h>
#include <atomic>
#include <cstdlib>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

class UnderRoot : public ::testing::Test {
  protected:
    explicit UnderRoot(unsigned factor = 1) : root(factor) {}
    void SetUp() override {
        setenv("ROUTER_ROOT", root.dir().c_str(), 1);
        log_set_program(LogProgram::Lted);
    }
    void TearDown() override {
        log_set_program(LogProgram::None);
        unsetenv("ROUTER_ROOT");
    }
    std::string log() const { return ts::read_file(root.path("/tmp/lted.log")); }
    ts::TempRoot root;
};

double boot_seconds() {
    timespec t;
    boot_clock_now(&t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

std::atomic<int> timeouts{0};

// --- AT channel on a clock running 100 times faster ---

class AtChannelClock : public UnderRoot {
  protected:
    explicit AtChannelClock(unsigned factor = 100) : UnderRoot(factor) {}
    void SetUp() override {
        UnderRoot::SetUp();
        timeouts = 0;
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        peer = sv[1];
        at_set_on_timeout([] { ++timeouts; });
        ASSERT_EQ(at_open(sv[0], [](const char *, const char *) {}), 0);
    }
    void TearDown() override {
        at_close();
        at_set_on_timeout(nullptr);
        if (peer >= 0) close(peer);
        UnderRoot::TearDown();
    }
    // Everything the channel wrote within ms.
    std::string drain(int ms) {
        std::string s;
        char buf[256];
        pollfd p{peer, POLLIN, 0};
        while (poll(&p, 1, ms) > 0) {
            ssize_t n = read(peer, buf, sizeof buf);
            if (n <= 0) break;
            s.append(buf, static_cast<size_t>(n));
        }
        return s;
    }
    int peer = -1;
};

TEST_F(AtChannelClock, TheDeadlineIsThirtySecondsOfBootClock) {
    double boot0 = boot_seconds();
    long long real0 = ts::now_ms();
    AtReply *reply = nullptr;
    EXPECT_EQ(at_send_command("AT+CSQ", &reply), AT_FAIL_TIMEOUT);
    double boot_elapsed = boot_seconds() - boot0;
    EXPECT_EQ(reply, nullptr);
    EXPECT_GE(boot_elapsed, 29.9);
    EXPECT_LT(boot_elapsed, 60.0);
    // a wall-clock deadline would have waited the full 30 real seconds
    EXPECT_LT(ts::now_ms() - real0, 15000);
    EXPECT_EQ(timeouts, 1);

    // the handshake gives up after 8 unanswered tries of 250 ms
    boot0 = boot_seconds();
    EXPECT_EQ(at_handshake(), AT_FAIL_TIMEOUT);
    EXPECT_GE(boot_seconds() - boot0, 1.9);
    EXPECT_EQ(timeouts, 1);
    std::string sent = drain(100);
    EXPECT_EQ(ts::count_of(sent, "ATQ0\r"), 8u);
    EXPECT_EQ(ts::count_of(sent, "AT+CSQ\r"), 1u);
}

// at the real clock's speed: the modem side needs its time here
class AtChannelLog : public AtChannelClock {
  protected:
    AtChannelLog() : AtChannelClock(1) {}
};

TEST_F(AtChannelLog, LogsTrafficOverlongLinesAndTheEnd) {
    std::thread modem_side([this] {
        std::string cmd;
        char c = 0;
        pollfd p{peer, POLLIN, 0};
        while (c != '\r' && poll(&p, 1, 5000) > 0 && read(peer, &c, 1) == 1)
            cmd += c;
        EXPECT_EQ(cmd, "AT+CSQ\r");
        std::string junk(12000, 'x');
        std::string answer = junk + "\r\n+CSQ: 17,99\r\nOK\r\n";
        EXPECT_EQ(write(peer, answer.data(), answer.size()), static_cast<ssize_t>(answer.size()));
    });
    AtReply *reply = nullptr;
    int rc = at_send_command_singleline("AT+CSQ", "+CSQ:", &reply);
    modem_side.join();
    ASSERT_EQ(rc, 0);
    ASSERT_NE(reply, nullptr);
    EXPECT_STREQ(reply->lines->text, "+CSQ: 17,99");
    at_response_free(reply);

    close(peer);
    peer = -1;
    EXPECT_TRUE(ts::wait_until([&] { return ts::contains(log(), "EOF reached"); }, 5000));
    std::string l = log();
    EXPECT_TRUE(ts::contains(l, "lted: AT> AT+CSQ\n"));
    EXPECT_TRUE(ts::contains(l, "lted: AT< +CSQ: 17,99\n"));
    EXPECT_TRUE(ts::contains(l, "lted: AT< OK\n"));
    EXPECT_EQ(ts::count_of(l, "lted: ERROR: Input line exceeded buffer\n"), 1u);
    EXPECT_FALSE(ts::contains(l, "lted: AT< x")); // no tail of the long line
    EXPECT_TRUE(ts::contains(l, "lted: atchannel: EOF reached\n"));
}

// --- USB scan ---

struct Interface {
    std::string dir;    // "1-1:1.3"
    std::string number; // "03"
    std::string tty;    // "" when none
};

class UsbScan : public UnderRoot {
  protected:
    void device(const std::string &name, const std::string &vendor, const std::string &product,
                const std::vector<Interface> &interfaces) {
        std::string d = root.path("/sys/bus/usb/devices/") + name;
        ts::make_dirs(d);
        ts::write_file(d + "/idVendor", vendor + "\n");
        ts::write_file(d + "/idProduct", product + "\n");
        ts::make_dirs(d + "/power");
        for (const auto &i : interfaces) {
            ts::make_dirs(d + "/" + i.dir);
            ts::write_file(d + "/" + i.dir + "/bInterfaceNumber", i.number + "\n");
            if (!i.tty.empty()) ts::make_dirs(d + "/" + i.dir + "/" + i.tty);
        }
    }
    std::string run(const std::string &file) {
        return ts::read_file(root.path("/var/run/" + file));
    }
    bool type_file() { return ts::file_exists(root.path("/var/run/mdm_type")); }
    ModemContext ctx{};
};

TEST_F(UsbScan, OddNamesAreSkippedNotCut) {
    // ids longer than four digits must not match by their first four
    device("2-1", "05c6", "90911", {{"2-1:1.1", "01", "ttyUSB5"}});
    // a name too long for the path buffer
    device(std::string(240, 'd'), "1286", "4e3c", {{"x:1.3", "03", "ttyUSB7"}});
    // a tty name longer than 15 characters
    device("3-1", "05c6", "902d", {{"3-1:1.4", "04", "ttyUSB0123456789"}});
    EXPECT_EQ(modem_scan_usb(&ctx), -1);
    EXPECT_FALSE(type_file());

    device(
        "1-1", "1286", "4e3c",
        {{"1-1:1.3", "03", "ttyUSB2"}, {"1-1:1.4", "04", "ttyUSB3"}, {"1-1:1.5", "05", "ttyUSB4"}});
    ASSERT_EQ(modem_scan_usb(&ctx), 0);
    EXPECT_EQ(ctx.modem_type, MODEM_ASR);
    EXPECT_EQ(run("mdm_cmd_dev"), "/dev/ttyUSB2");
    EXPECT_EQ(run("mdm_data_dev"), "/dev/ttyUSB3");
    EXPECT_EQ(run("mdm_ifname"), "eth0");
    EXPECT_EQ(run("mdm_type"), "asr");
}

// --- network LED ---

class NetworkLed : public UnderRoot {
  protected:
    std::vector<std::string> led_lines() {
        std::vector<std::string> out;
        for (const auto &l : ts::read_lines(root.path("/dev/gpio")))
            if (l.rfind("40 ", 0) == 0) out.push_back(l);
        return out;
    }
    std::string last() {
        auto l = led_lines();
        return l.empty() ? "" : l.back();
    }
    ModemContext ctx{};
};

TEST_F(NetworkLed, ShowsHowFarTheModemHasCome) {
    sim_state = radio_tech = voice_reg = data_reg = 0; // as at start, also when repeated
    reset_status(&ctx); // the first setter call always drives the LED
    ASSERT_EQ(led_lines().size(), 1u);
    EXPECT_EQ(last(), "40 2 1 4000 0 4000");
    reset_status(&ctx); // nothing changed: the LED is left alone
    EXPECT_EQ(led_lines().size(), 1u);

    set_sim_state(&ctx, SIM_READY);
    EXPECT_EQ(last(), "40 10 10 4000 0 4000");
    set_registration(&ctx, 5, -1);
    EXPECT_EQ(last(), "40 10 5 4000 0 4000");
    set_registration(&ctx, -1, 1); // only the data status changes
    EXPECT_EQ(voice_reg, 5);
    EXPECT_EQ(data_reg, 1);
    EXPECT_EQ(last(), "40 10 1 4000 0 4000");
    set_registration(&ctx, 2, 2); // searching again
    EXPECT_EQ(last(), "40 10 10 4000 0 4000");

    ctx.connected = 1; // seen at the next setter call
    set_radio_tech(&ctx, 9);
    EXPECT_EQ(last(), "40 4000 0 1 0 4000");
    set_registration(&ctx, 0, 0);
    EXPECT_EQ(last(), "40 4000 0 1 0 4000");
    ctx.connected = 0;
    set_sim_state(&ctx, SIM_PIN);
    EXPECT_EQ(last(), "40 2 1 4000 0 4000");
    EXPECT_EQ(led_lines().size(), 8u);
}

} // namespace

namespace {

// The watchdog's target is looked up again once its address is over 20
// minutes old; a send that fails (here: no socket) still counts its sequence.
TEST_F(UnderRoot, PingTargetIsResolvedAgainAfterTwentyMinutes) {
    ModemContext ctx{};
    ctx.loop = event_create(&ctx);
    ASSERT_NE(ctx.loop, nullptr);
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    ctx.ping_sock = p[0]; // not a socket: nothing leaves this machine
    ctx.ping_timeout = 5;
    snprintf(ctx.ping_server, sizeof ctx.ping_server, "198.51.100.7");
    BootTime now;
    ASSERT_EQ(time_bootup(&now), 0);
    const uint32_t old_addr = inet_addr("198.51.100.9");

    ctx.ping_addr = old_addr;
    ctx.ping_addr_time = now.sec - 1199;
    EXPECT_EQ(ping_send(&ctx), -1);
    EXPECT_EQ(ctx.ping_addr, old_addr);
    EXPECT_EQ(ctx.ping_seq, 1);

    ctx.ping_addr_time = now.sec - 1201;
    EXPECT_EQ(ping_send(&ctx), -1);
    EXPECT_EQ(ctx.ping_addr, inet_addr("198.51.100.7"));
    EXPECT_NEAR(ctx.ping_addr_time, now.sec, 1);
    EXPECT_EQ(ctx.ping_seq, 2);
    EXPECT_TRUE(ts::contains(log(), "lted: ping_send: send icmp echo, seq=0x2 failed\n"));

    event_free(ctx.loop);
    close(p[0]);
    close(p[1]);
}

} // namespace
