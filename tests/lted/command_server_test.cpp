// The command server: in-process against a scripted modem for the exact
// answers and failure paths, then the real daemon against the simulator.
#include "at_channel.h"
#include "command_server.h"
#include "event_loop.h"
#include "local_socket.h"
#include "log.h"
#include "modem_status.h"
#include "ril_context.h"

#include <gtest/gtest.h>
#include <test_support.h>
#include <under_root.h>

#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

std::string frame(const Lines &items) {
    std::string payload;
    for (const auto &i : items) {
        auto n = static_cast<uint32_t>(i.size() + 1);
        payload += std::string(reinterpret_cast<const char *>(&n), 4) + i + std::string(1, '\0');
    }
    return payload;
}

// The answer's lines after "SUCCESS:", or nullopt when the server closed.
std::optional<Lines> read_answer(int fd, int ms) {
    char buf[4096];
    int n = socket_read_size(fd, buf, sizeof buf - 1, ms);
    if (n <= 0) return std::nullopt;
    std::string text(buf, static_cast<size_t>(n));
    Lines lines;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    EXPECT_FALSE(lines.empty());
    if (lines.empty() || lines[0] != "SUCCESS:") return std::nullopt;
    lines.erase(lines.begin());
    return lines;
}

// --- in-process: the test plays the modem ---

class ScriptedModem : public ts::UnderRoot {
  protected:
    ScriptedModem() : UnderRoot(1, LogProgram::Lted) {}
    void SetUp() override {
        UnderRoot::SetUp();
        ts::write_file(root.path("/etc_ro/operators.txt"), "00101:Simulated Network\n");
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        modem_fd = sv[1];
        ASSERT_EQ(at_open(sv[0], [](const char *, const char *) {}), 0);
        modem = std::thread([this] { play(); });
        ctx.loop = event_create(&ctx);
        ctx.modem_type = MODEM_MDM_9025;
        snprintf(ctx.ifname, sizeof ctx.ifname, "usb0");
        ctx.status.sim_state = SIM_READY;
        ctx.at_ready = 1;
    }
    void TearDown() override {
        ctx.at_ready = 0;
        at_close();
        shutdown(modem_fd, SHUT_RDWR);
        modem.join();
        close(modem_fd);
        event_free(ctx.loop);
        UnderRoot::TearDown();
    }

    // Answers each command line with its script ("ERROR" when there is none).
    void play() {
        std::string line;
        char c;
        while (read(modem_fd, &c, 1) == 1) {
            if (c != '\r') {
                line += c;
                continue;
            }
            std::string reply = "ERROR";
            {
                std::lock_guard<std::mutex> g(lock);
                sent.push_back(line);
                auto it = script.find(line);
                if (it != script.end()) reply = it->second;
            }
            std::string wire;
            for (size_t at = 0; at <= reply.size();) {
                size_t end = reply.find('\n', at);
                if (end == std::string::npos) end = reply.size();
                wire += "\r\n" + reply.substr(at, end - at) + "\r\n";
                at = end + 1;
            }
            if (write(modem_fd, wire.data(), wire.size()) < 0) return;
            line.clear();
        }
    }

    // One request on a fresh connection, served by the data callback.
    std::optional<Lines> request_raw(const std::string &payload) {
        int sv[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        EXPECT_EQ(socket_write_size(sv[1], payload.data(), payload.size()), 0);
        ril_cmd_data_callback(ctx.loop, sv[0], EVENT_FILE_READ, nullptr);
        auto answer = read_answer(sv[1], 100);
        if (answer) close(sv[0]); // the server keeps an answered connection open
        close(sv[1]);
        return answer;
    }
    std::optional<Lines> request(const Lines &items) { return request_raw(frame(items)); }
    Lines modem_saw() {
        std::lock_guard<std::mutex> g(lock);
        return sent;
    }

    ModemContext ctx{};
    int modem_fd = -1;
    std::thread modem;
    std::mutex lock;
    std::map<std::string, std::string> script;
    Lines sent;
};

TEST_F(ScriptedModem, ChecksFramesItemsAndArguments) {
    script["ATI"] = script["ati"] = "OK";
    script["AT+CSQ"] = "+CSQ: 20,99\nOK";
    EXPECT_EQ(request({"AT", "ati"}), Lines{"OK"});
    EXPECT_EQ(request({"AT", "AT+NOPE"}), Lines{"ERROR"});
    EXPECT_EQ(request({"ATSINGLELINE", "AT+CSQ", "+CSQ:"}), (Lines{"+CSQ: 20,99", "OK"}));
    EXPECT_EQ(request({"ATTEST", "ATI"}), Lines{});
    Lines twenty = {"AT", "ATI"};
    twenty.resize(20, "x");
    EXPECT_EQ(request(twenty), Lines{"OK"});
    twenty.push_back("x");
    size_t before = modem_saw().size();
    for (const auto &bad :
         std::vector<Lines>{{"AT", "ping"}, {"ATSINGLELINE", "AT+CSQ"}, {"AT"}, {"NOSUCH"}, twenty})
        EXPECT_EQ(request(bad), std::nullopt) << bad[0];
    EXPECT_EQ(request_raw(frame({"AT", "ATI"}).substr(0, 12)), std::nullopt);
    EXPECT_EQ(request_raw(frame({"AT", "ATI"}) + "x"), std::nullopt);
    EXPECT_EQ(modem_saw().size(), before); // nothing refused reached the modem

    // two requests back to back on one connection are both answered
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    std::string one = frame({"AT", "ATI"});
    ASSERT_EQ(socket_write_size(sv[1], one.data(), one.size()), 0);
    ASSERT_EQ(socket_write_size(sv[1], one.data(), one.size()), 0);
    ril_cmd_data_callback(ctx.loop, sv[0], EVENT_FILE_READ, nullptr);
    ril_cmd_data_callback(ctx.loop, sv[0], EVENT_FILE_READ, nullptr);
    EXPECT_EQ(read_answer(sv[1], 100), Lines{"OK"});
    EXPECT_EQ(read_answer(sv[1], 100), Lines{"OK"});
    close(sv[0]);
    close(sv[1]);
}

TEST_F(ScriptedModem, NothingReachesAModemThatIsNotSetUpYet) {
    // its tty may not listen yet: a command would time out and have the modem
    // power-cycled again for every page a browser polls
    script["ATI"] = "OK";
    ctx.at_ready = 0;
    for (const Lines &items :
         {Lines{"AT", "ATI"}, Lines{"ATTEST", "ATI"}, Lines{"GETHOMEINFO"}, Lines{"GETSIMINFO"},
          Lines{"GETSTATINFO"}, Lines{"GETNETCFG"}, Lines{"SETNETCFG", "2"}})
        EXPECT_EQ(request(items), std::nullopt) << items[0];
    EXPECT_EQ(request({"SETSIM"}), Lines{});
    EXPECT_TRUE(modem_saw().empty());
    ctx.at_ready = 1;
    EXPECT_EQ(request({"AT", "ATI"}), Lines{"OK"});
}

TEST_F(ScriptedModem, StatusAnswers) {
    script["AT^SYSINFO"] = "^SYSINFO: 2,3,0,9,1\nOK";
    script["AT+COPS=3,2;+COPS?"] = "+COPS: 0,2,\"00101\",7\nOK";
    // a failed signal query is "not known" (99): no bars
    EXPECT_EQ(request({"GETSTATINFO"}),
              (Lines{"READY", "2", "3", "9", "99", "00101", "Simulated Network", "disconnected",
                     "0", "LTE", "Simulated Network"}));
    script["AT+CSQ"] = "+CSQ: 99,99\nOK";
    EXPECT_EQ((*request({"GETSTATINFO"}))[8], "0");
    script["AT+CSQ"] = "+CSQ: 17,99\nOK";
    EXPECT_EQ((*request({"GETSTATINFO"}))[8], "3");
    unlink(root.path("/etc_ro/operators.txt").c_str());
    EXPECT_EQ(request({"GETSTATINFO"}), std::nullopt);

    // home information of a 9025: addresses from its DHCP client, cleaned signal values
    ts::make_dirs(root.path("/var/run/dhcpc/usb0"));
    for (const char *f : {"ip", "netmask", "gw", "dns", "dns2"})
        ts::write_file(root.path(std::string("/var/run/dhcpc/usb0/") + f), std::string(f) + "\n");
    ts::write_file(root.path("/tmp/IMEI"), "861234567890123");
    script["AT+CGMR"] = "SIM9025.03.011\nOK";
    script["AT$QCRSRP?"] = "$QCRSRP: 101,1850,\"-095\"\nOK";
    ctx.connected = 1;
    ctx.status.voice_reg = 1;
    ctx.status.data_reg = 5;
    ctx.status.radio_tech = 9;
    EXPECT_EQ(request({"GETHOMEINFO"}),
              (Lines{"connected", "ip", "netmask", "gw", "dns", "dns2", "SIM9025.03.011",
                     "861234567890123", "READY", "", "", "1", "5", "LTE", "17", "-95", "", ""}));
    // an asr answers its address and signal from the modem; a failing address query closes
    ctx.modem_type = MODEM_ASR;
    script["AT+CGPADDR"] = "+CGPADDR: 1,\"10.64.12.34\"\n+CGPADDR: 2,\"10.0.0.2\"\nOK";
    script["AT+RSRP?"] = "+RSRP: 101,1850,-95\nOK";
    script["AT+CESQ"] = "+CESQ: 99,99,0,255,20,46\nOK";
    Lines asr = *request({"GETHOMEINFO"});
    EXPECT_EQ(asr[1], "10.64.12.34");
    EXPECT_EQ(asr[2], "");
    EXPECT_EQ((Lines{asr[15], asr[16], asr[17]}), (Lines{"-95", "", "-121"}));
    script.erase("AT+CGPADDR");
    EXPECT_EQ(request({"GETHOMEINFO"}), std::nullopt);
}

TEST_F(ScriptedModem, SimAnswers) {
    script["AT+CPIN?"] = "+CME ERROR: 10";
    EXPECT_EQ(request({"GETSIMINFO"}), (Lines{"0", "0", "0", "0"}));
    script["AT+CPIN?"] = "+CPIN: SIM PIN\nOK";
    script["AT+CLCK=\"SC\",2"] = "+CME ERROR: 11";
    script["AT+CPINEX?"] = "+CPINEX: \"SIM PIN\",\"READY\",10,2\nOK";
    EXPECT_EQ(request({"GETSIMINFO"}), (Lines{"1", "1", "2", "10"}));
    ctx.modem_type = MODEM_NONE;
    EXPECT_EQ(request({"GETSIMINFO"}), (Lines{"2", "0", "0", "0"}));

    script["AT^MODECONFIG?"] = "^MODECONFIG: 4\nOK";
    EXPECT_EQ(request({"GETNETCFG"}), Lines{"4"});
    EXPECT_EQ(request({"SETNETCFG", "2x"}), Lines{});
    EXPECT_EQ(modem_saw().back(), "AT^MODECONFIG=2");

    // a mode that never reached the modem is not answered as set; the write
    // to the gone modem fails with EPIPE, not a signal, as in the daemon
    auto pipe_was = signal(SIGPIPE, SIG_IGN);
    shutdown(modem_fd, SHUT_RDWR);
    modem.join();
    modem = std::thread([] {});
    EXPECT_EQ(request({"SETNETCFG", "4"}), std::nullopt);
    signal(SIGPIPE, pipe_was);
}

// --- the real daemon and the simulator ---

class DaemonWithModem : public ::testing::TestWithParam<const char *> {
  protected:
    void TearDown() override {
        for (ts::Process *p : {&daemon, &sim})
            if (p->running()) {
                p->signal(SIGTERM);
                p->wait(10000);
            }
    }
    ts::TempRoot root{10};
    ts::Process sim, daemon;
};

TEST_P(DaemonWithModem, AnswersEveryCommand) {
    ts::write_file(root.path("/etc_ro/operators.txt"), "00101:Simulated Network\n");
    ts::write_file(root.path("/var/run/nvramd.pid"), "1\n");
    ts::spawn(sim, {ts::bin_path("modemsim"), "--root", root.dir(), "--model", GetParam()},
              root.env());
    ASSERT_TRUE(
        ts::wait_until([&] { return ts::file_exists(root.path("/sim/modemsim.pid")); }, 10000));
    ts::spawn(daemon, {ts::bin_path("lted"), "start"}, root.env());
    ASSERT_TRUE(ts::wait_until(
        [&] {
            return ts::contains(ts::read_file(root.path("/tmp/lted.log")), "setRadioState(10)");
        },
        30000));

    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    std::string path = root.path("/var/run/RIL_CMD");
    ASSERT_EQ(socket_unix_connect(fd, path.c_str(), path.size()), 0);
    auto ask = [&](const Lines &items) {
        std::string payload = frame(items);
        EXPECT_EQ(socket_write_size(fd, payload.data(), payload.size()), 0);
        auto answer = read_answer(fd, 8000);
        EXPECT_TRUE(answer) << items[0];
        return answer.value_or(Lines{});
    };
    bool asr = std::string(GetParam()) == "asr";

    Lines home = ask({"GETHOMEINFO"});
    ASSERT_EQ(home.size(), 18u);
    EXPECT_EQ(home[7], "861234567890123");
    EXPECT_FALSE(home[6].empty());
    EXPECT_EQ(home[14], "20");
    EXPECT_EQ(home[15], "-95");
    Lines stat = ask({"GETSTATINFO"});
    EXPECT_EQ((Lines{stat[1], stat[3], stat[4], stat[5], stat[6], stat[8], stat[9]}),
              (Lines{"2", "9", "20", "00101", "Simulated Network", "4", "LTE"}));
    EXPECT_EQ(ask({"GETSIMINFO"}), (Lines{"1", "3", "3", "10"}));
    EXPECT_EQ(ask({"SETNETCFG", "4"}), Lines{});
    EXPECT_EQ(ask({"GETNETCFG"}), Lines{"4"});
    EXPECT_EQ(ask({"AT", "AT+CFUN?"}), Lines{"OK"});
    EXPECT_EQ(ask({"ATSINGLELINE", "AT+CSQ", "+CSQ:"}), (Lines{"+CSQ: 20,99", "OK"}));
    EXPECT_EQ(ask({"ATMULTILINE", "AT+CGPADDR", "+CGPADDR:"}).back(), "OK");
    EXPECT_EQ(ask({"ATALL", "AT+CGMR"}).size(), 2u);
    EXPECT_EQ(ask({"ATTEST", "AT"}), Lines{});
    EXPECT_EQ(ask({"SETSIM"}), Lines{});
    EXPECT_EQ(ask({"AT", "AT+NOSUCH"}), Lines{"ERROR"});
    close(fd);
    (void)asr;
}

INSTANTIATE_TEST_SUITE_P(Models, DaemonWithModem, ::testing::Values("asr", "9025"));

// Without a modem every send fails at once: the pages get what is known. A
// peer that sends requests and never reads loses its connection instead of
// holding the daemon in its write.
TEST(DaemonWithoutModem, AnswersWhatIsKnownAndDropsAPeerThatNeverReads) {
    ts::TempRoot root{10};
    ts::Process daemon;
    ts::write_file(root.path("/var/run/nvramd.pid"), "1\n");
    ts::spawn(daemon, {ts::bin_path("lted"), "start"}, root.env());
    std::string path = root.path("/var/run/RIL_CMD");
    // the socket's file comes with its bind, before the daemon listens
    ASSERT_TRUE(ts::wait_until(
        [&] {
            int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            bool up = socket_unix_connect(fd, path.c_str(), path.size()) == 0;
            close(fd);
            return up;
        },
        10000));
    auto connect_daemon = [&](int flags) {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | flags, 0);
        EXPECT_EQ(socket_unix_connect(fd, path.c_str(), path.size()), 0);
        return fd;
    };
    auto ask = [&](const Lines &items) {
        int fd = connect_daemon(0);
        std::string payload = frame(items);
        EXPECT_EQ(socket_write_size(fd, payload.data(), payload.size()), 0);
        auto answer = read_answer(fd, 8000);
        close(fd);
        return answer;
    };
    EXPECT_EQ(ask({"GETHOMEINFO"}), (Lines{"disconnected", "", "", "", "", "", "", "", "NOT_READY",
                                           "", "", "0", "0", "", "", "", "", ""}));
    EXPECT_EQ(ask({"GETSIMINFO"}), (Lines{"2", "0", "0", "0"}));

    // the same request again and again until the daemon, its answers not read, stops taking them
    int stall = connect_daemon(SOCK_NONBLOCK);
    std::string request = frame({"GETSIMINFO"});
    auto n = static_cast<uint32_t>(request.size());
    std::string one = std::string(reinterpret_cast<const char *>(&n), 4) + request;
    pollfd p{stall, POLLOUT, 0};
    while (poll(&p, 1, 2000) == 1 && send(stall, one.data(), one.size(), MSG_NOSIGNAL) > 0) {
    }
    EXPECT_EQ(ask({"GETSIMINFO"}), (Lines{"2", "0", "0", "0"}));
    char buf[4096];
    EXPECT_TRUE(ts::wait_until([&] { return recv(stall, buf, sizeof buf, 0) == 0; }, 10000));
    close(stall);
}

} // namespace
