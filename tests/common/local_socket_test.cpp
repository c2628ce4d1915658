// Framing over real stream sockets, with the peer's writes split at awkward
// places, and the Unix socket address rules.
#include "local_socket.h"

#include <gtest/gtest.h>
#include <test_support.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

class Pair : public ::testing::Test {
  protected:
    void SetUp() override {
        unsetenv("ROUTER_ROOT");
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    }
    void TearDown() override {
        if (writer.joinable()) writer.join();
        for (int fd : fds)
            if (fd >= 0) close(fd);
    }
    // raw bytes from the peer's side, never raising SIGPIPE
    void send_raw(const void *data, size_t len) {
        ASSERT_EQ(send(fds[1], data, len, MSG_NOSIGNAL), static_cast<ssize_t>(len));
    }
    static std::string header(uint32_t len) {
        return std::string(reinterpret_cast<char *>(&len), 4);
    }
    static void pause_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

    int fds[2] = {-1, -1};
    std::thread writer;
    std::atomic<bool> stop{false};
    char buf[8192];
};

TEST_F(Pair, WholeFramesUpToTheCapacity) {
    std::string payload(4095, 'a');
    payload[0] = 'S';
    payload[4094] = 'E';
    ASSERT_EQ(socket_write_size(fds[1], payload.data(), payload.size()), 0);
    ASSERT_EQ(socket_read_size(fds[0], buf, 4095, 1000), 4095);
    EXPECT_EQ(std::string(buf, 4095), payload);

    // one byte too many is refused before any payload is read
    ASSERT_EQ(socket_write_size(fds[1], std::string(4096, 'b').data(), 4096), 0);
    EXPECT_EQ(socket_read_size(fds[0], buf, 4095, 1000), -1);
}

TEST_F(Pair, HeaderOfZeroOrAboveTheFrameLimitIsRefused) {
    ASSERT_EQ(socket_write_size(fds[1], "", 0), 0);
    EXPECT_EQ(socket_read_size(fds[0], buf, sizeof buf, 1000), -1);

    std::vector<char> big(SOCKET_FRAME_MAX + 8);
    send_raw(header(SOCKET_FRAME_MAX + 1).data(), 4);
    EXPECT_EQ(socket_read_size(fds[0], big.data(), big.size(), 1000), -1);
}

TEST_F(Pair, PiecesSplitInsideHeaderAndPayloadAreJoined) {
    const std::string payload = "SUCCESS:\nline one\nline two";
    writer = std::thread([this, payload] {
        std::string h = header(static_cast<uint32_t>(payload.size()));
        send_raw(h.data(), 1);
        pause_ms(30);
        send_raw(h.data() + 1, 3);
        pause_ms(30);
        for (size_t at = 0; at < payload.size(); at += 5) {
            send_raw(payload.data() + at, std::min<size_t>(5, payload.size() - at));
            pause_ms(10);
        }
    });
    int n = socket_read_size(fds[0], buf, 4095, 4000);
    writer.join();
    ASSERT_EQ(n, static_cast<int>(payload.size()));
    EXPECT_EQ(std::string(buf, n), payload);
}

TEST_F(Pair, TheLimitCoversTheWholeMessage) {
    // the header, then nothing
    send_raw(header(10).data(), 4);
    long long start = ts::now_ms();
    EXPECT_EQ(socket_read_size(fds[0], buf, sizeof buf, 300), SOCKET_ETIMEDOUT);
    EXPECT_GE(ts::now_ms() - start, 290);
}

TEST_F(Pair, PayloadTricklingSlowerThanTheLimitTimesOut) {
    // every gap is well inside the limit, the message as a whole is not
    writer = std::thread([this] {
        std::string h = header(40);
        send(fds[1], h.data(), 4, MSG_NOSIGNAL);
        for (int i = 0; i < 40 && !stop; i++) {
            pause_ms(40);
            if (send(fds[1], "x", 1, MSG_NOSIGNAL) != 1) break;
        }
    });
    EXPECT_EQ(socket_read_size(fds[0], buf, sizeof buf, 400), SOCKET_ETIMEDOUT);
    stop = true;
    writer.join();
}

TEST_F(Pair, PeerClosingHalfwayFails) {
    send_raw(header(100).data(), 4);
    send_raw(std::string(50, 'h').data(), 50);
    close(fds[1]);
    fds[1] = -1;
    EXPECT_EQ(socket_read_size(fds[0], buf, sizeof buf, 1000), -1);
}

class UnixPath : public ::testing::Test {
  protected:
    void SetUp() override {
        unsetenv("ROUTER_ROOT");
        char tmpl[] = "/tmp/lsock-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override {
        unsetenv("ROUTER_ROOT");
        ts::remove_tree(dir);
    }
    std::string dir;
};

TEST_F(UnixPath, RebindingReplacesAStaleSocketFile) {
    std::string path = dir + "/RIL_CMD";
    int first = socket_create(AF_UNIX, SOCK_STREAM);
    ASSERT_GE(first, 0);
    EXPECT_EQ(fcntl(first, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    ASSERT_EQ(socket_unix_bind(first, path.c_str(), path.size()), 0);
    close(first); // the daemon died; its socket file stays

    int server = socket_create(AF_UNIX, SOCK_STREAM);
    ASSERT_EQ(socket_unix_bind(server, path.c_str(), path.size()), 0);
    ASSERT_EQ(listen(server, 4), 0);
    int client = socket_create(AF_UNIX, SOCK_STREAM);
    ASSERT_EQ(socket_unix_connect(client, path.c_str(), path.size()), 0);
    int conn = accept(server, nullptr, nullptr);
    ASSERT_GE(conn, 0);
    ASSERT_EQ(socket_write_size(client, "GETHOMEINFO", 11), 0);
    char buf[64];
    ASSERT_EQ(socket_read_size(conn, buf, sizeof buf, 1000), 11);
    EXPECT_EQ(std::string(buf, 11), "GETHOMEINFO");
    close(conn);
    close(client);
    close(server);
}

TEST_F(UnixPath, OverlongPathIsRefusedWithoutTouchingTheFileSystem) {
    std::string path = dir + "/" + std::string(108 - dir.size() - 1, 'p');
    ASSERT_EQ(path.size(), 108u);
    ts::write_file(path, "keep");
    int s = socket_create(AF_UNIX, SOCK_STREAM);
    EXPECT_EQ(socket_unix_bind(s, path.c_str(), 108), SOCKET_EINVAL);
    EXPECT_EQ(socket_unix_connect(s, path.c_str(), 108), SOCKET_EINVAL);
    EXPECT_EQ(ts::read_file(path), "keep");
    // 107 bytes fit
    std::string fits = path.substr(0, 107);
    EXPECT_EQ(socket_unix_bind(s, fits.c_str(), 107), 0);
    close(s);
}

#ifndef ROUTER_TARGET
TEST_F(UnixPath, SystemPathsAndTimeLimitsFollowTheSimulatedRouter) {
    ts::TempRoot root(20);
    setenv("ROUTER_ROOT", root.dir().c_str(), 1);
    int server = socket_create(AF_UNIX, SOCK_STREAM);
    ASSERT_EQ(socket_unix_bind(server, "/var/run/RIL_CMD", 16), 0);
    struct stat st;
    ASSERT_EQ(stat(root.path("/var/run/RIL_CMD").c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    ASSERT_EQ(listen(server, 1), 0);
    int client = socket_create(AF_UNIX, SOCK_STREAM);
    ASSERT_EQ(socket_unix_connect(client, "/var/run/RIL_CMD", 16), 0);
    int conn = accept(server, nullptr, nullptr);
    ASSERT_GE(conn, 0);

    // 4000 ms of the router's clock pass in about 200 ms here
    char buf[16];
    EXPECT_EQ(socket_read_size(conn, buf, sizeof buf, 4000), SOCKET_ETIMEDOUT);
    close(conn);
    close(client);
    close(server);
}
#endif

} // namespace
