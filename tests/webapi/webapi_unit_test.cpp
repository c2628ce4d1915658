// Pure logic of the web back end: the password digest, the session cookie,
// and the daemon client's messages and line cutting.
#include "daemon_client.h"
#include "md5.h"
#include "session.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

TEST(Md5, DigestsOfTheStandardSuite) {
    struct Case {
        std::string text;
        const char *hex;
    };
    const Case cases[] = {
        {"", "D41D8CD98F00B204E9800998ECF8427E"},
        {"a", "0CC175B9C0F1B6A831C399E269772661"},
        {"abc", "900150983CD24FB0D6963F7D28E17F72"},
        {"admin", "21232F297A57A5A743894A0E4A801FC3"},
        {"abcdefghijklmnopqrstuvwxyz", "C3FCD3D76192E4007DFB496CCA67E13B"},
        {std::string(56, 'x'), "668A72D5BA17F08E62DABCAFAD6DB14B"}, // padding spills a block
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57EDF4A22BE3C955AC49DA2E2107B67A"},
    };
    for (const Case &c : cases) {
        char hex[33];
        md5_hex(c.text.data(), c.text.size(), hex);
        EXPECT_STREQ(hex, c.hex) << c.text;
    }
}

TEST(SessionCookie, FindsTheFirstUsableSessionPiece) {
    const std::string long_value(64, 'L'), just_short(63, 'S');
    struct Case {
        const char *header; // null: HTTP_COOKIE absent
        const char *value;  // null: no cookie
    };
    const std::string with_long = "session=" + long_value + "; session=second";
    const std::string only_long = "session=" + long_value;
    const std::string longest = "session=" + just_short;
    const std::string huge = "session=abc;x=" + std::string(4096 - 14, 'y');
    const std::string big = "session=abc;x=" + std::string(4095 - 14, 'y');
    const Case cases[] = {
        {nullptr, nullptr},
        {"", nullptr},
        {"session=abc", "abc"},
        {"theme=dark; session = abc ; broken", "abc"},
        {"session=\t abc\t", "abc"},
        {"sessions=abc; xsession=def", nullptr},
        {with_long.c_str(), "second"},
        {only_long.c_str(), nullptr},
        {longest.c_str(), just_short.c_str()},
        {huge.c_str(), nullptr}, // 4096 characters: no cookie is seen
        {big.c_str(), "abc"},
        {"session=; session=x", ""},
    };
    for (const Case &c : cases) {
        if (c.header)
            setenv("HTTP_COOKIE", c.header, 1);
        else
            unsetenv("HTTP_COOKIE");
        char out[SESSION_COOKIE_SIZE];
        int rc = session_cookie(out);
        if (c.value) {
            EXPECT_EQ(rc, 0) << c.header;
            if (rc == 0) {
                EXPECT_STREQ(out, c.value) << c.header;
            }
        } else {
            EXPECT_EQ(rc, -1) << (c.header ? c.header : "(absent)");
        }
    }
    unsetenv("HTTP_COOKIE");
}

TEST(DaemonClient, MessageFieldsAndLimits) {
    char buf[CMD_MESSAGE_MAX];
    EXPECT_EQ(cmd_pack(buf, "GETHOMEINFO"), 16);
    uint32_t len;
    memcpy(&len, buf, 4);
    EXPECT_EQ(len, 12u);
    EXPECT_STREQ(buf + 4, "GETHOMEINFO");

    // "AT" (4 + 3 bytes) and an argument of 4084 characters (4 + 4085 bytes) fill 4096 bytes
    EXPECT_EQ(cmd_pack_arg(buf, "AT", std::string(4084, 'x').c_str()), 4096);
    EXPECT_EQ(cmd_pack_arg(buf, "AT", std::string(4085, 'x').c_str()), -1);

    const char *clock[] = {"ATSINGLELINE", "AT+CCLK?", "+CCLK:"};
    EXPECT_EQ(cmd_pack_fields(buf, clock, 3), 41);
    memcpy(&len, buf + 17, 4);
    EXPECT_EQ(len, 9u);
    EXPECT_STREQ(buf + 21, "AT+CCLK?");
}

// One exchange against a peer that has already written its answer frame.
struct Exchange {
    int count;
    std::vector<std::string> lines;
};

Exchange exchange_with(const std::string &frame, int slots) {
    int sv[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    EXPECT_EQ(write(sv[1], frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
    shutdown(sv[1], SHUT_WR);
    char msg[CMD_MESSAGE_MAX], answer[CMD_MESSAGE_MAX];
    int n = cmd_pack(msg, "GETSTATINFO");
    char *lines[30];
    Exchange e{cmd_exchange(sv[0], msg, static_cast<size_t>(n), answer, lines, slots), {}};
    for (int i = 0; i < e.count; i++)
        e.lines.emplace_back(lines[i]);
    close(sv[0]);
    close(sv[1]);
    return e;
}

std::string framed(const std::string &payload) {
    auto len = static_cast<uint32_t>(payload.size());
    return std::string(reinterpret_cast<const char *>(&len), 4) + payload;
}

TEST(DaemonClient, CutsAnswersIntoLines) {
    std::string fifteen = "SUCCESS:\n";
    for (int i = 1; i <= 15; i++)
        fifteen += std::to_string(i) + "\n";
    struct Case {
        std::string frame;
        int slots;
        int count;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {framed("SUCCESS:\n"), 10, 1, {"SUCCESS:"}},
        {framed("SUCCESS:\nOK\n"), 10, 1, {"OK"}},
        {framed("SUCCESS:\nA\n\nB\n"), 10, 3, {"A", "", "B"}},
        {framed("SUCCESS:\nA\nB"), 10, 2, {"A", "B"}},
        {framed("ERROR\nsecond\n"), 10, 0, {}},
        {framed("ERROR"), 10, 1, {"ERROR"}},
        {framed(fifteen), 10, 9, {"1", "2", "3", "4", "5", "6", "7", "8", "9"}},
        {framed("SUCCESS:\nA\n"), 0, 0, {}},
        {"", 10, -1, {}},                                // closed without an answer
        {framed("SUCCESS:\n").substr(0, 7), 10, -1, {}}, // cut short
        {std::string(4, '\0'), 10, -1, {}},              // empty frame
        {framed(std::string(4096, 'x')), 10, -1, {}},    // longer than 4095 bytes
    };
    for (const Case &c : cases) {
        Exchange e = exchange_with(c.frame, c.slots);
        EXPECT_EQ(e.count, c.count) << c.frame;
        if (e.count == c.count) {
            EXPECT_EQ(e.lines, c.lines) << c.frame;
        }
    }
}

} // namespace
