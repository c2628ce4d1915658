// The AT channel driven over a socketpair: the test plays the modem.
#include "at_channel.h"

#include <gtest/gtest.h>
#include <test_support.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

std::mutex unsol_lock;
std::vector<std::pair<std::string, std::string>> unsol; // (line, pdu or "<none>")
std::atomic<int> reader_closed_calls{0};
std::atomic<int> timeout_calls{0};
std::atomic<int> send_from_handler_result{1};

void record_unsolicited(const char *line, const char *pdu) {
    std::lock_guard<std::mutex> g(unsol_lock);
    unsol.emplace_back(line, pdu ? pdu : "<none>");
}

void sending_handler(const char *line, const char *pdu) {
    send_from_handler_result = at_send_command("AT", nullptr);
    record_unsolicited(line, pdu);
}

std::vector<std::pair<std::string, std::string>> unsolicited() {
    std::lock_guard<std::mutex> g(unsol_lock);
    return unsol;
}

bool saw_unsolicited(const std::string &line) {
    for (const auto &u : unsolicited())
        if (u.first == line) return true;
    return false;
}

std::vector<std::string> lines_of(const AtReply *r) {
    std::vector<std::string> v;
    for (AtLine *l = r ? r->lines : nullptr; l; l = l->next)
        v.emplace_back(l->text);
    return v;
}

// A command sent on a worker thread while the test answers as the modem.
struct Exchange {
    std::thread worker;
    int rc = 99;
    AtReply *reply = nullptr;

    template <class F> void start(F f) {
        worker = std::thread([this, f] { rc = f(&reply); });
    }
    void finish() {
        if (worker.joinable()) worker.join();
    }
    ~Exchange() {
        finish();
        at_response_free(reply);
    }
};

class AtChannel : public ::testing::Test {
  protected:
    void SetUp() override {
        {
            std::lock_guard<std::mutex> g(unsol_lock);
            unsol.clear();
        }
        reader_closed_calls = 0;
        timeout_calls = 0;
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        peer = sv[1];
        at_set_on_reader_closed([] { ++reader_closed_calls; });
        at_set_on_timeout([] { ++timeout_calls; });
        ASSERT_EQ(at_open(sv[0], record_unsolicited), 0);
    }
    void TearDown() override {
        at_close();
        at_set_on_reader_closed(nullptr);
        at_set_on_timeout(nullptr);
        if (peer >= 0) close(peer);
    }

    // The next command the channel wrote, without its "\r".
    std::string command() {
        std::string s;
        for (;;) {
            pollfd p{peer, POLLIN, 0};
            if (poll(&p, 1, 5000) <= 0) return "<nothing>";
            char c;
            if (read(peer, &c, 1) != 1) return "<eof>";
            if (c == '\r') return s;
            s += c;
        }
    }
    void modem(const std::string &bytes) {
        ASSERT_EQ(write(peer, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Sends cmd on a worker, checks what reached the modem, answers.
    void answer(Exchange &ex, const std::string &cmd, const std::string &bytes) {
        EXPECT_EQ(command(), cmd);
        modem(bytes);
        ex.finish();
    }

    int peer = -1;
};

TEST_F(AtChannel, SplitsLinesAndCollectsByReplyType) {
    {
        // one read with empty lines around: exactly the two real lines
        Exchange ex;
        ex.start([](AtReply **r) { return at_send_command_allline("AT+CREG?", r); });
        answer(ex, "AT+CREG?", "\r\n+CREG: 2,1\r\n\r\nOK\r\n");
        ASSERT_EQ(ex.rc, 0);
        EXPECT_EQ(ex.reply->success, 1);
        EXPECT_STREQ(ex.reply->final_line, "OK");
        EXPECT_EQ(lines_of(ex.reply), std::vector<std::string>{"+CREG: 2,1"});
    }
    {
        // singleline: the first prefixed line only; a second one is unsolicited
        Exchange ex;
        ex.start([](AtReply **r) { return at_send_command_singleline("AT+CSQ", "+CSQ:", r); });
        answer(ex, "AT+CSQ", "^BOOT: 1\r\n+CSQ: 20,99\r\n+CSQ: 21,99\r\nOK\r\n");
        ASSERT_EQ(ex.rc, 0);
        EXPECT_EQ(lines_of(ex.reply), std::vector<std::string>{"+CSQ: 20,99"});
        EXPECT_TRUE(saw_unsolicited("+CSQ: 21,99"));
        EXPECT_TRUE(saw_unsolicited("^BOOT: 1"));
    }
    {
        // multiline keeps every prefixed line, in order
        Exchange ex;
        ex.start([](AtReply **r) { return at_send_command_multiline("AT+CGACT?", "+CGACT:", r); });
        answer(ex, "AT+CGACT?", "+CGACT: 1,1\r\n+CREG: 1\r\n+CGACT: 2,0\n+CGACT: 3,0\rOK\r\n");
        ASSERT_EQ(ex.rc, 0);
        EXPECT_EQ(lines_of(ex.reply),
                  (std::vector<std::string>{"+CGACT: 1,1", "+CGACT: 2,0", "+CGACT: 3,0"}));
        EXPECT_TRUE(saw_unsolicited("+CREG: 1"));
    }
    {
        // numeric: one line beginning with a digit
        Exchange ex;
        ex.start([](AtReply **r) { return at_send_command_numeric("AT+CIMI", r); });
        answer(ex, "AT+CIMI", "+CREG: 5\r\n460001234567890\r\n460009\r\nOK\r\n");
        ASSERT_EQ(ex.rc, 0);
        EXPECT_EQ(lines_of(ex.reply), std::vector<std::string>{"460001234567890"});
        EXPECT_TRUE(saw_unsolicited("460009"));
    }
    {
        // a plain command collects nothing; its reply still has the final line
        Exchange ex;
        ex.start([](AtReply **r) { return at_send_command("ATI", r); });
        answer(ex, "ATI", "Model X\r\nCONNECT\r\n");
        ASSERT_EQ(ex.rc, 0);
        EXPECT_EQ(ex.reply->success, 1);
        EXPECT_TRUE(lines_of(ex.reply).empty());
        EXPECT_TRUE(saw_unsolicited("Model X"));
    }
    {
        Exchange ex;
        ex.start([](AtReply **r) { return at_send_command_noprefix("AT+CGMR", r); });
        answer(ex, "AT+CGMR", "V1.0\r\nbuild 7\r\nOK\r\n");
        EXPECT_EQ(lines_of(ex.reply), (std::vector<std::string>{"V1.0", "build 7"}));
    }
    // a final line with no command pending is unsolicited
    modem("OK\r\n");
    EXPECT_TRUE(ts::wait_until([] { return saw_unsolicited("OK"); }, 5000));
}

TEST_F(AtChannel, FinalLinesAndErrorCodes) {
    {
        Exchange ex;
        ex.start([](AtReply **r) { return at_send_command_singleline("AT+CSQ", "+CSQ:", r); });
        answer(ex, "AT+CSQ", "OK\r\n");
        EXPECT_EQ(ex.rc, AT_FAIL_NO_LINE);
        EXPECT_EQ(ex.reply, nullptr);
    }
    {
        // the line is promised to a caller that takes the reply, not to one that does not
        Exchange ex;
        ex.start(
            [](AtReply **) { return at_send_command_singleline("AT+CSMS=1", "+CSMS:", nullptr); });
        answer(ex, "AT+CSMS=1", "OK\r\n");
        EXPECT_EQ(ex.rc, 0);
    }
    {
        Exchange ex;
        ex.start([](AtReply **r) { return at_send_command_singleline("AT+CSQ", "+CSQ:", r); });
        answer(ex, "AT+CSQ", "ERROR\r\n");
        ASSERT_EQ(ex.rc, 0);
        EXPECT_EQ(ex.reply->success, 0);
        EXPECT_EQ(at_get_cme_error(ex.reply), -1);
    }
    {
        Exchange ex;
        ex.start([](AtReply **r) { return at_send_command_singleline("AT+CPIN?", "+CPIN:", r); });
        answer(ex, "AT+CPIN?", "+CME ERROR: 10\r\n");
        ASSERT_EQ(ex.rc, 0);
        EXPECT_EQ(ex.reply->success, 0);
        EXPECT_STREQ(ex.reply->final_line, "+CME ERROR: 10");
        EXPECT_EQ(at_get_cme_error(ex.reply), 10);
        EXPECT_STREQ(ex.reply->final_line, "+CME ERROR: 10"); // left intact
    }
    for (const char *final : {"+CMS ERROR: 500", "NO CARRIER", "NO ANSWER", "NO DIALTONE"}) {
        Exchange ex;
        ex.start([](AtReply **r) { return at_send_command("ATD123;", r); });
        answer(ex, "ATD123;", std::string(final) + "\r\n");
        ASSERT_EQ(ex.rc, 0) << final;
        EXPECT_EQ(ex.reply->success, 0) << final;
        EXPECT_EQ(at_get_cme_error(ex.reply), -1) << final;
    }
    {
        // a second final line belongs to nobody: no leak, no overwrite
        Exchange ex;
        ex.start([](AtReply **r) { return at_send_command("AT+X", r); });
        answer(ex, "AT+X", "ERROR\r\nOK\r\n");
        ASSERT_EQ(ex.rc, 0);
        EXPECT_STREQ(ex.reply->final_line, "ERROR");
        EXPECT_TRUE(ts::wait_until([] { return saw_unsolicited("OK"); }, 5000));
    }
    AtReply ok{1, nullptr, nullptr};
    EXPECT_EQ(at_get_cme_error(&ok), 0);
    EXPECT_EQ(at_get_cme_error(nullptr), -1);
}

TEST_F(AtChannel, PromptShortMessagesAndOddInput) {
    // the prompt comes without a line end
    modem("> ");
    EXPECT_TRUE(ts::wait_until([] { return saw_unsolicited("> "); }, 5000));
    modem("+CREG: 1\r\n");
    EXPECT_TRUE(ts::wait_until([] { return saw_unsolicited("+CREG: 1"); }, 5000));

    // a short message and its PDU reach the handler together, even while a
    // command that takes every line is pending
    {
        Exchange ex;
        ex.start([](AtReply **r) { return at_send_command_allline("AT+CSQ", r); });
        answer(ex, "AT+CSQ",
               "+CMT: ,24\r\n07911326040000F0040B911346610089F60000\r\n+CSQ: 9,9\r\nOK\r\n");
        ASSERT_EQ(ex.rc, 0);
        EXPECT_EQ(lines_of(ex.reply), std::vector<std::string>{"+CSQ: 9,9"});
    }
    modem("+CDS: 6\r\n");
    modem("0006D60B911326880736F4\r\n");
    EXPECT_TRUE(ts::wait_until([] { return saw_unsolicited("+CDS: 6"); }, 5000));
    auto u = unsolicited();
    std::vector<std::pair<std::string, std::string>> sms;
    for (const auto &x : u)
        if (x.second != "<none>") sms.push_back(x);
    ASSERT_EQ(sms.size(), 2u);
    EXPECT_EQ(sms[0], std::make_pair(std::string("+CMT: ,24"),
                                     std::string("07911326040000F0040B911346610089F60000")));
    EXPECT_EQ(sms[1],
              std::make_pair(std::string("+CDS: 6"), std::string("0006D60B911326880736F4")));

    // a NUL byte does not hide the final line behind it
    {
        Exchange ex;
        ex.start([](AtReply **r) { return at_send_command_allline("ATI", r); });
        EXPECT_EQ(command(), "ATI");
        modem(std::string("Rev\0A\r\nOK\r\n", 11));
        ex.finish();
        ASSERT_EQ(ex.rc, 0);
        EXPECT_EQ(lines_of(ex.reply), std::vector<std::string>{"RevA"});
    }
}

TEST_F(AtChannel, OverlongLinesAreDroppedWhole) {
    // 8191 characters and the line end still fit
    std::string longest(8191, 'a');
    modem(longest + "\r\n");
    EXPECT_TRUE(ts::wait_until([&] { return saw_unsolicited(longest); }, 5000));

    // 8192 without a line end fill the buffer: dropped, and so is the rest
    // of that line up to its end
    modem(std::string(8192, 'b') + "\r\n");
    modem(std::string(12000, 'c') + "\r\n+CREG: 3\r\n");
    EXPECT_TRUE(ts::wait_until([] { return saw_unsolicited("+CREG: 3"); }, 5000));
    for (const auto &x : unsolicited()) {
        EXPECT_EQ(x.first.find('b'), std::string::npos);
        EXPECT_EQ(x.first.find('c'), std::string::npos);
    }
    // and the channel still works
    Exchange ex;
    ex.start([](AtReply **r) { return at_send_command("AT", r); });
    answer(ex, "AT", "OK\r\n");
    EXPECT_EQ(ex.rc, 0);
}

TEST_F(AtChannel, TimeoutsAndLateAnswers) {
    {
        Exchange ex;
        ex.start([](AtReply **r) {
            return at_send_command_timeout("AT+COPS?", AT_REPLY_SINGLELINE, "+COPS:", 200, r);
        });
        EXPECT_EQ(command(), "AT+COPS?");
        ex.finish();
        EXPECT_EQ(ex.rc, AT_FAIL_TIMEOUT);
        EXPECT_EQ(ex.reply, nullptr);
        EXPECT_EQ(timeout_calls, 1);
    }
    // the late answer of the timed-out command is not taken for the next one's
    modem("+COPS: 0\r\nOK\r\n");
    EXPECT_TRUE(ts::wait_until([] { return saw_unsolicited("OK"); }, 5000));
    EXPECT_TRUE(saw_unsolicited("+COPS: 0"));
    Exchange ex;
    ex.start([](AtReply **r) { return at_send_command("AT+CFUN=1", r); });
    answer(ex, "AT+CFUN=1", "ERROR\r\n");
    ASSERT_EQ(ex.rc, 0);
    EXPECT_EQ(ex.reply->success, 0);
    EXPECT_EQ(reader_closed_calls, 0); // a time-out leaves the channel open
}

TEST_F(AtChannel, LostDeviceAndClose) {
    Exchange ex;
    ex.start([](AtReply **r) { return at_send_command_allline("AT+CSQ", r); });
    EXPECT_EQ(command(), "AT+CSQ");
    modem("+CSQ: 1,1\r\n");
    close(peer); // the modem falls off the bus mid-answer
    peer = -1;
    ex.finish();
    EXPECT_EQ(ex.rc, AT_FAIL_CLOSED);
    EXPECT_EQ(ex.reply, nullptr);
    EXPECT_TRUE(ts::wait_until([] { return reader_closed_calls == 1; }, 5000));
    EXPECT_EQ(at_send_command("AT", nullptr), AT_FAIL_CLOSED);
    at_close();
    EXPECT_EQ(reader_closed_calls, 1);
}

TEST_F(AtChannel, CloseByTheDaemonCallsNoHandlerAndReleasesTheDevice) {
    Exchange ex;
    ex.start([](AtReply **r) { return at_send_command("AT", r); });
    EXPECT_EQ(command(), "AT");
    at_close();
    ex.finish();
    EXPECT_EQ(ex.rc, AT_FAIL_CLOSED);
    EXPECT_EQ(reader_closed_calls, 0);
    // the descriptor is closed by the time at_close returns
    char c;
    EXPECT_EQ(read(peer, &c, 1), 0);
    EXPECT_EQ(at_send_command("AT", nullptr), AT_FAIL_CLOSED);
    EXPECT_EQ(at_handshake(), AT_FAIL_CLOSED);
}

TEST_F(AtChannel, SendingFromTheReaderThreadFails) {
    at_close();
    close(peer);
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    peer = sv[1];
    ASSERT_EQ(at_open(sv[0], sending_handler), 0);
    modem("+CREG: 1\r\n");
    EXPECT_TRUE(ts::wait_until([] { return saw_unsolicited("+CREG: 1"); }, 5000));
    EXPECT_EQ(send_from_handler_result, AT_FAIL_THREAD);
}

// A record socket shows every write apart: a command and its "\r" go out as
// one write, so the modem wakes once; one too long for that arrives whole.
TEST_F(AtChannel, CommandsGoOutInOneWrite) {
    at_close();
    close(peer);
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv), 0);
    peer = sv[1];
    ASSERT_EQ(at_open(sv[0], record_unsolicited), 0);
    static std::string cmd;
    for (const std::string &c : {std::string("AT+CSQ"), "AT+CMGS=" + std::string(600, '7')}) {
        cmd = c;
        Exchange ex;
        ex.start([](AtReply **r) { return at_send_command(cmd.c_str(), r); });
        std::vector<std::string> writes;
        char buf[4096];
        pollfd p{peer, POLLIN, 0};
        while ((writes.empty() || writes.back().back() != '\r') && poll(&p, 1, 5000) == 1) {
            ssize_t n = read(peer, buf, sizeof buf);
            if (n <= 0) break;
            writes.emplace_back(buf, static_cast<size_t>(n));
        }
        std::string all;
        for (const auto &w : writes)
            all += w;
        EXPECT_EQ(all, cmd + "\r");
        if (cmd.size() < 100) {
            EXPECT_EQ(writes.size(), 1u);
        }
        modem("OK\r\n");
        ex.finish();
        EXPECT_EQ(ex.rc, 0);
    }
}

TEST_F(AtChannel, HandshakeLetsLateAnswersDrainAsUnsolicited) {
    std::thread modem_side([this] {
        EXPECT_EQ(command(), "ATQ0"); // a slow modem: this one times out after 250 ms
        EXPECT_EQ(command(), "ATQ0");
        modem("OK\r\n");
        usleep(100000);
        modem("OK\r\n"); // the second try's own answer comes late
    });
    EXPECT_EQ(at_handshake(), 0);
    modem_side.join();
    EXPECT_EQ(timeout_calls, 0); // the handshake's time-outs are its own
    // the late line was taken while the handshake waited, not left for the next command
    EXPECT_TRUE(ts::wait_until([] { return saw_unsolicited("OK"); }, 20000));
    Exchange ex;
    ex.start([](AtReply **r) { return at_send_command("AT+CFUN=0", r); });
    answer(ex, "AT+CFUN=0", "ERROR\r\n");
    ASSERT_EQ(ex.rc, 0);
    EXPECT_EQ(ex.reply->success, 0);
}

} // namespace
