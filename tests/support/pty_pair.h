// A pseudo-terminal standing in for a serial device, and the socket and
// descriptor helpers of the serial bridge tests.
#pragma once

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include "test_support.h"

namespace ts {

// The program opens slave_path as its device; the test plays the far end on
// master. The test keeps a slave descriptor of its own so that the master
// never reads as hung up while the program has the device closed. Neither
// descriptor is inherited by spawned programs.
struct PtyPair {
    int master = -1;
    int slave = -1;
    std::string slave_path;

    PtyPair() {
        master = open("/dev/ptmx", O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) abort();
        slave_path = ptsname(master);
        slave = open(slave_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (slave < 0) abort();
        termios tio;
        for (int fd : {master, slave}) {
            tcgetattr(fd, &tio);
            cfmakeraw(&tio);
            tcsetattr(fd, TCSANOW, &tio);
        }
    }
    ~PtyPair() {
        close_master();
        if (slave >= 0) close(slave);
    }
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    void close_master() {
        if (master >= 0) close(master);
        master = -1;
    }
    // Bytes waiting to be read on the device side.
    int pending_input() const {
        int n = -1;
        ioctl(slave, FIONREAD, &n);
        return n;
    }
};

inline bool write_all_fd(int fd, const std::string &data) {
    size_t off = 0;
    while (off < data.size()) {
        ssize_t n = write(fd, data.data() + off, data.size() - off);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        off += static_cast<size_t>(n);
    }
    return true;
}

// Reads until `want` bytes have come (0: until the time is up), the stream
// ends or `ms` pass.
inline std::string read_within(int fd, size_t want, int ms) {
    std::string got;
    long long end = now_ms() + ms;
    while (want == 0 || got.size() < want) {
        long long left = end - now_ms();
        if (left <= 0) break;
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        char buf[8192];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

inline sockaddr_in inet_address(const std::string &ip, int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
    return a;
}

// A socket bound to ip:port (0: any free port); a listening one for streams.
inline int bound_socket(int type, const std::string &ip, int port) {
    int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = inet_address(ip, port);
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        (type == SOCK_STREAM && listen(fd, 8) != 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

inline int local_port(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    return ntohs(a.sin_port);
}

// The next connection on a listening socket, or -1 after ms.
inline int accept_within(int listener, int ms) {
    pollfd p{listener, POLLIN, 0};
    if (poll(&p, 1, ms) <= 0) return -1;
    return accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
}

} // namespace ts
