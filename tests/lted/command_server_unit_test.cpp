// The command server's pure pieces: item splitting and the value mappings,
// the dialects' signal values among them.
#include "command_server.h"
#include "modem_dialect.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

std::string item(const std::string &text) {
    auto n = static_cast<uint32_t>(text.size() + 1);
    return std::string(reinterpret_cast<const char *>(&n), 4) + text + std::string(1, '\0');
}

TEST(CommandServer, SplitsItemsThatFillThePayloadExactly) {
    std::string twenty, twenty_one;
    for (int i = 0; i < 20; i++)
        twenty += item("x");
    twenty_one = twenty + item("x");
    std::string no_nul = item("AT");
    no_nul[no_nul.size() - 1] = 'X';
    struct Case {
        const char *what;
        std::string payload;
        int count;
    };
    const Case cases[] = {
        {"one item", item("GETSIMINFO"), 1},
        {"command and argument", item("AT") + item("ATI"), 2},
        {"twenty items", twenty, 20},
        {"a twenty-first item", twenty_one, -1},
        {"length past the payload", item("AT").substr(0, 6), -1},
        {"bytes after the last item", item("AT") + "xy", -1},
        {"length of zero", std::string(4, '\0') + "AT", -1},
        {"text without its NUL", no_nul, -1},
    };
    for (const Case &c : cases) {
        std::string copy = c.payload;
        char *items[CMD_ITEMS_MAX];
        EXPECT_EQ(cmd_split_items(copy.data(), copy.size(), items), c.count) << c.what;
    }
}

TEST(CommandServer, ValueMappings) {
    // rssi -> bars; 99 is "not known"
    const int bars[][2] = {{99, 0}, {31, 4}, {20, 4}, {19, 3}, {17, 3}, {16, 2},
                           {14, 2}, {13, 1}, {7, 1},  {6, 0},  {0, 0},  {50, 3}};
    for (const auto &b : bars)
        EXPECT_EQ(signal_bars(b[0]), b[1]) << b[0];

    const char *clean[][2] = {{"-095", "-95"},
                              {"095", "95"},
                              {"-0", "-"},
                              {"12", "12"},
                              {"-0000000000000000123456789", "-123456789"}};
    for (const auto &c : clean) {
        char out[16];
        qc_signal_clean(c[0], out, sizeof out);
        EXPECT_STREQ(out, c[1]) << c[0];
    }

    const int rscp[][2] = {{0, -121}, {-3, -121}, {1, -120}, {96, -25}, {97, -25}, {254, -25}};
    for (const auto &r : rscp) {
        int dbm = 0;
        EXPECT_TRUE(cesq_rscp(r[0], &dbm));
        EXPECT_EQ(dbm, r[1]) << r[0];
    }
    int dbm;
    EXPECT_FALSE(cesq_rscp(255, &dbm));

    EXPECT_STREQ(sim_state_text(1, true), "NOT_READY");
    EXPECT_STREQ(sim_state_text(1, false), "");
    EXPECT_STREQ(network_type_text(10), "GSM|WCDMA|LTE");
    EXPECT_STREQ(network_type_text(11), "");
}

} // namespace
