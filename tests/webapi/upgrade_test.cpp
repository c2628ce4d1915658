// The upgrade pages: the image check on images made by the real mkimage,
// refused uploads served in-process, and uploads sent by curl through
// lighttpd as a browser sends them, against the flash stand-ins.
#include "cgi_harness.h"
#include "pages_upgrade.h"

#include <gtest/gtest.h>
#include <web_server.h>

#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <sys/file.h>
#include <unistd.h>

namespace {

using ts::CgiAnswer;
using ts::CgiCall;

// Bootloader 0x1000 bytes, Kernel 0x2000 bytes.
const std::string kMtd = "dev:    size   erasesize  name\n"
                         "mtd0: 00001000 00010000 \"Bootloader\"\n"
                         "mtd1: 00002000 00010000 \"Kernel\"\n";

std::string random_bytes(size_t n, unsigned seed) {
    std::string s(n, '\0');
    for (char &c : s) {
        seed = seed * 1103515245u + 12345u;
        c = static_cast<char>(seed >> 16);
    }
    return s;
}

// A legacy boot-loader image of the data as the real mkimage makes it
// (reproducibly: its time stamp is 0).
std::string mkimage(const ts::TempRoot &root, const std::string &data) {
    std::string in = root.path("/sim/image.data"), out = root.path("/sim/image.img");
    ts::write_file(in, data);
    std::string command = "SOURCE_DATE_EPOCH=0 mkimage -A mips -O linux -T kernel -C none "
                          "-a 0x80000000 -e 0x80000000 -n test -d " +
                          in + " " + out + " >/dev/null";
    return system(command.c_str()) == 0 ? ts::read_file(out) : "";
}

// The flash tools and the partition table of a router root.
void install_flash(const ts::TempRoot &root, const std::string &mtd) {
    for (const char *tool : {"flash", "mtd_write"}) {
        std::string command =
            "cp " + ts::source_path("sim/rootfs/bin/") + tool + " " + root.path("/bin/") + tool;
        ASSERT_EQ(system(command.c_str()), 0);
    }
    ts::write_file(root.path("/proc/mtd"), mtd);
}

std::string upload(const std::string &data) {
    const std::string delimiter = "------WebKitFormBoundaryq9Zx2LbV0aTn7sQe";
    return delimiter +
           "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"fw.img\"\r\n"
           "Content-Type: application/octet-stream\r\n\r\n" +
           data + "\r\n" + delimiter + "--\r\n";
}

TEST(ImageCheck, MkimageImagesAgainstTheKernelPartition) {
    ts::WebRoot web;
    ts::write_file(web.path("/proc/mtd"), kMtd);
    std::string good = mkimage(web.root(), random_bytes(1000, 1));
    ASSERT_EQ(good.size(), 1064u);
    std::string bad_header = good, bad_data = good;
    bad_header[40] ^= 1; // in the name
    bad_data[500] ^= 1;
    struct Case {
        const char *what;
        std::string image;
        int result;
    };
    const Case cases[] = {
        {"good", good, 0},
        {"one extra byte", good + '\0', -1},
        {"bad header CRC", bad_header, -1},
        {"bad data CRC", bad_data, -1},
        {"shorter than a header", good.substr(0, 63), -1},
        {"raw data", random_bytes(1000, 1), -1},
        {"exactly the partition", mkimage(web.root(), random_bytes(0x2000 - 64, 2)), 0},
        {"one byte more", mkimage(web.root(), random_bytes(0x2000 - 63, 3)), -1},
    };
    for (const Case &c : cases)
        EXPECT_EQ(firmware_image_check(c.image.data(), c.image.size()), c.result) << c.what;

    ts::write_file(web.path("/proc/mtd"), "dev:    size   erasesize  name\n"
                                          "mtd0: 00100000 00010000 \"Kernel2\"\n");
    EXPECT_EQ(firmware_image_check(good.data(), good.size()), -1) << "no Kernel partition";
    unlink(web.path("/proc/mtd").c_str());
    EXPECT_EQ(firmware_image_check(good.data(), good.size()), -1) << "no partition table";
}

// Every refusal answers {"result":-1}, writes no partition, and a refused
// firmware upload brings back the services stopped for it; one that could
// not take "/tmp/fw.bin" stopped none, and an upload that finds another one
// holding it leaves that one's bytes alone.
TEST(UpgradePages, RefusalsFlashNothing) {
    ts::WebRoot web(20);
    install_flash(web.root(), kMtd);
    std::string image = mkimage(web.root(), random_bytes(1000, 4));
    std::string bad_crc = image;
    bad_crc[100] ^= 1;
    struct Case {
        const char *what;
        CgiCall call;
        FollowUpAction follow_up;
        std::function<void()> before = [] {};
        std::function<void()> after = [] {};
    };
    const std::string fw_bin = web.path("/tmp/fw.bin");
    int held = -1; // the lock of an upload being written
    const std::string multipart =
        "multipart/form-data; boundary=----WebKitFormBoundaryq9Zx2LbV0aTn7sQe";
    const Case cases[] = {
        {"firmware: not a form",
         {.page = "upgradefirmware.cgi",
          .method = "POST",
          .body = image,
          .content_type = multipart},
         FollowUpAction::Restart},
        {"firmware: empty file",
         {.page = "upgradefirmware.cgi",
          .method = "POST",
          .body = upload(""),
          .content_type = multipart},
         FollowUpAction::Restart},
        {"firmware: bad data CRC",
         {.page = "upgradefirmware.cgi",
          .method = "POST",
          .body = upload(bad_crc),
          .content_type = multipart},
         FollowUpAction::Restart},
        {"firmware: larger than the partition",
         {.page = "upgradefirmware.cgi",
          .method = "POST",
          .body = upload(mkimage(web.root(), random_bytes(0x2000, 5))),
          .content_type = multipart},
         FollowUpAction::Restart},
        {"firmware: a JSON body is not parsed",
         {.page = "upgradefirmware.cgi",
          .method = "POST",
          .body = "{",
          .content_type = "application/json"},
         FollowUpAction::Restart},
        {"firmware: /tmp/fw.bin cannot be opened",
         {.page = "upgradefirmware.cgi",
          .method = "POST",
          .body = upload(image),
          .content_type = multipart},
         FollowUpAction::None,
         [&] {
             unlink(fw_bin.c_str());
             ts::make_dirs(fw_bin);
         }},
        {"boot loader: larger than the partition",
         {.page = "upgradebootloader.cgi",
          .method = "POST",
          .body = upload(random_bytes(0x1001, 6)),
          .content_type = multipart},
         FollowUpAction::None,
         [&] { ts::remove_tree(fw_bin); }},
        {"boot loader: no body",
         {.page = "upgradebootloader.cgi", .method = "POST", .content_type = multipart},
         FollowUpAction::None},
        {"boot loader: another upload holds /tmp/fw.bin",
         {.page = "upgradebootloader.cgi",
          .method = "POST",
          .body = upload(random_bytes(0x1000, 11)),
          .content_type = multipart},
         FollowUpAction::None,
         [&] {
             ts::write_file(fw_bin, "being written");
             held = open(fw_bin.c_str(), O_RDWR | O_CLOEXEC);
             ASSERT_EQ(flock(held, LOCK_EX), 0);
         },
         [&] {
             EXPECT_EQ(ts::read_file(fw_bin), "being written");
             close(held);
         }},
    };
    for (const Case &c : cases) {
        c.before();
        size_t logged = ts::read_file(web.path("/sim/calls.log")).size();
        CgiAnswer a = web.call_with_session(c.call);
        c.after();
        EXPECT_EQ(a.json, "{\"result\":-1}") << c.what;
        EXPECT_EQ(a.follow_up, c.follow_up) << c.what;
        // the services were stopped exactly when they are to be brought back
        std::string calls = ts::read_file(web.path("/sim/calls.log")).substr(logged);
        EXPECT_EQ(ts::contains(calls, "killall"), c.follow_up == FollowUpAction::Restart)
            << c.what << ": " << calls;
        EXPECT_FALSE(ts::contains(calls, "mtd_write")) << c.what << ": " << calls;
    }
    EXPECT_FALSE(ts::file_exists(web.path("/sim/mtd"))) << "a partition was written";
    EXPECT_EQ(web.store_get("RestartReason"), "") << "no reboot is coming";
}

// --- through the web server ---

class UploadThroughLighttpd : public ::testing::Test {
  protected:
    void SetUp() override {
        root.set_uptime(1000); // up for a while: session times are never 0
        install_flash(root, ts::read_file(ts::source_path("sim/rootfs/proc/mtd")));
        server = std::make_unique<ts::WebServer>(root);
        ASSERT_TRUE(server->started());
        std::string answer = ts::curl(
            {"-H", "Content-Type: application/json", "--data",
             "{\"username\":\"admin\",\"password\":\"" + ts::md5_hex_lower("admin") + "\"}",
             server->url("login.cgi")});
        size_t at = answer.find("\"session\":\"");
        ASSERT_NE(at, std::string::npos) << answer << server->error_log();
        cookie = "session=" + answer.substr(at + 11, 15);
    }
    // curl's arguments of a browser's file upload to the page.
    std::vector<std::string> upload_args(const std::string &page, const std::string &file) {
        return {"-b", cookie, "-F", "file=@" + file + ";filename=fw.img", server->url(page)};
    }
    std::string file_of(const std::string &name, const std::string &bytes) {
        std::string path = root.path("/sim/" + name);
        ts::write_file(path, bytes);
        return path;
    }
    std::vector<std::string> calls() { return ts::read_lines(root.path("/sim/calls.log")); }
    bool called(const std::string &line) {
        for (const std::string &l : calls())
            if (l == line) return true;
        return false;
    }
    // The restart reason in the store's flash copy, for the next start.
    bool reason_kept(const std::string &reason) {
        return std::regex_search(
            ts::read_file(root.path("/dev/apsoc_nvram/2860.flash")),
            std::regex(R"(RestartReason=\d{4}-\d\d-\d\d \d\d:\d\d:\d\d )" + reason + R"(\0)"));
    }
    // Waits for the reboot and tells how long after the answer it came.
    long long reboot_after(long long answered_ms) {
        EXPECT_FALSE(called("reboot")) << "before the answer was out";
        if (!ts::wait_until([&] { return called("reboot"); }, 15000)) return -1;
        return ts::now_ms() - answered_ms;
    }
    ts::TempRoot root;
    std::unique_ptr<ts::WebServer> server;
    std::string cookie;
};

TEST_F(UploadThroughLighttpd, FirmwareIsWrittenToTheKernelPartitionThenTheRouterReboots) {
    std::string image = mkimage(root, random_bytes(300000, 7));
    std::string answer = ts::curl(upload_args("upgradefirmware.cgi", file_of("fw.img", image)));
    long long answered = ts::now_ms();
    EXPECT_EQ(answer, "{\"result\":0}\n") << server->error_log();
    EXPECT_TRUE(ts::read_file(root.path("/sim/mtd/Kernel")) == image) << "flashed bytes differ";
    std::vector<std::string> lines = calls();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "killall ntpclient dnsmasq lted telnetd udhcpc udhcpd");
    EXPECT_EQ(lines[1], "flash -f 0x400000 -l 0x40ffff");
    EXPECT_EQ(lines[2], "mtd_write -o 0 -l 300064 write " + root.path("/tmp/fw.bin") + " Kernel");
    EXPECT_GE(reboot_after(answered), 1500);
    EXPECT_TRUE(reason_kept("firmware upgrade"));
}

TEST_F(UploadThroughLighttpd, BootLoaderIsWrittenAsItCameThenTheRouterReboots) {
    std::string raw = random_bytes(100000, 8);
    std::string answer = ts::curl(upload_args("upgradebootloader.cgi", file_of("boot.bin", raw)));
    long long answered = ts::now_ms();
    EXPECT_EQ(answer, "{\"result\":0}\n") << server->error_log();
    EXPECT_TRUE(ts::read_file(root.path("/sim/mtd/Bootloader")) == raw) << "flashed bytes differ";
    EXPECT_EQ(calls().front(),
              "mtd_write -o 0 -l 100000 write " + root.path("/tmp/fw.bin") + " Bootloader");
    EXPECT_GE(reboot_after(answered), 1500);
    EXPECT_TRUE(reason_kept("boot-loader upgrade"));
}

// A second upload while the first one's write is in progress is refused,
// does not touch the bytes being written, and neither stops nor restarts the
// services under it.
TEST_F(UploadThroughLighttpd, TwoUploadsAtOnce) {
    std::string first = mkimage(root, random_bytes(200000, 9));
    std::string second = mkimage(root, random_bytes(200000, 10));
    ts::write_file(root.path("/sim/mtd_write.hold"), "");
    ts::Process a;
    ts::spawn_curl(a, upload_args("upgradefirmware.cgi", file_of("first.img", first)));
    ASSERT_TRUE(ts::wait_until(
        [&] { return ts::contains(ts::read_file(root.path("/sim/calls.log")), "mtd_write"); },
        20000));
    std::string answer =
        ts::curl(upload_args("upgradefirmware.cgi", file_of("second.img", second)));
    EXPECT_EQ(answer, "{\"result\":-1}\n");
    unlink(root.path("/sim/mtd_write.hold").c_str());
    ASSERT_TRUE(a.wait(20000));
    EXPECT_EQ(a.out(), "{\"result\":0}\n");
    EXPECT_TRUE(ts::read_file(root.path("/sim/mtd/Kernel")) == first) << "flashed bytes differ";
    EXPECT_TRUE(ts::read_file(root.path("/tmp/fw.bin")) == first);
    std::string log = ts::read_file(root.path("/sim/calls.log"));
    EXPECT_EQ(ts::count_of(log, "mtd_write"), 1u);
    EXPECT_EQ(ts::count_of(log, "killall"), 1u) << log;
    // the written one reboots; the refused one, answered first, restarted nothing
    EXPECT_TRUE(ts::wait_until([&] { return called("reboot"); }, 15000));
    EXPECT_FALSE(called("init_system restart"));
}

} // namespace
