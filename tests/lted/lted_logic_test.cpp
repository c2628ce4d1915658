// The daemon's pure decisions: reply scans, the dial form, the reboot plan,
// the echo packet and its checks, which configuration values may enter a
// command line, and the event history's lines and caps.
#include "at_channel.h"
#include "at_query.h"
#include "event_history.h"
#include "events.h"
#include "modem_dialect.h"
#include "network_poll.h"
#include "sys_utils.h"
#include "watchdog.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// An AtLine chain over the given texts (kept alive by the vector).
struct Lines {
    explicit Lines(std::vector<std::string> t) : text(std::move(t)) {
        nodes.resize(text.size());
        for (size_t i = 0; i < text.size(); ++i) {
            nodes[i].text = text[i].data();
            nodes[i].next = i + 1 < text.size() ? &nodes[i + 1] : nullptr;
        }
    }
    const AtLine *head() const { return nodes.empty() ? nullptr : nodes.data(); }
    std::vector<std::string> text;
    std::vector<AtLine> nodes;
};

TEST(ReplyScan, AddressesAndCalls) {
    struct Case {
        std::vector<std::string> lines;
        std::string addr;
        int calls;
    } cases[] = {
        {{}, "", 0},
        {{"+CGPADDR: 1,\"0.0.0.0\""}, "", 1},
        {{"+CGPADDR: 1,\"10.1.2.3\"", "+CGPADDR: 3,\"0.0.0.0\""}, "10.1.2.3", 2},
        {{"+CGPADDR: 1,\"10.1.2.3\"", "+CGPADDR: 2, \"10.9.9.9\""}, "10.9.9.9", 2}, // last wins
        {{"+CGPADDR:01,10.1.2.4"}, "10.1.2.4", 1},                                  // spelled bare
        {{"+CGPADDR: 1"}, "", 0},
        {{"+CGPADDR: 1,\"\""}, "", 1},
        {{"garbage"}, "", 0},
    };
    for (const auto &c : cases) {
        Lines l(c.lines);
        char addr[64] = "x";
        EXPECT_EQ(cgpaddr_scan(l.head(), CGPADDR_ANY_CONTEXT, addr, sizeof addr),
                  c.addr.empty() ? 0 : 1);
        EXPECT_EQ(addr, c.addr) << (c.lines.empty() ? "" : c.lines[0]);
        EXPECT_EQ(qcrmcall_count(l.head()), c.calls) << (c.lines.empty() ? "" : c.lines[0]);
    }
    Lines calls({"$QCRMCALL: 1, V4", "$QCRMCALL: 2,V6", "$QCRMCALL: 3"});
    EXPECT_EQ(qcrmcall_count(calls.head()), 2);
}

TEST(DialDecision, ByDataStatusAndSystemMode) {
    struct Case {
        int data, mode;
        const char *dial;
    } cases[] = {
        {1, 4, "AT$QCRMCALL=1,1,1,1,1"},
        {5, 2, "AT$QCRMCALL=1,1,1,1,1"},
        {1, 8, "AT$QCRMCALL=1,1,1,1,1"},
        {1, 9, "AT$QCRMCALL=1,1,1,2,1"},
        {5, 0, "AT$QCRMCALL=1,1,1,2,1"},
        {2, 9, nullptr},
        {0, 4, nullptr},
        {3, 9, nullptr},
        {6, 9, nullptr},
        {10, 9, nullptr},
    };
    for (const auto &c : cases) {
        char buf[64];
        const char *d = qcrmcall_dial(c.data, c.mode, buf, sizeof buf);
        EXPECT_STREQ(d, c.dial) << c.data << "," << c.mode;
    }
}

TEST(RebootPlan, ModesAndTheUptimeFloor) {
    struct Case {
        int mode, time;
        long uptime;
        int minute;
        bool due;
    } cases[] = {
        {1, 24, 24 * 3600, 0, true},
        {1, 24, 24 * 3600 - 1, 0, false},
        {1, 24, 48 * 3600 + 59, 0, true},
        {1, 24, 36 * 3600, 0, false},
        {1, 0, 24 * 3600, 0, false},
        {1, 1, 119, 0, false},
        {1, 1, 3600, 0, true},
        {2, 180, 200, 180, true},
        {2, 180, 200, 181, true},
        {2, 180, 200, 182, false},
        {2, 180, 200, 179, false},
        {2, 180, 119, 180, false},
        {0, 180, 200, 180, false},
        {3, 180, 200, 180, false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(auto_reboot_due(c.mode, c.time, c.uptime, c.minute), c.due)
            << c.mode << " " << c.time << " " << c.uptime << " " << c.minute;
}

TEST(EchoPacket, RequestAndReplyChecks) {
    uint8_t req[PING_PACKET_SIZE];
    ping_build_request(req, 0x1234, 7, 1000, 500);
    EXPECT_EQ(req[0], 8);
    EXPECT_EQ(req[1], 0);
    EXPECT_EQ(inet_cksum(req, sizeof req), 0); // the checksum makes the sum zero
    uint16_t v;
    memcpy(&v, req + 4, 2);
    EXPECT_EQ(v, 0x1234);
    memcpy(&v, req + 6, 2);
    EXPECT_EQ(v, 7);

    // an IPv4 datagram carrying the reply, then one fault at a time
    auto reply = [&](auto change) {
        std::vector<uint8_t> d(20 + PING_PACKET_SIZE, 0);
        d[0] = 0x45;
        d[2] = 0;
        d[3] = static_cast<uint8_t>(d.size());
        d[9] = 1;
        memcpy(d.data() + 20, req, PING_PACKET_SIZE);
        d[20] = 0;
        change(d);
        return ping_reply_matches(d.data(), d.size(), 0x1234, 7);
    };
    EXPECT_EQ(reply([](auto &) {}), 1);
    EXPECT_EQ(reply([](auto &d) { d[20] = 8; }), 0);    // a request
    EXPECT_EQ(reply([](auto &d) { d[24] ^= 1; }), 0);   // foreign identifier
    EXPECT_EQ(reply([](auto &d) { d[26] = 6; }), 0);    // an older request
    EXPECT_EQ(reply([](auto &d) { d[9] = 17; }), 0);    // not ICMP
    EXPECT_EQ(reply([](auto &d) { d[0] = 0x65; }), 0);  // not IPv4
    EXPECT_EQ(reply([](auto &d) { d[3] = 200; }), 0);   // cut short
    EXPECT_EQ(reply([](auto &d) { d.resize(27); }), 0); // no room for ICMP
    EXPECT_EQ(reply([](auto &d) { d.resize(10); }), 0); // no IP header
    EXPECT_EQ(reply([](auto &d) { d[0] = 0x46, d.insert(d.begin() + 20, 4, 0); }), 1); // options
    // a header length below five words would put the reply inside the header
    EXPECT_EQ(
        reply([](auto &d) { d[0] = 0x44, d.erase(d.begin() + 16, d.begin() + 20), d[3] -= 4; }), 0);
    EXPECT_EQ(reply([](auto &d) { d[3] = 27; }), 0); // the datagram ends inside the ICMP header

    EXPECT_EQ(ping_next_seq(0), 1);
    EXPECT_EQ(ping_next_seq(41), 42);
    EXPECT_EQ(ping_next_seq(0xFFFF), 1);
}

TEST(CommandValues, WhatMayEnterACommandLine) {
    struct Case {
        const char *value;
        bool quoted_ok, bare_ok;
    } cases[] = {
        {"", true, true},
        {"internet.apn-1", true, true},
        {"p@ss word!", true, true},
        {"a;b", true, false}, // chains another command where it is not quoted
        {"a,b", true, false}, // shifts the next field where it is not quoted
        {"a\"b", false, false},
        {"a\rAT+CFUN=0", false, false},
        {"a\nb", false, false},
        {"a\x1a", false, false},
        {"a\x1b", false, false},
        {"a\x7f", false, false},
        {"caf\xc3\xa9", true, true},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(at_value_ok(c.value, false), c.quoted_ok) << c.value;
        EXPECT_EQ(at_value_ok(c.value, true), c.bare_ok) << c.value;
    }
    // a command that does not fit is not sent cut (its closing quote lost)
    char cmd[16];
    EXPECT_TRUE(at_format(cmd, sizeof cmd, "AT+X=\"%s\"", "12345678"));
    EXPECT_FALSE(at_format(cmd, sizeof cmd, "AT+X=\"%s\"", "123456789"));
}

// --- the event history ---

TEST(EventHistory, WhatALineMustBe) {
    const std::string text120(120, 'x');
    struct Case {
        std::string line;
        bool ok;
        unsigned long uptime;
        std::string text;
    } cases[] = {
        {"2026-03-01 04:05:06 42 modem found: asr", true, 42, "modem found: asr"},
        {"2026-03-01 04:05:06 4294967295 " + text120, true, 4294967295ul, text120},
        {"2026-03-01 04:05:06 42 " + text120 + "x", false, 0, ""},
        {"2026-03-01 04:05:06 12345678901 text", false, 0, ""}, // 11 digits
        {"2026-03-01 04:05:06 42 ", false, 0, ""},
        {"2026-03-01 04:05:06  42 text", false, 0, ""},
        {"2026-03-01T04:05:06 42 text", false, 0, ""},
        {"2026-3-01 04:05:06 42 text", false, 0, ""},
        {"2026-03-01 04:05:06 -1 text", false, 0, ""},
        {"2026-03-01 04:05:06 42 tab\there", false, 0, ""},
        {"2026-03-01 04:05:06 42 caf\xc3\xa9", false, 0, ""},
        {"2026-03-01 04:05:06 42 text\r", false, 0, ""},
        {"", false, 0, ""},
    };
    for (const auto &c : cases) {
        EventLine e{};
        ASSERT_EQ(event_line_parse(c.line.data(), c.line.size(), &e), c.ok) << c.line;
        if (!c.ok) continue;
        EXPECT_STREQ(e.time, "2026-03-01 04:05:06");
        EXPECT_EQ(e.uptime, c.uptime);
        EXPECT_EQ(std::string(e.text, e.text_len), c.text);
    }
}

// A history line numbered i (its uptime and the start of its text).
std::string event_line(int i, size_t text_size = 10) {
    std::string text = std::to_string(i);
    return "2026-03-01 04:05:06 " + std::to_string(i) + " " + text +
           std::string(text_size - text.size(), '.');
}

std::string event_lines(int first, int last, size_t text_size = 10) {
    std::string s;
    for (int i = first; i <= last; i++)
        s += event_line(i, text_size) + "\n";
    return s;
}

TEST(EventHistory, AppendDropsDamageThenTheOldest) {
    struct Case {
        const char *what;
        std::string before, line, after;
    } cases[] = {
        {"no file yet", "", event_line(7), event_lines(7, 7)},
        {"damaged lines and a cut last one are dropped",
         event_line(1) + "\n\x01garbage\n\n" + event_line(2) + "\n" + event_line(3), event_line(7),
         event_lines(1, 2) + event_lines(7, 7)},
        {"the 201st line drops the first", event_lines(1, 200), event_line(201),
         event_lines(2, 201)},
        // 145 bytes a line: 112 lines fit in 16384 bytes, 113 do not
        {"the bytes are bounded", event_lines(700, 998, 120), event_line(999, 120),
         event_lines(888, 999, 120)},
    };
    for (const auto &c : cases) {
        std::vector<char> buf(c.before.size() + c.line.size() + 1);
        memcpy(buf.data(), c.before.data(), c.before.size());
        size_t n = events_append(buf.data(), c.before.size(), c.line.c_str());
        EXPECT_EQ(std::string(buf.data(), n), c.after) << c.what;
    }
}

TEST(EventHistory, KeptRestartReasons) {
    struct Case {
        std::string value, time, reason;
    } cases[] = {
        {"2026-03-01 04:05:06 scheduled reboot", "2026-03-01 04:05:06", "scheduled reboot"},
        {"a power loss or an outside reboot", "", "a power loss or an outside reboot"},
        {"2026-03-01 04:05:06", "2026-03-01 04:05:06", ""},
        {"2026-03-01 04:05:06x", "", "2026-03-01 04:05:06x"},
        {"", "", ""},
        {"2026-03-01 04:05:06 line\nbreak\x7f", "2026-03-01 04:05:06", "line?break?"},
        {"2026-03-01 04:05:06 " + std::string(200, 'r'), "2026-03-01 04:05:06",
         std::string(EVENT_TEXT_MAX, 'r')},
    };
    for (const auto &c : cases) {
        char time[EVENT_TIME_LEN + 1], reason[EVENT_TEXT_MAX + 1];
        restart_value_split(c.value.c_str(), time, reason, sizeof reason);
        EXPECT_EQ(time, c.time) << c.value;
        EXPECT_EQ(reason, c.reason) << c.value;
    }
    // a value kept now splits back into its time and reason
    char value[RESTART_VALUE_MAX], time[EVENT_TIME_LEN + 1], reason[EVENT_TEXT_MAX + 1];
    restart_value_make("scheduled reboot", value, sizeof value);
    restart_value_split(value, time, reason, sizeof reason);
    EXPECT_TRUE(event_time_valid(time, strlen(time))) << value;
    EXPECT_STREQ(reason, "scheduled reboot");
}

} // namespace
