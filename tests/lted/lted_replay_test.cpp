// A run of the simulated router recorded in the daemon's log, then played
// back by the modem simulator (--replay) to a new daemon in a new root: the
// replay's daemon tells the same story.
#include <gtest/gtest.h>
#include <lted_fixture.h>
#include <test_support.h>

#include <csignal>
#include <regex>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// The handshake probes until one is answered within its short wait: how many
// it takes depends on the machine's load, not on the modem's story.
const std::string kHandshake = "lted: AT> ATQ0";

// What the daemon did, in order: its commands and the turns its story took.
// The card check (every 60 s) and the network poll are timers of their own,
// and which runs first when both are due is the machine's choice: card
// checks are counted aside. So are the reboot timers' lines.
struct Story {
    std::vector<std::string> steps;
    std::vector<std::string> reboots;
    size_t card_checks = 0;
    size_t commands = 0;
};

Story story_of(const std::string &log) {
    static const char *kTurns[] = {
        "lted: pollNetState: connected", "lted: pollNetState: disconnected",
        "lted: AT channel timeout; closing", "lted: AT channel closed", "lted: setRadioState(10)"};
    Story s;
    size_t start = 0;
    while (start < log.size()) {
        size_t end = log.find('\n', start);
        if (end == std::string::npos) end = log.size();
        std::string line = log.substr(start, end - start);
        start = end + 1;
        size_t at = line.find(": lted: ");
        if (at == std::string::npos) continue;
        std::string m = line.substr(at + 2);
        if (m.rfind("lted: AT> ", 0) == 0) {
            s.commands++;
            if (m == "lted: AT> AT+CPIN?")
                s.card_checks++;
            else if (m != kHandshake || s.steps.empty() || s.steps.back() != kHandshake)
                s.steps.push_back(m);
        } else if (ts::contains(m, "try reboot")) {
            s.reboots.push_back(m);
        } else {
            for (const char *t : kTurns)
                if (m == t) s.steps.push_back(m);
        }
    }
    return s;
}

class Replay : public ts::LtedFixture {
  protected:
    // The first run ends; its log is what the next one plays.
    void keep_recording() {
        daemon.signal(SIGTERM);
        ASSERT_TRUE(daemon.wait(10000));
        sim.signal(SIGTERM);
        ASSERT_TRUE(sim.wait(10000));
        recorded = log();
        net.reset();
    }

    // In the root of a new boot: a modem that plays the recorded log.
    void start_replay() {
        ts::make_dirs(path("/sim/field"));
        ts::write_file(path("/sim/field/lted.log"), recorded);
        start_sim("", {"--replay", path("/sim/field/lted.log")});
    }

    // Waits until the replay's daemon has told the recorded story, stops it
    // there (past the end of the log the modem departs from it), and
    // compares.
    void expect_same_story(int ms) {
        Story want = story_of(recorded);
        ASSERT_FALSE(want.steps.empty());
        bool told = ts::wait_until(
            [&] {
                Story got = story_of(log());
                return got.steps.size() >= want.steps.size() &&
                       got.card_checks >= want.card_checks &&
                       got.reboots.size() >= want.reboots.size();
            },
            ms);
        daemon.signal(SIGTERM);
        ASSERT_TRUE(daemon.wait(10000));
        Story got = story_of(log());
        ASSERT_TRUE(told) << "recorded:\n" << recorded << "\nreplayed:\n" << log();
        for (size_t i = 0; i < want.steps.size(); ++i)
            ASSERT_EQ(got.steps[i], want.steps[i])
                << "step " << i << " of the story\nrecorded:\n"
                << recorded << "\nreplayed:\n"
                << log() << ts::read_file(path("/sim/modem.log"));
        EXPECT_EQ(got.reboots, want.reboots);

        // no divergence while the recorded commands lasted
        static const std::regex command(R"(^ttyUSB\d+ > )");
        size_t seen = 0;
        for (const auto &l : modem_lines()) {
            if (std::regex_search(l.text, command)) {
                ++seen;
            } else if (ts::contains(l.text, "divergence") &&
                       !ts::contains(l.text, "divergence: ATQ0:")) {
                EXPECT_GT(seen, want.commands) << l.text;
            }
        }
    }

    std::string recorded;
};

const std::string kLease = "198.51.100.10";

// Registration lost and regained: the replay's lines without a command come
// at their recorded uptime, and with a data path its lease follows the
// connection as the daemon saw it.
TEST_F(Replay, ConnectionLostAndRegained) {
    bool with_net = ts::data_path_unavailable().empty();
    auto boot_router = [&] {
        boot(10);
        if (with_net) with_data_path("usb0", kLease);
    };
    boot_router();
    start_sim("9025");
    start_lted();
    ASSERT_TRUE(wait_log("lted: pollNetState: connected\n", 30000)) << log();
    ctl("set reg 0");
    ASSERT_TRUE(wait_log("lted: pollNetState: disconnected\n", 30000)) << log();
    ctl("set reg 1");
    ASSERT_TRUE(wait_log("lted: pollNetState: connected\n", 30000, 2)) << log();
    keep_recording();

    boot_router();
    ASSERT_NO_FATAL_FAILURE(start_replay());
    start_lted();
    if (with_net) {
        std::string ip = path("/var/run/dhcpc/usb0/ip");
        EXPECT_TRUE(ts::wait_until([&] { return ts::read_file(ip) == kLease; }, 60000)) << log();
    }
    expect_same_story(60000);
    EXPECT_EQ(run_file("mdm_type"), "mdm9x07");
    EXPECT_TRUE(ts::contains(ts::read_file(path("/sim/modem.log")), "replay: model 9025 (from"));
}

// The modem falls silent, then leaves the bus for a while: the replay's
// daemon recovers both times, and finds the modem back when the recorded
// one did.
TEST_F(Replay, RecoveryFromSilenceAndFromAModemGone) {
    boot(10);
    start_sim("asr");
    start_lted();
    ASSERT_TRUE(wait_log("lted: pollNetState: connected\n", 40000)) << log();
    ctl("silent on");
    ASSERT_TRUE(wait_log("lted: AT channel timeout; closing\n", 60000)) << log();
    ASSERT_TRUE(wait_modem_log("power off", 10000));
    ctl("silent off");
    ASSERT_TRUE(wait_log("lted: pollNetState: connected\n", 60000, 2)) << log();
    ctl("unplug");
    ASSERT_TRUE(wait_log("lted: AT channel closed\n", 10000)) << log();
    usleep(1500000); // 15 s of boot clock off the bus
    ctl("plug");
    ASSERT_TRUE(wait_log("lted: pollNetState: connected\n", 60000, 3)) << log();
    keep_recording();
    // how long after its loss the daemon found the modem again
    auto found_after_loss = [&](const std::vector<ts::TimedLine> &lines) {
        auto lost = times_of(lines, "lted: AT channel closed");
        auto found = times_of(lines, "lted: ril_reinit_callback: cmd_dev: /dev/");
        for (double f : found)
            if (!lost.empty() && f > lost[0]) return f - lost[0];
        return -1.0;
    };
    double recorded_absence = found_after_loss(log_lines());

    boot(10);
    ASSERT_NO_FATAL_FAILURE(start_replay());
    start_lted();
    expect_same_story(120000);
    EXPECT_EQ(ts::count_of(ts::read_file(path("/sim/modem.log")), "replay: the modem goes away"),
              1u);
    // the daemon searches every 4 s
    EXPECT_NEAR(found_after_loss(log_lines()), recorded_absence, 4.0 + slack(1.0));
    EXPECT_EQ(pin_lines(2).size(), 4u); // two power cycles of its own
}

// A pulled SIM: no connection within five minutes, and the reboot.
TEST_F(Replay, NoConnectionWithoutASimReboots) {
    auto boot_router = [&] {
        // the handshake's 250-ms tries stay above a loaded machine's delays
        boot(20);
        nvram_set("ping_server", ts::DataPath::kCarrierAddr);
        nvram_set("ping_interval", "0"); // no data path here: no echo request is ever sent
    };
    boot_router();
    start_sim("902d", {"--sim", "absent"});
    start_lted();
    ASSERT_TRUE(wait_calls("reboot\n", 60000)) << log();
    keep_recording();

    boot_router();
    ASSERT_NO_FATAL_FAILURE(start_replay());
    start_lted();
    EXPECT_TRUE(wait_calls("reboot\n", 60000)) << log();
    expect_same_story(60000);
    EXPECT_FALSE(ts::file_exists(path("/tmp/connected")));
}

} // namespace
