#include "log.h"
#include "platform.h"
#include "sys_utils.h"

#include <gtest/gtest.h>
#include <test_support.h>
#include <under_root.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>

namespace {

using UnderRoot = ts::UnderRoot;

TEST_F(UnderRoot, PathsUnderMappedPrefixesResolveBelowTheRoot) {
    EXPECT_EQ(std::string(RouterPath("/tmp/lted.log").c_str()), root.dir() + "/tmp/lted.log");
    EXPECT_EQ(std::string(RouterPath("/var/run/mdm_type").c_str()),
              root.dir() + "/var/run/mdm_type");
    EXPECT_EQ(std::string(RouterPath("/tmpfoo").c_str()), "/tmpfoo");
    EXPECT_EQ(std::string(RouterPath("/dev/urandom").c_str()), "/dev/urandom");
    EXPECT_EQ(std::string(RouterPath("/proc/self/status").c_str()), "/proc/self/status");
    std::string own = "/proc/" + std::to_string(getpid()) + "/stat";
    EXPECT_EQ(std::string(RouterPath(own.c_str()).c_str()), own);
    EXPECT_EQ(std::string(RouterPath("/proc/meminfo").c_str()), root.dir() + "/proc/meminfo");
    std::string huge = "/tmp/" + std::string(600, 'x');
    RouterPath too_long(huge.c_str());
    EXPECT_FALSE(too_long.ok());
    EXPECT_STREQ(too_long.c_str(), "");
}

TEST_F(UnderRoot, CommandLinesRunTheProgramUnderTheRoot) {
    EXPECT_EQ(std::string(RouterCommand("/bin/mtd_write -r write /tmp/fw.bin Kernel").c_str()),
              root.dir() + "/bin/mtd_write -r write /tmp/fw.bin Kernel");
    EXPECT_STREQ(RouterCommand("init_system restart").c_str(), "init_system restart");
    EXPECT_STREQ(RouterCommand("/usr/bin/env true").c_str(), "/usr/bin/env true");
    ts::write_file(root.path("/etc_ro/fw.cgi"),
                   "#!/bin/sh\necho \"$1\" > \"$ROUTER_ROOT/tmp/fw.arg\"\n");
    chmod(root.path("/etc_ro/fw.cgi").c_str(), 0755);
    EXPECT_EQ(do_system_call("/etc_ro/fw.cgi init"), 0);
    EXPECT_EQ(ts::read_file(root.path("/tmp/fw.arg")), "init\n");
}

TEST_F(UnderRoot, LinesAreCutAt511CharactersWithTheHeaderCounted) {
    std::string msg(600, 'm');
    log_set_program(LogProgram::Tracelink);
    __log_str("%s\n", msg.c_str());
    std::string t = ts::read_file(root.path("/tmp/tracelink.log"));
    EXPECT_EQ(t.size(), 511u);
    EXPECT_EQ(t.back(), 'm'); // the line end was cut off

    log_set_program(LogProgram::Lted);
    __log_str("%s\n", msg.c_str());
    std::string l = ts::read_file(root.path("/tmp/lted.log"));
    EXPECT_EQ(l.size(), 511u);
    // "2026-12-07 20:15:00      3.141: "
    EXPECT_TRUE(std::regex_search(
        l, std::regex("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d +\\d+\\.\\d{3}: m")))
        << l.substr(0, 40);
}

TEST_F(UnderRoot, EmptyMessagesWriteNothingExceptTheDaemonsHeader) {
    log_set_program(LogProgram::Cgi);
    __log_str("%s", "");
    EXPECT_FALSE(ts::file_exists(root.path("/tmp/cgi.log")));
    log_set_program(LogProgram::Lted);
    __log_str("%s", "");
    EXPECT_TRUE(ts::contains(ts::read_file(root.path("/tmp/lted.log")), ": "));
}

TEST_F(UnderRoot, RotatesPastTheThresholdKeepingOneGeneration) {
    log_set_program(LogProgram::Cgi);
    std::string big(102400, 'x');
    ts::write_file(root.path("/tmp/cgi.log"), big); // exactly at the threshold: no rotation yet
    __log_str("cgi: first\n");
    EXPECT_FALSE(ts::file_exists(root.path("/tmp/cgi.log.1")));
    __log_str("cgi: second\n"); // now past it
    EXPECT_EQ(ts::read_file(root.path("/tmp/cgi.log")), "cgi: second\n");
    EXPECT_EQ(ts::read_file(root.path("/tmp/cgi.log.1")).size(), 102400u + 11u);
    // a removed file is recreated by the next line
    unlink(root.path("/tmp/cgi.log").c_str());
    __log_str("cgi: third\n");
    EXPECT_EQ(ts::read_file(root.path("/tmp/cgi.log")), "cgi: third\n");
    // lines follow the name, not a file that was moved away or replaced
    rename(root.path("/tmp/cgi.log").c_str(), root.path("/tmp/moved.log").c_str());
    __log_str("cgi: fourth\n");
    ts::write_file(root.path("/tmp/other.log"), "other\n");
    rename(root.path("/tmp/other.log").c_str(), root.path("/tmp/cgi.log").c_str());
    __log_str("cgi: fifth\n");
    EXPECT_EQ(ts::read_file(root.path("/tmp/moved.log")), "cgi: third\n");
    EXPECT_EQ(ts::read_file(root.path("/tmp/cgi.log")), "other\ncgi: fifth\n");
}

TEST_F(UnderRoot, SystemCallReportsExitStatusAndSignalsInEachProgramsWording) {
    log_set_program(LogProgram::Lted);
    EXPECT_EQ(do_system_call("exit 3"), 3);
    EXPECT_EQ(do_system_call("true"), 0);
    EXPECT_EQ(do_system_call("kill -9 $$"), -1);
    std::string l = ts::read_file(root.path("/tmp/lted.log"));
    EXPECT_TRUE(ts::contains(l, "lted: cmd exit error 3, exit 3\n")) << l;
    EXPECT_TRUE(ts::contains(l, "lted: cmd exception error 9, kill -9 $$\n")) << l;
    EXPECT_EQ(ts::count_of(l, "\n"), 2u); // success logs nothing

    log_set_program(LogProgram::Cgi);
    EXPECT_EQ(do_system_call("exit 255"), 255);
    EXPECT_EQ(do_system_call("kill -15 $$"), -1);
    std::string c = ts::read_file(root.path("/tmp/cgi.log"));
    EXPECT_TRUE(ts::contains(c, "cgi: cmd return error 255, exit 255\n")) << c;
    EXPECT_TRUE(ts::contains(c, "cgi: cmd except error 15, kill -15 $$\n")) << c;
}

TEST_F(UnderRoot, ForkCallReturnsAtOnceAndAFailedExecExitsWith127) {
    log_set_program(LogProgram::Cgi); // the web back end starts programs too
    char prog[] = "definitely-not-a-program";
    char *argv[] = {prog, nullptr};
    int pid = do_fork_call(prog, argv);
    ASSERT_GT(pid, 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 127);
    EXPECT_EQ(ts::read_file(root.path("/tmp/cgi.log")),
              "cgi: cmd execvp error, definitely-not-a-program\n");

    char sh[] = "sh", c[] = "-c", code[] = "exit 7";
    char *argv2[] = {sh, c, code, nullptr};
    pid = do_fork_call("sh", argv2); // found on PATH
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_EQ(WEXITSTATUS(status), 7);
}

// A child forked while another thread is inside the logger must still log
// its failed exec: a lock it inherited held would hang it for good.
TEST_F(UnderRoot, ForkedChildrenLogWhileAnotherThreadLogs) {
    log_set_program(LogProgram::Lted);
    std::atomic<bool> stop{false};
    std::thread busy([&] {
        while (!stop)
            __log_str("lted: busy\n");
    });
    char prog[] = "definitely-not-a-program";
    char *argv[] = {prog, nullptr};
    int hung = 0;
    // enough forks to catch the other thread inside the logger many times;
    // a slow machine (a fork of a sanitized process is) does fewer
    long long end = ts::now_ms() + 15000;
    for (int i = 0; i < 600 && hung == 0 && (i < 20 || ts::now_ms() < end); ++i) {
        int pid = do_fork_call(prog, argv);
        if (pid <= 0) break;
        int status = 0;
        if (!ts::wait_until([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 20000)) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            ++hung;
        } else {
            EXPECT_EQ(WEXITSTATUS(status), 127);
        }
    }
    stop = true;
    busy.join();
    EXPECT_EQ(hung, 0);
}

TEST_F(UnderRoot, GpioRequestsAreRecordedOneLineEach) {
    EXPECT_EQ(modem_power_set(0), 0);
    EXPECT_EQ(modem_power_set(1), 0);
    EXPECT_EQ(_gpio_set(40, 10, 1, 4000, 0, 4000), 0);
    EXPECT_EQ(ts::read_file(root.path("/dev/gpio")),
              "2 0 4000 0 1 4000\n2 4000 0 1 0 4000\n40 10 1 4000 0 4000\n");
    unsetenv("ROUTER_ROOT");
    EXPECT_EQ(_gpio_set(40, 1, 1, 1, 1, 1), -1); // no root: no device
}

TEST(BootClock, RunsFasterByTheRootsFactor) {
    ts::TempRoot fast(50);
    setenv("ROUTER_ROOT", fast.dir().c_str(), 1);
    timespec a, b;
    ASSERT_EQ(boot_clock_now(&a), 0);
    EXPECT_LT(a.tv_sec, 5); // counts from the simulated boot
    boot_clock_sleep(2);    // 2 router seconds, 40 ms real
    ASSERT_EQ(boot_clock_now(&b), 0);
    double boot_ms = (b.tv_sec - a.tv_sec) * 1000.0 + (b.tv_nsec - a.tv_nsec) / 1e6;
    EXPECT_GE(boot_ms, 2000);
    EXPECT_EQ(boot_clock_factor(), 50u);
    unsetenv("ROUTER_ROOT");
    EXPECT_EQ(boot_clock_factor(), 1u);
}

} // namespace
