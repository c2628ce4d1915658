// tracelink against a pty standing in for the diagnostic port and a local
// TCP or UDP peer played by the test.
#include <gtest/gtest.h>
#include <pty_pair.h>
#include <test_support.h>

#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <thread>
#include <vector>

namespace {

class Tracelink : public ::testing::Test {
  protected:
    void start(const std::vector<std::string> &args) {
        std::vector<std::string> argv{ts::bin_path("tracelink")};
        argv.insert(argv.end(), args.begin(), args.end());
        ts::spawn(proc, argv, root.env());
    }
    std::string log() const { return ts::read_file(root.path("/tmp/tracelink.log")); }
    bool logged(const std::string &text, int ms = 5000) const {
        return ts::wait_until([&] { return ts::contains(log(), text); }, ms);
    }
    // Stops it with SIGTERM; true when it ended with status 0.
    bool stop() {
        proc.signal(SIGTERM);
        return proc.wait(5000) && proc.exit_code() == 0;
    }

    ts::TempRoot root;
    ts::PtyPair pty;
    ts::Process proc;
};

int open_socket_count(pid_t pid) {
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    int count = 0;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d)) {
            char target[256];
            ssize_t n = readlink((dir + "/" + e->d_name).c_str(), target, sizeof target - 1);
            if (n > 0 && std::string(target, static_cast<size_t>(n)).rfind("socket:", 0) == 0)
                ++count;
        }
        closedir(d);
    }
    return count;
}

// The file status flags of its one socket: O_NONBLOCK must be off once
// connected, or a momentarily full send buffer drops the connection.
bool socket_blocks(pid_t pid) {
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR *d = opendir(dir.c_str());
    if (!d) return false;
    bool blocks = false;
    while (dirent *e = readdir(d)) {
        char target[256];
        ssize_t n = readlink((dir + "/" + e->d_name).c_str(), target, sizeof target - 1);
        if (n <= 0 || std::string(target, static_cast<size_t>(n)).rfind("socket:", 0) != 0)
            continue;
        std::string info = ts::read_file("/proc/" + std::to_string(pid) + "/fdinfo/" + e->d_name);
        size_t at = info.find("flags:");
        if (at != std::string::npos)
            blocks = (std::stoul(info.substr(at + 6), nullptr, 8) & O_NONBLOCK) == 0;
    }
    closedir(d);
    return blocks;
}

TEST_F(Tracelink, RelaysBytesBothWaysOverTcp) {
    int listener = ts::bound_socket(SOCK_STREAM, "127.0.0.1", 0);
    ASSERT_GE(listener, 0);
    std::string port = std::to_string(ts::local_port(listener));
    // repeated options: the last one counts
    start({"-p", "1", "--client", "127.0.0.1", "-p", port, "-d", pty.slave_path});
    int conn = ts::accept_within(listener, 5000);
    ASSERT_GE(conn, 0);
    ASSERT_TRUE(logged("tracelink: app_conn_connected_cb:\n"));
    EXPECT_TRUE(socket_blocks(proc.pid));

    std::string up("\x7e\x01\x00\xffup", 6);
    ASSERT_TRUE(ts::write_all_fd(pty.master, up));
    EXPECT_EQ(ts::read_within(conn, up.size(), 3000), up);

    std::string down("down\x00\x7e", 6);
    ASSERT_TRUE(ts::write_all_fd(conn, down));
    EXPECT_EQ(ts::read_within(pty.master, down.size(), 3000), down);

    // many reads' and sends' worth arrives complete and in order
    std::string bulk;
    for (int i = 0; i < 1000003; ++i)
        bulk.push_back(static_cast<char>(i * 7 + i / 4095));
    std::thread writer([&] { EXPECT_TRUE(ts::write_all_fd(pty.master, bulk)); });
    EXPECT_TRUE(ts::read_within(conn, bulk.size(), 20000) == bulk);
    writer.join();

    EXPECT_TRUE(stop());
    close(conn);
    close(listener);
}

TEST_F(Tracelink, ReconnectsAboutFourSecondsAfterThePeerCloses) {
    int listener = ts::bound_socket(SOCK_STREAM, "127.0.0.1", 0);
    ASSERT_GE(listener, 0);
    start({"-t", "-c", "127.0.0.1", "-p", std::to_string(ts::local_port(listener)), "-d",
           pty.slave_path});
    int first = ts::accept_within(listener, 5000);
    ASSERT_GE(first, 0);
    ASSERT_TRUE(logged("app_conn_connected_cb"));

    // while connected the retry timer is gone: no second connection appears
    EXPECT_LT(ts::accept_within(listener, 4500), 0);

    close(first);
    long long closed_at = ts::now_ms();
    ASSERT_TRUE(logged("tracelink: app_conn_disconnected_cb:\n"));
    // read while disconnected: dropped, not kept for the next connection
    ASSERT_TRUE(ts::write_all_fd(pty.master, "lost"));

    int second = ts::accept_within(listener, 15000);
    long long elapsed = ts::now_ms() - closed_at;
    ASSERT_GE(second, 0);
    EXPECT_GE(elapsed, 3500);

    ASSERT_TRUE(
        ts::wait_until([&] { return ts::count_of(log(), "app_conn_connected_cb") == 2; }, 5000));
    ASSERT_TRUE(ts::write_all_fd(pty.master, "kept"));
    EXPECT_EQ(ts::read_within(second, 4, 3000), "kept");
    EXPECT_TRUE(stop());
    close(second);
    close(listener);
}

TEST_F(Tracelink, UdpCarriesSerialBytesAsDatagrams) {
    int peer = ts::bound_socket(SOCK_DGRAM, "127.0.0.1", 0);
    ASSERT_GE(peer, 0);
    // the device's system path resolves inside the router root
    ASSERT_EQ(symlink(pty.slave_path.c_str(), root.path("/dev/ttyUSB7").c_str()), 0);
    start({"-u", "-c", "127.0.0.1", "-p", std::to_string(ts::local_port(peer)), "-d",
           "/dev/ttyUSB7"});
    ASSERT_TRUE(logged("app_conn_connected_cb"));
    EXPECT_TRUE(socket_blocks(proc.pid));

    std::string bulk;
    for (int i = 0; i < 10000; ++i)
        bulk.push_back(static_cast<char>('a' + i % 26));
    ASSERT_TRUE(ts::write_all_fd(pty.master, bulk));

    std::string got;
    sockaddr_in from{};
    socklen_t from_len = sizeof from;
    while (got.size() < bulk.size()) {
        pollfd p{peer, POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 3000), 1) << "got " << got.size() << " bytes";
        char buf[65536];
        ssize_t n =
            recvfrom(peer, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &from_len);
        ASSERT_GT(n, 0);
        EXPECT_LE(n, 4095);
        got.append(buf, static_cast<size_t>(n));
    }
    EXPECT_EQ(got, bulk);

    std::string reply("reply\x7e", 6);
    ASSERT_EQ(
        sendto(peer, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr *>(&from), from_len),
        static_cast<ssize_t>(reply.size()));
    EXPECT_EQ(ts::read_within(pty.master, reply.size(), 3000), reply);
    EXPECT_TRUE(stop());
    close(peer);
}

TEST_F(Tracelink, ServerModeDrainsTheSerialPortAndOpensNoSocket) {
    // an unknown option is ignored
    start({"-x", "-s", "-p", "5000", "-d", pty.slave_path});
    ASSERT_TRUE(logged("tracelink: running\n"));
    ASSERT_TRUE(ts::write_all_fd(pty.master, std::string(3000, 'z')));
    EXPECT_TRUE(ts::wait_until([&] { return pty.pending_input() == 0; }, 3000));
    usleep(300000); // the retry timer has had its turn
    EXPECT_EQ(open_socket_count(proc.pid), 0);
    EXPECT_TRUE(proc.running());
    EXPECT_TRUE(stop());
}

TEST_F(Tracelink, IncompleteOptionsGiveStatusTwo) {
    const std::string &dev = pty.slave_path;
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"-c", "127.0.0.1", "-d", dev},
        {"-c", "127.0.0.1", "-p", "0", "-d", dev},
        {"-c", "127.0.0.1", "-p", "9"},
        {"-c", "", "-p", "9", "-d", dev},
        {"-s", "-d", dev},
        {"-c", "127.0.0.1", "-p", "70000", "-d", dev},
        {"-c", "127.0.0.1", "-p", "-5", "-d", dev},
        // texts longer than their 255 characters are refused, not cut
        {"-c", std::string(256, 'h'), "-p", "9", "-d", dev},
        {"-c", "127.0.0.1", "-p", "9", "-d", dev + std::string(256 - dev.size(), '/')},
    };
    for (const auto &args : cases) {
        ts::Process p;
        // the name the web back end knows it by
        std::vector<std::string> argv{ts::bin_path("tracelinkd")};
        argv.insert(argv.end(), args.begin(), args.end());
        ts::spawn(p, argv, root.env());
        ASSERT_TRUE(p.wait(5000));
        EXPECT_EQ(p.exit_code(), 2) << args.size() << " arguments";
    }
}

TEST_F(Tracelink, UnusableDeviceGivesStatus51) {
    ts::write_file(root.path("/tmp/plainfile"), "not a tty");
    for (const char *dev : {"/dev/ttyUSB9", "/tmp/plainfile"}) {
        ts::Process p;
        ts::spawn(p, {ts::bin_path("tracelink"), "-c", "127.0.0.1", "-p", "9", "-d", dev},
                  root.env());
        ASSERT_TRUE(p.wait(5000));
        EXPECT_EQ(p.exit_code(), 51) << dev;
    }
}

TEST(TracelinkSignals, SigintAndSigtermEndItInOrder) {
    for (int sig : {SIGINT, SIGTERM}) {
        ts::TempRoot root;
        ts::PtyPair pty;
        ts::Process p;
        ts::spawn(p, {ts::bin_path("tracelink"), "-p", "7", "-d", pty.slave_path}, root.env());
        std::string logfile = root.path("/tmp/tracelink.log");
        ASSERT_TRUE(
            ts::wait_until([&] { return ts::contains(ts::read_file(logfile), "running"); }, 5000));
        p.signal(sig);
        ASSERT_TRUE(p.wait(5000));
        EXPECT_EQ(p.exit_code(), 0) << strsignal(sig);
        EXPECT_EQ(ts::read_file(logfile), "tracelink: starting\ntracelink: running\n"
                                          "tracelink: exiting\ntracelink: exited\n");
    }
}

TEST_F(Tracelink, SerialEndOfFileEndsIt) {
    int listener = ts::bound_socket(SOCK_STREAM, "127.0.0.1", 0);
    ASSERT_GE(listener, 0);
    start(
        {"-c", "127.0.0.1", "-p", std::to_string(ts::local_port(listener)), "-d", pty.slave_path});
    int conn = ts::accept_within(listener, 5000);
    ASSERT_GE(conn, 0);
    ASSERT_TRUE(logged("app_conn_connected_cb"));

    pty.close_master();
    ASSERT_TRUE(proc.wait(5000));
    EXPECT_EQ(proc.exit_code(), 0);
    std::string text = log();
    size_t err = text.find("tracelink: app_serial_data_cb: serial error, exit!\n");
    ASSERT_NE(err, std::string::npos) << text;
    EXPECT_EQ(text.substr(err), "tracelink: app_serial_data_cb: serial error, exit!\n"
                                "tracelink: exiting\ntracelink: exited\n");
    // the peer sees the connection end
    EXPECT_EQ(ts::read_within(conn, 0, 2000), "");
    close(conn);
    close(listener);
}

} // namespace
