#include "sys_utils.h"

#include <gtest/gtest.h>
#include <test_support.h>

#include <cctype>
#include <cstring>
#include <string>

namespace {

TEST(FileStrings, FirstLineWithoutItsLineEnd) {
    char tmpl[] = "/tmp/filestr-XXXXXX";
    int fd = mkstemp(tmpl);
    close(fd);
    std::string path = tmpl;
    char buf[32];

    ts::write_file(path, "value\r\nsecond\n");
    ASSERT_EQ(read_file_string(path.c_str(), buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "value");
    ts::write_file(path, "cr-only\r");
    ASSERT_EQ(read_file_string(path.c_str(), buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "cr-only");
    ts::write_file(path, "");
    EXPECT_EQ(read_file_string(path.c_str(), buf, sizeof buf), -1);
    // a line longer than the buffer is cut to size - 1
    ts::write_file(path, "0123456789\n");
    char small[5];
    ASSERT_EQ(read_file_string(path.c_str(), small, sizeof small), 0);
    EXPECT_STREQ(small, "0123");

    ASSERT_EQ(write_file_string(path.c_str(), "/dev/ttyUSB2"), 0);
    EXPECT_EQ(ts::read_file(path), "/dev/ttyUSB2"); // no line end added
    unlink(path.c_str());
    EXPECT_EQ(read_file_string(path.c_str(), buf, sizeof buf), -1);
    EXPECT_EQ(write_file_string("/nonexistent-dir/x", "a"), -1);
}

TEST(Strings, TrimTreatsControlAndHighBytesAsBlank) {
    char spaces[] = "    ";
    EXPECT_STREQ(str_trim(spaces), "");
    char mixed[] = "\xa0\t value \r\n\xff";
    EXPECT_STREQ(str_trim(mixed), "value");
    char inner[] = " a b ";
    EXPECT_STREQ(str_trim(inner), "a b");
}

TEST(Strings, SplitStopsAtMaximumAndSkipsEmptyTokens) {
    char three[] = "a:b:c";
    char *out[4] = {};
    EXPECT_EQ(str_split(three, out, 2, ":"), 2);
    EXPECT_STREQ(out[0], "a");
    EXPECT_EQ(strncmp(out[1], "b", 1), 0);
    char runs[] = "::x,,y:";
    EXPECT_EQ(str_split(runs, out, 4, ":,"), 2);
    EXPECT_STREQ(out[0], "x");
    EXPECT_STREQ(out[1], "y");
    EXPECT_EQ(out[2], nullptr);
}

TEST(Strings, RandomStringIsAlphanumericOfSizeMinusOne) {
    char buf[16];
    ASSERT_EQ(get_random_string(buf, sizeof buf), 0);
    EXPECT_EQ(strlen(buf), 15u);
    for (size_t i = 0; i < 15; ++i)
        EXPECT_TRUE(isalnum(static_cast<unsigned char>(buf[i]))) << buf;
    EXPECT_EQ(get_random_string(nullptr, 4), -1);
    EXPECT_EQ(get_random_string(buf, 0), -1);
}

TEST(Checksum, StoredChecksumMakesThePacketSumToZero) {
    unsigned char packet[64] = {8, 0, 0, 0, 0x12, 0x34, 0x00, 0x01};
    for (int i = 16; i < 64; ++i)
        packet[i] = static_cast<unsigned char>(i * 7);
    uint16_t sum = inet_cksum(packet, sizeof packet);
    memcpy(packet + 2, &sum, 2);
    EXPECT_EQ(inet_cksum(packet, sizeof packet), 0);
    // RFC 1071 example words 0001 f203 f4f5 f6f7: sum ddf2, checksum 220d
    const unsigned char rfc[] = {0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7};
    uint16_t c = inet_cksum(rfc, sizeof rfc);
    unsigned char bytes[2];
    memcpy(bytes, &c, 2);
    EXPECT_EQ(bytes[0], 0x22);
    EXPECT_EQ(bytes[1], 0x0d);
    // an odd last byte counts as a word with a zero after it
    const unsigned char odd[] = {0x01};
    const unsigned char even[] = {0x01, 0x00};
    EXPECT_EQ(inet_cksum(odd, 1), inet_cksum(even, 2));
}

TEST(Interfaces, NamesAreCutTo15AndLoopbackIsQueried) {
    struct ifreq ifr;
    ifc_init_ifreq("abcdefghijklmnopqrst", &ifr);
    EXPECT_STREQ(ifr.ifr_name, "abcdefghijklmno");
    int index = 0;
    EXPECT_EQ(ifc_get_ifindex("lo", &index), 0);
    EXPECT_GT(index, 0);
    uint32_t addr = 0, mask = 0;
    EXPECT_EQ(ifc_get_addr("lo", &addr), 0);
    const unsigned char *a = reinterpret_cast<const unsigned char *>(&addr);
    EXPECT_EQ(a[0], 127); // network order in memory
    EXPECT_EQ(ifc_get_netmask("lo", &mask), 0);
    EXPECT_NE(ifc_get_ifindex("no-such-if0", &index), 0);
}

TEST(BootTime, Advances) {
    BootTime a, b;
    ASSERT_EQ(time_bootup(&a), 0);
    usleep(20000);
    ASSERT_EQ(time_bootup(&b), 0);
    long diff = (b.sec - a.sec) * 1000000L + (b.usec - a.usec);
    EXPECT_GE(diff, 15000);
}

} // namespace
