// The nvram command-line tool in a private router root.
#include <gtest/gtest.h>
#include <test_support.h>

#include <string>
#include <vector>

namespace {

struct Result {
    int code;
    std::string out, err;
};

class Tool : public ::testing::Test {
  protected:
    Result run(const std::vector<std::string> &args, std::vector<std::string> env = {}) {
        if (env.empty()) env = root.env();
        ts::Process p;
        std::vector<std::string> argv{ts::bin_path("nvram")};
        argv.insert(argv.end(), args.begin(), args.end());
        ts::spawn(p, argv, env);
        EXPECT_TRUE(p.wait(20000));
        return {p.exit_code(), p.out(), p.err()};
    }
    ts::TempRoot root;
};

TEST_F(Tool, GetSetShowCommitRoundTrip) {
    EXPECT_EQ(run({"get", "2860", "Login"}).out, "admin\n");
    EXPECT_EQ(run({"set", "2860", "wan_3g_apn", "internet.example"}).code, 0);
    EXPECT_EQ(run({"set", "1", "extra", "a b=c"}).code, 0); // index form, "=" in a value
    EXPECT_EQ(run({"get", "1", "wan_3g_apn"}).out, "internet.example\n");

    Result show = run({"show", "2860"});
    EXPECT_EQ(show.code, 0);
    EXPECT_TRUE(ts::contains(show.out, "\nextra=a b=c\n")) << show.out;
    EXPECT_EQ(ts::count_of(show.out, "wan_3g_apn="), 1u);

    EXPECT_FALSE(ts::file_exists(root.path("/dev/apsoc_nvram/2860.flash")));
    EXPECT_EQ(run({"commit", "2860"}).code, 0);
    EXPECT_TRUE(
        ts::contains(ts::read_file(root.path("/dev/apsoc_nvram/2860.flash")), "internet.example"));

    // absent and empty keys both print an empty line; show tells them apart
    Result absent = run({"get", "oem", "no_such_key"});
    EXPECT_EQ(absent.code, 0);
    EXPECT_EQ(absent.out, "\n");
    EXPECT_EQ(run({"show", "rtdev"}).out, "");
}

TEST_F(Tool, BadInvocationsFailWithAMessage) {
    struct Case {
        std::vector<std::string> args;
        const char *message;
    };
    const Case cases[] = {
        {{"get", "9", "Login"}, "unknown section: 9"},
        {{"get", "lan", "Login"}, "unknown section: lan"},
        {{"get", "2860"}, "missing arguments for get"},
        {{"set", "2860", "Login"}, "missing arguments for set"},
        {{"show"}, "missing arguments for show"},
        {{"commit", "2860", "x"}, "too many arguments for commit"},
        {{"delete", "2860", "Login"}, "unknown command: delete"},
        {{"set", "2860", "a=b", "1"}, "invalid key: a=b"},
        {{"set", "2860", "", "1"}, "invalid key: "},
    };
    for (const Case &c : cases) {
        Result r = run(c.args);
        EXPECT_NE(r.code, 0) << c.message;
        EXPECT_TRUE(ts::contains(r.err, c.message)) << r.err;
        EXPECT_EQ(r.out, "");
    }
    Result usage = run({});
    EXPECT_NE(usage.code, 0);
    EXPECT_TRUE(ts::contains(usage.err, "usage: nvram get SECTION KEY"));
    EXPECT_EQ(run({"show", "2860"}).out.find("a=b"), std::string::npos);
}

TEST_F(Tool, DriverFailuresGiveNonZeroStatus) {
    Result full = run({"set", "cert", "big", std::string(5000, 'x')});
    EXPECT_EQ(full.code, 1);
    EXPECT_TRUE(ts::contains(full.err, "No space left on device")) << full.err;

    for (auto args : std::vector<std::vector<std::string>>{{"get", "2860", "Login"},
                                                           {"set", "2860", "Login", "x"},
                                                           {"show", "2860"},
                                                           {"commit", "2860"}}) {
        Result r = run(args, {"ROUTER_ROOT="}); // no router root: no device
        EXPECT_EQ(r.code, 1) << args[0];
        EXPECT_TRUE(ts::contains(r.err, "/dev/apsoc_nvram: No such file or directory")) << r.err;
        EXPECT_EQ(r.out, "");
    }
}

} // namespace
