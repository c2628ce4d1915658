// The daemon's modules in-process under a private router root: the AT
// channel's clock and log, the USB scan, and the network LED.
#include "at_channel.h"
#include "log.h"
#include "modem_discovery.h"
#include "modem_status.h"
#include "nvram_env.h"
#include "platform.h"
#include "ril_context.h"
#include "ril_init.h"
#include "sys_utils.h"
#include "watchdog.h"

#include <gtest/gtest.h>
#include <test_support.h>
#include <under_root.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <future>
#include <cstdlib>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// The daemon's modules log as the daemon does.
class UnderRoot : public ts::UnderRoot {
  protected:
    explicit UnderRoot(unsigned factor = 1) : ts::UnderRoot(factor, LogProgram::Lted) {}
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
        mine = sv[0];
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
    int mine = -1; // the channel's end
    int peer = -1;
};

TEST_F(AtChannelClock, TheDeadlineIsThirtySecondsOfBootClock) {
    double boot0 = boot_seconds();
    AtReply *reply = nullptr;
    EXPECT_EQ(at_send_command("AT+CSQ", &reply), AT_FAIL_TIMEOUT);
    double boot_elapsed = boot_seconds() - boot0;
    EXPECT_EQ(reply, nullptr);
    EXPECT_GE(boot_elapsed, 29.9);
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

// A modem that holds CTS low takes nothing: the command must still end.
TEST_F(AtChannelClock, AModemThatTakesNoInputTimesTheCommandOut) {
    char junk[4096] = {};
    while (send(mine, junk, sizeof junk, MSG_DONTWAIT) > 0) {
    }
    auto sent = std::async(std::launch::async, [] { return at_send_command("AT+CSQ", nullptr); });
    bool ended = sent.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    while (sent.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready)
        drain(10); // a write that blocked for good: free it to end the test
    EXPECT_TRUE(ended);
    EXPECT_EQ(sent.get(), AT_FAIL_TIMEOUT);
    EXPECT_EQ(timeouts, 1);
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
        std::string junk(20000, 'x'); // fills the buffer twice
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
    EXPECT_EQ(ts::count_of(l, "lted: ERROR: Input line exceeded buffer\n"), 2u);
    EXPECT_FALSE(ts::contains(l, "lted: AT< x")); // no tail of the long line
    EXPECT_TRUE(ts::contains(l, "lted: atchannel: EOF reached\n"));
}

// --- USB scan ---

struct Interface {
    std::string dir;    // "1-1:1.3"
    std::string number; // "03"
    std::string tty;    // "" when none
};

// A USB device in the root's sysfs.
void usb_device(const ts::TempRoot &root, const std::string &name, const std::string &vendor,
                const std::string &product, const std::vector<Interface> &interfaces) {
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

class UsbScan : public UnderRoot {
  protected:
    void device(const std::string &name, const std::string &vendor, const std::string &product,
                const std::vector<Interface> &interfaces) {
        usb_device(root, name, vendor, product, interfaces);
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

// --- losing the channel ---

class ChannelLoss : public UnderRoot {
  protected:
    ChannelLoss() : UnderRoot(100) {}
    void SetUp() override {
        UnderRoot::SetUp();
        ctx.loop = event_create(&ctx);
        ril_context = &ctx;
        RIL_startEventLoop(&ctx);
    }
    void TearDown() override {
        at_close();
        at_set_on_reader_closed(nullptr);
        at_set_on_timeout(nullptr);
        ril_context = nullptr;
        RIL_startEventLoop(nullptr);
        event_free(ctx.loop);
        UnderRoot::TearDown();
    }
    std::vector<std::string> power_lines() {
        std::vector<std::string> out;
        for (const auto &l : ts::read_lines(root.path("/dev/gpio")))
            if (l.rfind("2 ", 0) == 0) out.push_back(l);
        return out;
    }
    // Whether the search for the modem is armed (disarming it).
    bool searching() { return event_del_time_callback(ctx.loop, ril_reinit_callback) > 0; }
    ModemContext ctx{};
};

TEST_F(ChannelLoss, ATimeOutAndAnEndOfFileTogetherPowerCycleOnce) {
    std::atomic<bool> go{false};
    std::thread timed_out([&] {
        while (!go) {
        }
        at_timeout_callback();
    });
    std::thread closed([&] {
        while (!go) {
        }
        at_closed_callback();
    });
    go = true;
    timed_out.join();
    closed.join();
    EXPECT_EQ(power_lines(), (std::vector<std::string>{"2 0 4000 0 1 4000", "2 4000 0 1 0 4000"}));
    EXPECT_TRUE(searching());
}

TEST_F(ChannelLoss, ATtyThatEndsAtOnceIsSearchedForAgain) {
    // an empty file where the command tty should be: it reads as ended at once
    usb_device(root, "1-1", "05c6", "9091", {{"1-1:1.1", "01", "ttyUSB1"}});
    ts::write_file(root.path("/dev/ttyUSB1"), "");
    ril_reinit_callback(ctx.loop, nullptr);
    // the recovery runs on the reader thread, racing the opener's clean-up
    ASSERT_TRUE(ts::wait_until([&] { return power_lines().size() == 2; }, 10000)) << log();
    EXPECT_TRUE(ts::wait_until([&] { return searching(); }, 10000));
}

// --- settings ---

TEST_F(UnderRoot, SettingsLoadWithinTheirLimitsAndSignalsReloadTheirOwn) {
    auto set = [](const char *key, const std::string &value) {
        ASSERT_EQ(nvram_bufset(NVRAM_CONFIG_SECTION, key, value.c_str()), 0);
    };
    // the longest text each field holds, numbers with trailing text
    set("wanConnectionMode", "3G");
    set("wan_3g_apnmode", "1");
    set("wan_3g_apn", std::string(127, 'a'));
    set("wan_3g_user", std::string(255, 'u'));
    set("wan_3g_pass", "secret");
    set("wan_3g_authtype", "2x");
    set("ping_server", "198.51.100.1");
    set("ping_count", "");
    // the watchdog's numbers out of range: the factory values (0 stays 0)
    set("ping_timeout", "2147483647");
    set("ping_interval", "4294967297"); // an int would wrap it to 1
    set("auto_reboot_mode", "1");
    set("auto_reboot_time", "24");
    set("siminitpin", "12345678");
    nvram_close(NVRAM_CONFIG_SECTION);
    ModemContext ctx{};
    ril_settings_load(&ctx, RIL_SETTINGS_ALL);
    EXPECT_EQ(ctx.wan_mode_3g, 1);
    EXPECT_EQ(ctx.wan_3g_apnmode, 1);
    EXPECT_EQ(std::string(ctx.wan_3g_apn), std::string(127, 'a'));
    EXPECT_EQ(std::string(ctx.wan_3g_user), std::string(255, 'u'));
    EXPECT_STREQ(ctx.wan_3g_pass, "secret");
    EXPECT_EQ(ctx.wan_3g_authtype, 2);
    EXPECT_STREQ(ctx.ping_server, "198.51.100.1");
    EXPECT_EQ(ctx.ping_count, 0);
    EXPECT_EQ(ctx.ping_timeout, 10);
    EXPECT_EQ(ctx.ping_interval, 60);
    EXPECT_STREQ(ctx.siminitpin, "12345678");

    // one character more is ignored, an empty PIN too: the fields keep theirs
    set("wan_3g_apn", std::string(128, 'b'));
    set("wan_3g_user", std::string(256, 'v'));
    set("siminitpin", "");
    // the comparison is exact
    set("wanConnectionMode", "3g");
    set("auto_reboot_mode", "0");
    nvram_close(NVRAM_CONFIG_SECTION);
    ril_settings_load(&ctx, RIL_SETTINGS_WAN_MODE); // SIGUSR1
    EXPECT_EQ(ctx.wan_mode_3g, 0);
    EXPECT_EQ(ctx.auto_reboot_mode, 1);
    ril_settings_load(&ctx, RIL_SETTINGS_AUTO_REBOOT); // SIGUSR2
    EXPECT_EQ(ctx.auto_reboot_mode, 0);
    EXPECT_EQ(ctx.auto_reboot_time, 24);
    EXPECT_EQ(std::string(ctx.wan_3g_apn), std::string(127, 'a'));
    ril_settings_load(&ctx, RIL_SETTINGS_ALL);
    EXPECT_EQ(std::string(ctx.wan_3g_apn), std::string(127, 'a'));
    EXPECT_EQ(std::string(ctx.wan_3g_user), std::string(255, 'u'));
    EXPECT_STREQ(ctx.siminitpin, "12345678");
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
    // whatever other tests showed last: a state that differs from the reset one
    set_radio_tech(&ctx, 99);
    unlink(root.path("/dev/gpio").c_str());
    reset_status(&ctx);
    ASSERT_EQ(led_lines().size(), 1u);
    EXPECT_EQ(last(), "40 2 1 4000 0 4000");
    reset_status(&ctx); // nothing changed: the LED is left alone
    EXPECT_EQ(led_lines().size(), 1u);

    set_sim_state(&ctx, SIM_READY);
    EXPECT_EQ(last(), "40 10 10 4000 0 4000");
    set_registration(&ctx, 5, -1);
    EXPECT_EQ(last(), "40 10 5 4000 0 4000");
    set_registration(&ctx, -1, 1); // only the data status changes
    EXPECT_EQ(ctx.status.voice_reg, 5);
    EXPECT_EQ(ctx.status.data_reg, 1);
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
    BootTime after;
    ASSERT_EQ(time_bootup(&after), 0);
    EXPECT_EQ(ctx.ping_addr, inet_addr("198.51.100.7"));
    EXPECT_GE(ctx.ping_addr_time, now.sec); // the time of this resolution
    // a resolution in the first second is stored as 1: 0 means never
    EXPECT_LE(ctx.ping_addr_time, after.sec > 0 ? after.sec : 1);
    EXPECT_EQ(ctx.ping_seq, 2);
    EXPECT_TRUE(ts::contains(log(), "lted: ping_send: send icmp echo, seq=0x2 failed\n"));

    event_free(ctx.loop);
    close(p[0]);
    close(p[1]);
}

} // namespace
