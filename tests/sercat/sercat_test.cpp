// sercat against a pty standing in for the serial device and a local server on
// port 2500. The port is fixed, so every test has loopback addresses of its own.
#include <gtest/gtest.h>
#include <pty_pair.h>
#include <test_support.h>

#include <csignal>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <vector>

namespace {

constexpr int kPort = 2500;

// A socket on a loopback address:2500 that no other test holds: listening,
// or only bound (a connect there is refused). The addresses follow from the
// process id (ctest runs each test in a process of its own), so test runs
// side by side do not meet; one that is taken anyway is passed over.
int own_address(bool listening, std::string *addr) {
    static unsigned next = static_cast<unsigned>(getpid()) * 4;
    for (int tries = 0; tries < 256; ++tries, ++next) {
        // 127.1.0.1 to 127.250.255.250: clear of 127.0.x.x, which others use
        unsigned v = next % (250u * 256 * 250);
        *addr = "127." + std::to_string(1 + v / (256 * 250)) + "." +
                std::to_string(v / 250 % 256) + "." + std::to_string(1 + v % 250);
        int fd = listening ? ts::bound_socket(SOCK_STREAM, *addr, kPort)
                           : socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (!listening && fd >= 0) {
            sockaddr_in a = ts::inet_address(*addr, kPort);
            if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
                close(fd);
                fd = -1;
            }
        }
        if (fd >= 0) {
            ++next;
            return fd;
        }
    }
    return -1;
}

// What it prints when it stops: the serial thread may still say that it
// ends before the process is gone.
bool stop_output(const std::string &out, const std::string &expected) {
    return out == expected || out == expected + "Exit serial_thread\n";
}

// One sercat connected to the test's server.
struct Session {
    Session() { listener = own_address(true, &addr); }
    ~Session() {
        if (conn >= 0) close(conn);
        if (listener >= 0) close(listener);
    }
    // Starts sercat on the pty (or another device) and takes its connection.
    bool start(const std::string &device = "") {
        if (listener < 0) return false;
        ts::spawn(proc, {ts::bin_path("sercat"), addr, device.empty() ? pty.slave_path : device});
        conn = ts::accept_within(listener, 5000);
        return conn >= 0;
    }
    bool ended_with(int code) { return proc.wait(5000) && proc.exit_code() == code; }

    std::string addr;
    ts::PtyPair pty;
    ts::Process proc;
    int listener = -1;
    int conn = -1;
};

ts::Process run_to_end(const std::vector<std::string> &args) {
    ts::Process p;
    std::vector<std::string> argv{ts::bin_path("sercat")};
    argv.insert(argv.end(), args.begin(), args.end());
    ts::spawn(p, argv);
    p.wait(5000);
    return p;
}

TEST(Sercat, WithoutArgumentsPrintsUsage) {
    ts::Process p;
    std::string bin = ts::bin_path("sercat");
    ts::spawn(p, {bin});
    ASSERT_TRUE(p.wait(5000));
    EXPECT_EQ(p.exit_code(), 0);
    EXPECT_EQ(p.out(), "Usage: " + bin + " <address> [device]\nDefault device: /dev/ttyUSB0\n");
}

TEST(Sercat, StartUpFailuresExitWithStatusOne) {
    ts::PtyPair pty;
    std::string nobody;
    int held = own_address(false, &nobody); // bound, not listening
    ASSERT_GE(held, 0);
    ts::Process refused = run_to_end({nobody, pty.slave_path});
    EXPECT_EQ(refused.exit_code(), 1);
    EXPECT_TRUE(ts::contains(refused.err(), "connect: ")) << refused.err();
    close(held);

    ts::Process no_device = run_to_end({nobody, "/nonexistent/ttyUSB0"});
    EXPECT_EQ(no_device.exit_code(), 1);
    EXPECT_TRUE(ts::contains(no_device.err(), "init_serial: ")) << no_device.err();

    ts::Process bad_address = run_to_end({"127.0.25", pty.slave_path});
    EXPECT_EQ(bad_address.exit_code(), 1);
    EXPECT_TRUE(ts::contains(bad_address.err(), "Invalid address")) << bad_address.err();
}

TEST(Sercat, DevicePathIsKeptUpTo127Characters) {
    Session s;
    ASSERT_GE(s.listener, 0);
    char tmpl[] = "/tmp/sercat-dev-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string dir = tmpl;
    std::string longest = dir + "/" + std::string(127 - dir.size() - 1, 'd');
    ASSERT_EQ(longest.size(), 127u);
    ASSERT_EQ(symlink(s.pty.slave_path.c_str(), longest.c_str()), 0);

    ts::Process too_long = run_to_end({s.addr, longest + "x"});
    EXPECT_EQ(too_long.exit_code(), 1);
    EXPECT_TRUE(ts::contains(too_long.err(), "too long")) << too_long.err();
    EXPECT_LT(ts::accept_within(s.listener, 200), 0); // refused before connecting

    ASSERT_TRUE(s.start(longest));
    ASSERT_TRUE(ts::write_all_fd(s.conn, "path~"));
    EXPECT_EQ(ts::read_within(s.pty.master, 5, 3000), "path~");
    unlink(longest.c_str());
    rmdir(dir.c_str());
}

TEST(Sercat, NetworkBytesReachTheSerialPortAsWholeFrames) {
    Session s;
    ASSERT_TRUE(s.start());
    ASSERT_TRUE(ts::write_all_fd(s.conn, "ab~cd"));
    EXPECT_EQ(ts::read_within(s.pty.master, 3, 3000), "ab~");
    EXPECT_EQ(ts::read_within(s.pty.master, 0, 300), ""); // c, d wait for their end
    ASSERT_TRUE(ts::write_all_fd(s.conn, "e~"));
    EXPECT_EQ(ts::read_within(s.pty.master, 4, 3000), "cde~");

    // two frames in one receive, in order
    ASSERT_TRUE(ts::write_all_fd(s.conn, "f1~g22~"));
    EXPECT_EQ(ts::read_within(s.pty.master, 7, 3000), "f1~g22~");

    // the longest frame kept passes whole; a longer one is dropped up to its end
    std::string longest = std::string(4099, 'L') + "~";
    ASSERT_TRUE(ts::write_all_fd(s.conn, longest));
    EXPECT_EQ(ts::read_within(s.pty.master, longest.size(), 3000), longest);
    ASSERT_TRUE(ts::write_all_fd(s.conn, std::string(4101, 'x')));
    usleep(100000);
    ASSERT_TRUE(ts::write_all_fd(s.conn, "tail~short~"));
    EXPECT_EQ(ts::read_within(s.pty.master, 6, 3000), "short~");
    EXPECT_EQ(ts::read_within(s.pty.master, 0, 300), "");
    EXPECT_TRUE(s.proc.running());
}

TEST(Sercat, SerialBytesReachTheServerAsWholeFrames) {
    Session s;
    ASSERT_TRUE(s.start());
    ASSERT_TRUE(ts::write_all_fd(s.pty.master, "hello~wor"));
    EXPECT_EQ(ts::read_within(s.conn, 6, 3000), "hello~");
    EXPECT_EQ(ts::read_within(s.conn, 0, 300), "");
    // a short end of a frame is not held back for later traffic
    ASSERT_TRUE(ts::write_all_fd(s.pty.master, "ld~"));
    EXPECT_EQ(ts::read_within(s.conn, 6, 3000), "world~");

    ASSERT_TRUE(ts::write_all_fd(s.pty.master, std::string(5000, 'x')));
    usleep(100000);
    ASSERT_TRUE(ts::write_all_fd(s.pty.master, "~ok~"));
    EXPECT_EQ(ts::read_within(s.conn, 3, 3000), "ok~");
    EXPECT_EQ(ts::read_within(s.conn, 0, 300), "");
}

TEST(Sercat, ServerCloseEndsItWithStatusZero) {
    Session s;
    ASSERT_TRUE(s.start());
    ASSERT_TRUE(ts::write_all_fd(s.pty.master, "x~"));
    ASSERT_EQ(ts::read_within(s.conn, 2, 3000), "x~"); // both threads are up
    close(s.conn);
    s.conn = -1;
    ASSERT_TRUE(s.ended_with(0));
    EXPECT_PRED2(stop_output, s.proc.out(), "Server Close\nRecv SIGINT\n");
}

TEST(Sercat, SigintEndsItWithStatusZero) {
    Session s;
    ASSERT_TRUE(s.start());
    ASSERT_TRUE(ts::write_all_fd(s.pty.master, "x~"));
    ASSERT_EQ(ts::read_within(s.conn, 2, 3000), "x~"); // both threads are up
    s.proc.signal(SIGINT);
    ASSERT_TRUE(s.ended_with(0));
    EXPECT_PRED2(stop_output, s.proc.out(), "Recv SIGINT\n");
    EXPECT_EQ(ts::read_within(s.conn, 0, 2000), ""); // the connection was closed
}

TEST(Sercat, PeerGoneWhileSerialFramesGoOutIsAnOrderlyClose) {
    Session s;
    ASSERT_TRUE(s.start());
    // fill the serial side: the main thread blocks writing to the device
    fcntl(s.conn, F_SETFL, O_NONBLOCK);
    std::string frames;
    for (int i = 0; i < 512; ++i)
        frames += std::string(1023, 'f') + "~";
    ssize_t sent = send(s.conn, frames.data(), frames.size(), MSG_NOSIGNAL);
    ASSERT_GT(sent, 0);
    usleep(300000);

    // the server goes away at once while frames keep coming from the device
    linger hard{1, 0};
    setsockopt(s.conn, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close(s.conn);
    s.conn = -1;
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(ts::write_all_fd(s.pty.master, "ping~"));
        usleep(50000);
    }
    usleep(200000);
    ASSERT_TRUE(s.proc.running()) << "status " << s.proc.status;

    // once the device side is drained it notices the close itself
    ASSERT_TRUE(ts::wait_until(
        [&] {
            ts::read_within(s.pty.master, 0, 50);
            return !s.proc.running();
        },
        10000));
    EXPECT_EQ(s.proc.exit_code(), 0);
    EXPECT_TRUE(ts::contains(s.proc.out(), "Server Close\nRecv SIGINT\n")) << s.proc.out();
}

// The modem is power-cycled under it: its device hangs up and comes back as
// a new tty. The serial side must find it again although the server only
// listens.
TEST(Sercat, AHungUpDeviceIsReopenedFromTheSerialSide) {
    Session s;
    ASSERT_GE(s.listener, 0);
    char tmpl[] = "/tmp/sercat-dev-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string dir = tmpl, link = dir + "/ttyUSB0";
    ASSERT_EQ(symlink(s.pty.slave_path.c_str(), link.c_str()), 0);
    ASSERT_TRUE(s.start(link));
    s.pty.close_master();
    usleep(1500000);
    EXPECT_TRUE(s.proc.running());
    EXPECT_LE(ts::count_of(s.proc.err(), "serial read"), 5u) << s.proc.err().substr(0, 200);

    ts::PtyPair back;
    std::string tmp = dir + "/new";
    ASSERT_EQ(symlink(back.slave_path.c_str(), tmp.c_str()), 0);
    ASSERT_EQ(rename(tmp.c_str(), link.c_str()), 0);
    ASSERT_TRUE(ts::wait_until(
        [&] {
            ts::write_all_fd(back.master, "back~");
            return ts::read_within(s.conn, 5, 200) == "back~";
        },
        10000));
    s.proc.signal(SIGINT);
    ASSERT_TRUE(s.ended_with(0));
    EXPECT_PRED2(stop_output, s.proc.out(), "Recv SIGINT\n");
    unlink(link.c_str());
    rmdir(dir.c_str());
}

} // namespace
