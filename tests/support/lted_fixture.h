// A simulated router for tests of the real daemon: a private root, the modem
// simulator, lted, and the files and logs they leave.
#pragma once

#include "data_path.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <regex>
#include <string>
#include <unistd.h>
#include <vector>

namespace ts {

struct TimedLine {
    double t; // boot-clock seconds
    std::string text;
};

inline std::vector<TimedLine> timed_lines(const std::string &file, const std::regex &re) {
    std::vector<TimedLine> out;
    std::smatch m;
    for (const auto &l : ts::read_lines(file))
        if (std::regex_match(l, m, re))
            out.push_back({std::stod(m[1].str() + "." + m[2].str()), m[3].str()});
    return out;
}

// ctest runs the daemon's scenarios a second time against a modem with the
// habits of real ones (see tests/lted/CMakeLists.txt).
inline bool realistic_modem() {
    const char *v = getenv("LTED_TEST_REALISTIC_MODEM");
    return v && strcmp(v, "1") == 0;
}

class LtedFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        // the real-clock scenarios take minutes; once is enough
        if (realistic_modem() &&
            ts::contains(::testing::UnitTest::GetInstance()->current_test_info()->name(),
                         "RealClock"))
            GTEST_SKIP();
    }
    void boot(unsigned factor) { root = std::make_unique<ts::TempRoot>(factor); }

    void TearDown() override {
        if (daemon.running()) {
            daemon.signal(SIGTERM);
            daemon.wait(10000);
        }
        if (sim.running()) {
            sim.signal(SIGTERM);
            sim.wait(10000);
        }
        net.reset();
    }

    // The modem's network interface becomes one end of a veth pair, lted runs
    // in the router's namespace, and the data call hands out lease_addr.
    void with_data_path(const std::string &ifname, const std::string &lease_addr) {
        net = std::make_unique<DataPath>(*root, ifname);
        ASSERT_TRUE(net->ok()) << "could not make the data path";
        data_addr = lease_addr;
    }

    // model "": the one of the log that extra gives with --replay
    void start_sim(const std::string &model, std::vector<std::string> extra = {}) {
        std::vector<std::string> argv = {ts::bin_path("modemsim"), "--root", root->dir()};
        if (!model.empty()) argv.insert(argv.end(), {"--model", model});
        if (realistic_modem())
            argv.insert(argv.end(), {"--realistic", "--interleave", "+CIEV: 2,3"});
        argv.insert(argv.end(), extra.begin(), extra.end());
        if (net) {
            auto more = net->modemsim_args(data_addr);
            argv.insert(argv.end(), more.begin(), more.end());
        }
        ts::spawn(sim, argv, root->env());
        ASSERT_TRUE(
            ts::wait_until([&] { return ts::file_exists(path("/sim/modemsim.pid")); }, 10000))
            << sim.err();
    }

    void start_lted(std::vector<std::string> args = {"start"}, bool marker = true) {
        if (marker) ts::write_file(path("/var/run/nvramd.pid"), "1\n");
        std::vector<std::string> argv = {ts::bin_path("lted")};
        argv.insert(argv.end(), args.begin(), args.end());
        ts::spawn(daemon, net ? net->in_router(argv) : argv, root->env());
    }

    void nvram_set(const std::string &key, const std::string &value) {
        ts::Process p;
        ts::spawn(p, {ts::bin_path("nvram"), "set", "2860", key, value}, root->env());
        ASSERT_TRUE(p.wait(10000));
        ASSERT_EQ(p.exit_code(), 0) << p.err();
    }

    // Writes one command to the simulator's control FIFO.
    void ctl(const std::string &command) {
        int fd = open(path("/sim/modem.ctl").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        std::string line = command + "\n";
        EXPECT_EQ(write(fd, line.data(), line.size()), static_cast<ssize_t>(line.size()));
        close(fd);
    }

    std::string path(const std::string &p) const { return root->path(p); }
    // Tolerance in boot-clock seconds: a real delay counts factor times.
    double slack(double base) const { return base + 0.1 * root->factor(); }
    // The router's boot clock as its programs see it.
    double boot_now() const {
        long long boot_ns = 0;
        unsigned factor = 1;
        sscanf(ts::read_file(path("/sim/clock")).c_str(), "%lld %u", &boot_ns, &factor);
        return static_cast<double>(ts::now_ms() * 1000000LL - boot_ns) * factor / 1e9;
    }
    std::string log() const { return ts::read_file(path("/tmp/lted.log")); }
    std::string calls() const { return ts::read_file(path("/sim/calls.log")); }
    std::string run_file(const std::string &name) const {
        return ts::read_file(path("/var/run/" + name));
    }
    bool wait_log(const std::string &needle, int ms, size_t count = 1) {
        return ts::wait_until([&] { return ts::count_of(log(), needle) >= count; }, ms);
    }
    bool wait_modem_log(const std::string &needle, int ms) {
        return ts::wait_until(
            [&] { return ts::contains(ts::read_file(path("/sim/modem.log")), needle); }, ms);
    }
    bool wait_calls(const std::string &needle, int ms) {
        return ts::wait_until([&] { return ts::contains(calls(), needle); }, ms);
    }

    // lted.log lines "2026-01-01 10:00:00     12.345: lted: ..."
    std::vector<TimedLine> log_lines() const {
        static const std::regex re(R"(^\S+ \S+ +(\d+)\.(\d{3}): (.*)$)");
        return timed_lines(path("/tmp/lted.log"), re);
    }
    // modem.log lines "12.345 event"
    std::vector<TimedLine> modem_lines() const {
        static const std::regex re(R"(^(\d+)\.(\d{3}) (.*)$)");
        return timed_lines(path("/sim/modem.log"), re);
    }
    std::vector<double> times_of(const std::vector<TimedLine> &lines, const std::string &needle) {
        std::vector<double> t;
        for (const auto &l : lines)
            if (ts::contains(l.text, needle)) t.push_back(l.t);
        return t;
    }
    // Commands the modem received on one tty, in order.
    std::vector<std::string> commands(const std::string &tty) const {
        std::vector<std::string> out;
        std::string mark = tty + " > ";
        for (const auto &l : modem_lines())
            if (l.text.rfind(mark, 0) == 0) out.push_back(l.text.substr(mark.size()));
        return out;
    }
    std::vector<std::string> pin_lines(int pin) const {
        std::vector<std::string> out;
        std::string mark = std::to_string(pin) + " ";
        for (const auto &l : ts::read_lines(path("/dev/gpio")))
            if (l.rfind(mark, 0) == 0) out.push_back(l);
        return out;
    }

    std::unique_ptr<ts::TempRoot> root;
    ts::Process sim, daemon;
    std::unique_ptr<DataPath> net;
    std::string data_addr;
};

} // namespace ts
