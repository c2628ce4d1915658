// The daemon's pure decisions: reply scans, the dial form, the reboot plan,
// the echo packet and its checks, and which configuration values may enter a
// command line.
#include "at_channel.h"
#include "network_poll.h"
#include "sim_bearer.h"
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
        EXPECT_EQ(cgpaddr_scan(l.head(), addr, sizeof addr), c.addr.empty() ? 0 : 1);
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

} // namespace
