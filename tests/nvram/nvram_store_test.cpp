// The configuration store client against the host driver stand-in, with
// other processes changing the store at the same time.
#include "nvram_driver.h"
#include "nvram_env.h"

#include <gtest/gtest.h>
#include <test_support.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kConfig = 1; // "2860"

class Store : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("ROUTER_ROOT", root.dir().c_str(), 1);
        close_all();
    }
    void TearDown() override {
        close_all();
        unsetenv("ROUTER_ROOT");
    }
    static void close_all() {
        for (int i = 0; i < NVRAM_SECTION_COUNT; i++)
            nvram_close(i);
    }

    std::string store_file(const std::string &name) const {
        return root.path("/dev/apsoc_nvram/" + name);
    }
    // The section as the driver holds it now, in store order.
    static std::vector<std::pair<std::string, std::string>> driver_pairs(int index) {
        std::vector<std::pair<std::string, std::string>> pairs;
        int n = nvram_getall_foreach(
            index,
            [](const char *name, const char *value, void *user) {
                static_cast<std::vector<std::pair<std::string, std::string>> *>(user)->emplace_back(
                    name, value);
            },
            &pairs);
        EXPECT_EQ(n, static_cast<int>(pairs.size()));
        return pairs;
    }
    // Runs the nvram tool in this root; its exit code.
    int tool(const std::vector<std::string> &args) {
        ts::Process p;
        std::vector<std::string> argv{ts::bin_path("nvram")};
        argv.insert(argv.end(), args.begin(), args.end());
        ts::spawn(p, argv, root.env());
        EXPECT_TRUE(p.wait(20000));
        return p.exit_code();
    }

    ts::TempRoot root;
};

TEST_F(Store, FreshRootShowsFactorySettingsAndFlashSurvivesReboot) {
    EXPECT_STREQ(nvram_bufget(kConfig, "Login"), "admin");
    EXPECT_STREQ(nvram_bufget(kConfig, "Password"), "admin");
    EXPECT_STREQ(nvram_bufget(kConfig, "lan_ipaddr"), "192.168.1.1");
    EXPECT_STREQ(nvram_bufget(kConfig, "lan_netmask"), "255.255.255.0");
    EXPECT_STREQ(nvram_bufget(kConfig, "wanConnectionMode"), "3G");
    EXPECT_STREQ(nvram_bufget(kConfig, "wan_3g_apnmode"), "0");
    EXPECT_STRNE(nvram_bufget(kConfig, "SSID1"), "");
    EXPECT_TRUE(driver_pairs(2).empty()); // "rtdev" starts empty

    ASSERT_EQ(nvram_bufset(kConfig, "lan_ipaddr", "10.0.0.1"), 0);
    ASSERT_EQ(nvram_commit(kConfig), 0);
    // changed after the commit by another process, never committed
    ASSERT_EQ(tool({"set", "2860", "lan_ipaddr", "10.9.9.9"}), 0);
    EXPECT_STREQ(nvram_bufget(kConfig, "lan_ipaddr"), "10.9.9.9");
    nvram_close(kConfig);

    // a reboot loses the driver's working copy; flash holds the whole section
    ASSERT_EQ(unlink(store_file("2860.live").c_str()), 0);
    EXPECT_STREQ(nvram_bufget(kConfig, "lan_ipaddr"), "10.0.0.1");
    EXPECT_STREQ(nvram_bufget(kConfig, "Login"), "admin");
}

TEST_F(Store, ConcurrentWritersLoseNothing) {
    constexpr int kWriters = 8, kKeys = 100;
    size_t factory = driver_pairs(kConfig).size();
    std::vector<pid_t> children;
    for (int w = 0; w < kWriters; w++) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            // every key twice: the second value must win
            int failures = 0;
            for (int round = 0; round < 2; round++)
                for (int k = 0; k < kKeys; k++) {
                    char name[16], value[24];
                    snprintf(name, sizeof name, "w%d_%03d", w, k);
                    snprintf(value, sizeof value, "v%d.%d.%d", w, k, round);
                    if (nvram_bufset(kConfig, name, value) != 0) failures++;
                }
            nvram_close(kConfig); // commits, while the others still write
            _exit(failures == 0 ? 0 : 1);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }

    auto check = [&](const char *when) {
        auto pairs = driver_pairs(kConfig);
        EXPECT_EQ(pairs.size(), factory + kWriters * kKeys) << when;
        std::map<std::string, std::string> seen;
        for (auto &[name, value] : pairs)
            EXPECT_TRUE(seen.emplace(name, value).second) << "duplicate " << name << " " << when;
        for (int w = 0; w < kWriters; w++)
            for (int k = 0; k < kKeys; k++) {
                char name[16], value[24];
                snprintf(name, sizeof name, "w%d_%03d", w, k);
                snprintf(value, sizeof value, "v%d.%d.1", w, k);
                EXPECT_EQ(seen[name], value) << when;
            }
        EXPECT_EQ(seen["Login"], "admin") << when;
    };
    check("live");
    ASSERT_EQ(nvram_commit(kConfig), 0);
    ASSERT_EQ(unlink(store_file("2860.live").c_str()), 0);
    check("after reboot");
    // no temporary file is left behind
    EXPECT_EQ(system(("test -z \"$(ls -A " + root.path("/dev/apsoc_nvram") +
                      " | grep -v -x -e lock -e 2860.flash)\"")
                         .c_str()),
              0);
}

TEST_F(Store, ReadPointerIsStableAndSeesOtherProcesses) {
    const char *first = nvram_bufget(kConfig, "SSID1");
    ASSERT_EQ(tool({"set", "2860", "SSID1", "Garden"}), 0);
    const char *second = nvram_bufget(kConfig, "SSID1");
    EXPECT_EQ(first, second);
    EXPECT_STREQ(second, "Garden");

    // a name that another process added after this one loaded the section
    ASSERT_EQ(tool({"set", "2860", "added_later", "42"}), 0);
    EXPECT_STREQ(nvram_bufget(kConfig, "added_later"), "42");

    const char *absent = nvram_bufget(kConfig, "no_such_key");
    ASSERT_NE(absent, nullptr);
    EXPECT_STREQ(absent, "");
    EXPECT_EQ(atoi(absent), 0);

    for (int bad : {6, -1, 100}) {
        EXPECT_STREQ(nvram_bufget(bad, "Login"), "");
        EXPECT_EQ(nvram_bufset(bad, "Login", "x"), -1);
        EXPECT_EQ(nvram_commit(bad), -1);
        nvram_close(bad);
    }
}

TEST_F(Store, FullCacheRefusesBeforeTheDriverTakesTheValue) {
    int loaded = static_cast<int>(driver_pairs(kConfig).size());
    int stored = 0;
    char name[16];
    for (;;) {
        snprintf(name, sizeof name, "c%04d", stored);
        testing::internal::CaptureStderr();
        int rc = nvram_bufset(kConfig, name, "1");
        std::string err = testing::internal::GetCapturedStderr();
        if (rc != 0) {
            EXPECT_TRUE(ts::contains(
                err, "ERROR! run out of env cache, please increase MAX_CACHE_ENTRY:1000"))
                << err;
            break;
        }
        ASSERT_LT(++stored, MAX_CACHE_ENTRY);
    }
    EXPECT_EQ(loaded + stored, MAX_CACHE_ENTRY);
    for (auto &[n, v] : driver_pairs(kConfig))
        EXPECT_NE(n, name) << "the refused value reached the driver";
    // names already cached can still change
    EXPECT_EQ(nvram_bufset(kConfig, "Login", "root"), 0);
    EXPECT_STREQ(nvram_bufget(kConfig, "Login"), "root");
}

TEST_F(Store, CloseCommitsOnlyChangedSectionsAndOnlyOnce) {
    // reading alone never writes flash
    nvram_init(kConfig);
    EXPECT_STREQ(nvram_bufget(kConfig, "Login"), "admin");
    nvram_close(kConfig);
    EXPECT_FALSE(ts::file_exists(store_file("2860.flash")));

    ASSERT_EQ(nvram_bufset(kConfig, "HostName", "box"), 0);
    nvram_close(kConfig);
    std::string flash = ts::read_file(store_file("2860.flash"));
    EXPECT_TRUE(ts::contains(flash, std::string("HostName=box\0", 13)));
    struct stat before;
    ASSERT_EQ(stat(store_file("2860.flash").c_str(), &before), 0);

    ASSERT_EQ(tool({"set", "2860", "HostName", "other"}), 0);
    nvram_close(kConfig); // already closed: nothing happens
    struct stat after;
    ASSERT_EQ(stat(store_file("2860.flash").c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino);
    EXPECT_EQ(ts::read_file(store_file("2860.flash")), flash);
}

TEST_F(Store, DriverFailuresReachTheCallerWithTheSystemError) {
    // a value that no longer fits the section's flash area
    testing::internal::CaptureStderr();
    EXPECT_EQ(nvram_bufset(4, "big", std::string(5000, 'x').c_str()), -1);
    EXPECT_TRUE(
        ts::contains(testing::internal::GetCapturedStderr(), "ioctl: No space left on device"));
    EXPECT_STREQ(nvram_bufget(4, "big"), "");
    // names the store cannot hold
    testing::internal::CaptureStderr();
    EXPECT_EQ(nvram_bufset(4, "a=b", "1"), -1);
    EXPECT_EQ(nvram_bufset(4, "", "1"), -1);
    EXPECT_TRUE(ts::contains(testing::internal::GetCapturedStderr(), "Invalid argument"));
    EXPECT_TRUE(driver_pairs(4).empty());

    // no router root: no device
    close_all();
    unsetenv("ROUTER_ROOT");
    testing::internal::CaptureStderr();
    EXPECT_STREQ(nvram_bufget(kConfig, "Login"), "");
    EXPECT_EQ(nvram_bufset(kConfig, "Login", "x"), -1);
    EXPECT_EQ(nvram_commit(kConfig), -1);
    EXPECT_EQ(nvram_getall_foreach(
                  kConfig, [](const char *, const char *, void *) {}, nullptr),
              -1);
    EXPECT_TRUE(ts::contains(testing::internal::GetCapturedStderr(),
                             "/dev/apsoc_nvram: No such file or directory"));
    // the failed load is retried once the device is there
    setenv("ROUTER_ROOT", root.dir().c_str(), 1);
    EXPECT_STREQ(nvram_bufget(kConfig, "Login"), "admin");
}

TEST_F(Store, DriverKeepsStoreOrderAndReadsUpToDamage) {
    // a damaged working copy (cut in the middle of a pair) reads up to the damage
    ts::make_dirs(root.path("/dev/apsoc_nvram"));
    ts::write_file(store_file("rtdev.live"), std::string("a=1\0b=2\0c=", 10));
    auto pairs = driver_pairs(2);
    ASSERT_EQ(pairs.size(), 2u);
    EXPECT_EQ(pairs[0].first, "a");
    EXPECT_EQ(pairs[1].second, "2");
    // a changed name keeps its place, a new one goes last
    ASSERT_EQ(nvram_bufset(2, "a", "one"), 0);
    ASSERT_EQ(nvram_bufset(2, "z", "last"), 0);
    EXPECT_EQ(ts::read_file(store_file("rtdev.live")), std::string("a=one\0b=2\0z=last\0\0", 18));
}

} // namespace
