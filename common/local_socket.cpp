// Unix-domain stream sockets and the length-prefixed framing of the daemon's
// command socket.
#include "local_socket.h"

#include "fd_io.h"
#include "platform.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr size_t kPathMax = sizeof(sockaddr_un::sun_path) - 1; // 107

// Builds the address of length path bytes. A system path (starting with "/")
// resolves under the router root on host builds; an abstract name (first
// byte zero) stays as it is. Address length for bind/connect, or -22.
int unix_address(const char *path, size_t length, sockaddr_un *addr) {
    if (length > kPathMax) return SOCKET_EINVAL;
    memset(addr, 0, sizeof *addr);
    addr->sun_family = AF_UNIX;
    if (length == 0 || path[0] != '/') {
        if (length > 0) memcpy(addr->sun_path, path, length);
        return static_cast<int>(length + 2);
    }
    char system_path[kPathMax + 1];
    memcpy(system_path, path, length);
    system_path[length] = '\0';
    // bytes past a zero the caller counted (its terminator) stay part of the address
    size_t name_len = strlen(system_path);
    RouterPath mapped(system_path);
    size_t mapped_len = strlen(mapped.c_str());
    if (!mapped.ok() || mapped_len + (length - name_len) > kPathMax) return SOCKET_EINVAL;
    memcpy(addr->sun_path, mapped.c_str(), mapped_len);
    memcpy(addr->sun_path + mapped_len, path + name_len, length - name_len);
    return static_cast<int>(mapped_len + (length - name_len) + 2);
}

long long elapsed_ms(const timespec &start, const timespec &now) {
    long long sec = static_cast<long long>(now.tv_sec) - start.tv_sec;
    long nsec = now.tv_nsec - start.tv_nsec;
    if (nsec < 0) {
        sec -= 1;
        nsec += 1000000000L;
    }
    return sec * 1000 + nsec / 1000000;
}

// One frame, written before deadline (null: without limit). 0,
// FD_WRITE_TIMEOUT, or -1 (also when length does not fit the header).
int write_frame(int fd, const void *data, size_t length, const timespec *deadline) {
    uint32_t header = static_cast<uint32_t>(length);
    if (static_cast<size_t>(header) != length) return -1;
    // A signal or a short write in the header would leave the stream out of
    // step, so the header is written like the payload.
    int rc = fd_write_all(fd, &header, sizeof header, deadline);
    return rc == 0 ? fd_write_all(fd, data, length, deadline) : rc;
}

} // namespace

int socket_create(int domain, int type) {
    int fd = socket(domain, type, 0);
    if (fd < 0) return -1;
    if (fcntl(fd, F_SETFD, FD_CLOEXEC) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int socket_unix_bind(int sock, const char *path, size_t length) {
    sockaddr_un addr;
    int addr_len = unix_address(path, length, &addr);
    if (addr_len < 0) return addr_len;
    // a restarted daemon finds its old socket file still there
    if (length > 0 && addr.sun_path[0] != '\0') {
        struct stat st;
        if (stat(addr.sun_path, &st) == 0) unlink(addr.sun_path);
    }
    return bind(sock, reinterpret_cast<sockaddr *>(&addr), static_cast<socklen_t>(addr_len));
}

int socket_unix_connect(int sock, const char *path, size_t length) {
    sockaddr_un addr;
    int addr_len = unix_address(path, length, &addr);
    if (addr_len < 0) return addr_len;
    return connect(sock, reinterpret_cast<sockaddr *>(&addr), static_cast<socklen_t>(addr_len));
}

int socket_write_all(int fd, const void *data, size_t length) {
    return fd_write_all(fd, data, length, nullptr) == 0 ? 0 : -1;
}

int socket_write_size(int fd, const void *data, size_t length) {
    return write_frame(fd, data, length, nullptr) == 0 ? 0 : -1;
}

int socket_write_size_within(int fd, const void *data, size_t length, int limit_ms) {
    if (limit_ms < 0) return -1;
    timespec interval{static_cast<time_t>(limit_ms / 1000),
                      static_cast<long>(limit_ms % 1000) * 1000000L};
    timespec deadline;
    if (boot_clock_real_deadline(&interval, &deadline) != 0) return -1;
    int rc = write_frame(fd, data, length, &deadline);
    if (rc == FD_WRITE_TIMEOUT) return SOCKET_ETIMEDOUT;
    return rc == 0 ? 0 : -1;
}

int socket_read_size(int fd, void *buffer, size_t capacity, int limit_ms) {
    if (fd < 0 || fd >= FD_SETSIZE) return -1; // select() cannot watch it
    timespec start;
    if (boot_clock_now(&start) != 0) return -1;
    uint32_t header = 0;
    char *part = reinterpret_cast<char *>(&header);
    size_t want = sizeof header, got = 0;
    bool in_payload = false;
    bool first = true;
    for (;;) {
        long long wait_ms = limit_ms;
        if (!first) {
            timespec now;
            if (boot_clock_now(&now) != 0) return -1;
            long long spent = elapsed_ms(start, now);
            if (spent > limit_ms) return SOCKET_ETIMEDOUT;
            wait_ms = limit_ms - spent;
        }
        first = false;
        if (wait_ms < 0) wait_ms = 0;
        timespec boot_wait{static_cast<time_t>(wait_ms / 1000),
                           static_cast<long>(wait_ms % 1000) * 1000000L};
        timespec real_wait;
        boot_clock_to_real(&boot_wait, &real_wait);
        timeval tv{real_wait.tv_sec, static_cast<suseconds_t>(real_wait.tv_nsec / 1000)};
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(fd, &readable);
        int ready = select(fd + 1, &readable, nullptr, nullptr, &tv);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (ready == 0) return SOCKET_ETIMEDOUT;
        ssize_t n = read(fd, part + got, want - got);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            return -1;
        }
        if (n == 0) return -1; // peer closed
        got += static_cast<size_t>(n);
        if (got < want) continue;
        if (in_payload) return static_cast<int>(want);
        if (header == 0 || header > capacity || header > SOCKET_FRAME_MAX) return -1;
        part = static_cast<char *>(buffer);
        want = header;
        got = 0;
        in_payload = true;
    }
}
