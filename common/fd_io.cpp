#include "fd_io.h"

#include "platform.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

// Milliseconds from now to the deadline, rounded up; 0 once it has passed.
int ms_until(const timespec *deadline) {
    timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) return 0;
    long long ns = (static_cast<long long>(deadline->tv_sec) - now.tv_sec) * 1000000000LL +
                   (deadline->tv_nsec - now.tv_nsec);
    if (ns <= 0) return 0;
    long long ms = (ns + 999999) / 1000000;
    return ms > 0x7fffffff ? 0x7fffffff : static_cast<int>(ms);
}

// Waits until fd takes more bytes. 0, -1 with errno, or FD_WRITE_TIMEOUT.
int wait_writable(int fd, const timespec *deadline) {
    for (;;) {
        int wait_ms = deadline ? ms_until(deadline) : -1;
        if (wait_ms == 0) {
            errno = ETIMEDOUT;
            return FD_WRITE_TIMEOUT;
        }
        pollfd p{fd, POLLOUT, 0};
        int r = poll(&p, 1, wait_ms);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -1;
        if (r > 0) return 0; // writable, or an error that the next write reports
    }
}

} // namespace

size_t fd_read_full(int fd, void *buf, size_t size) {
    auto *p = static_cast<char *>(buf);
    size_t got = 0;
    while (got < size) {
        ssize_t n = read(fd, p + got, size - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    return got;
}

int fd_write_all(int fd, const void *data, size_t length, const struct timespec *deadline) {
    const char *p = static_cast<const char *>(data);
    while (length > 0) {
        ssize_t n = write(fd, p, length);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            int rc = wait_writable(fd, deadline);
            if (rc != 0) return rc;
            continue;
        }
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return -1;
        }
        p += n;
        length -= static_cast<size_t>(n);
    }
    return 0;
}

int tty_open_raw(const char *system_path, const RawTtyOptions *options) {
    RouterPath path(system_path);
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return -1;
    termios t;
    bool ok = tcgetattr(fd, &t) == 0;
    if (ok) {
        t.c_iflag = options->iflag;
        t.c_oflag = 0;
        t.c_cflag = B115200 | CS8 | CREAD | CLOCAL | (options->rtscts ? CRTSCTS : 0);
        t.c_lflag = 0;
        if (options->clear_cc) {
            t.c_line = 0;
            memset(t.c_cc, 0, sizeof t.c_cc);
        }
        t.c_cc[VMIN] = options->vmin;
        t.c_cc[VTIME] = 0;
        cfsetispeed(&t, B115200);
        cfsetospeed(&t, B115200);
        ok = tcsetattr(fd, TCSANOW, &t) == 0;
    }
    if (ok && options->flush >= 0) ok = tcflush(fd, options->flush) == 0;
    if (!ok && options->fail_on_settings) {
        int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}
