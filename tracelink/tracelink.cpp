// Diagnostic bridge daemon: relays the bytes of a serial device to a TCP or
// UDP peer and back, on one event loop, reconnecting every 4 seconds.
#include "event_loop.h"
#include "fd_io.h"
#include "log.h"
#include "platform.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr size_t kTextMax = 256;
constexpr size_t kReadMax = 4095;
// serial bytes sent to a stream peer at once: four reads cost a quarter of
// the sends of one read each, for 16 KiB of memory (sixteen save a little more
// CPU for 64 KiB)
constexpr size_t kBatchMax = 4 * kReadMax;
constexpr EventTime kRetryInterval{4, 0};

constexpr int kProtocolTcp = 0;
constexpr int kProtocolUdp = 1;
constexpr int kModeServer = 0;
constexpr int kModeClient = 1;

constexpr int kExitAlloc = 1;
constexpr int kExitUsage = 2;
constexpr int kExitLoop = 50;
constexpr int kExitSerial = 51;

} // namespace

struct BridgeState {
    char device[kTextMax]; // empty = not given
    int protocol;
    int mode;
    char host[kTextMax];
    int port; // 0 = not given
    EventLoop *loop;
    int serial_fd;
    int sock;
    int connected;
};

void app_conn_retry_cb(EventLoop *loop, void *arg);
void app_conn_data_cb(EventLoop *loop, int fd, int events, void *userdata);
void app_conn_connected_cb(BridgeState *st);
void app_conn_disconnected_cb(BridgeState *st);
void app_serial_data_cb(EventLoop *loop, int fd, int events, void *userdata);
void app_signal_cb(EventLoop *loop, int signum, void *userdata);

namespace {

// Options are kept in fixed fields. A longer text is refused rather than
// cut: a cut device path or host names another target. False when too long.
bool copy_text(char (&dst)[kTextMax], const char *src) {
    size_t n = strnlen(src, kTextMax);
    if (n == kTextMax) return false;
    memcpy(dst, src, n + 1);
    return true;
}

// False when an option text is too long for its field.
bool parse_options(BridgeState *st, int argc, char **argv) {
    static const option kLong[] = {
        {"tcp", no_argument, nullptr, 't'},
        {"udp", no_argument, nullptr, 'u'},
        {"server", no_argument, nullptr, 's'},
        {"client", required_argument, nullptr, 'c'},
        {"port", required_argument, nullptr, 'p'},
        {"device", required_argument, nullptr, 'd'},
        {nullptr, 0, nullptr, 0},
    };
    opterr = 0; // unknown options are ignored quietly
    bool fits = true;
    int c;
    while ((c = getopt_long(argc, argv, "tusc:p:d:", kLong, nullptr)) != -1) {
        switch (c) {
        case 't':
            st->protocol = kProtocolTcp;
            break;
        case 'u':
            st->protocol = kProtocolUdp;
            break;
        case 's':
            st->mode = kModeServer;
            break;
        case 'c':
            st->mode = kModeClient;
            fits = copy_text(st->host, optarg) && fits;
            break;
        case 'p':
            st->port = atoi(optarg);
            break;
        case 'd':
            fits = copy_text(st->device, optarg) && fits;
            break;
        default:
            break;
        }
    }
    return fits;
}

// The diagnostic port: 115200 8N1 without flow control, raw, queues emptied;
// a device whose settings cannot be made is refused.
constexpr RawTtyOptions kSerialTty{IGNBRK | IGNPAR, false, 1, false, TCIOFLUSH, true};

// Non-blocking, so that one wake-up can read until the port is empty; writes
// to it still wait until the port takes everything (fd_write_all).
int open_serial(const char *device) {
    int fd = tty_open_raw(device, &kSerialTty);
    if (fd >= 0) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

// After a lost or failed connection the next attempt comes one interval later.
void rearm_retry(BridgeState *st) {
    __event_add_time_callback(st->loop, &kRetryInterval, EVENT_TIME_REPEAT | EVENT_TIME_REPLACE,
                              app_conn_retry_cb, st);
}

void drop_connection(BridgeState *st) {
    app_conn_disconnected_cb(st);
    rearm_retry(st);
}

int set_blocking(int fd, bool blocking) {
    int fl = fcntl(fd, F_GETFL);
    if (fl < 0) return -1;
    fl = blocking ? (fl & ~O_NONBLOCK) : (fl | O_NONBLOCK);
    return fcntl(fd, F_SETFL, fl);
}

} // namespace

void app_conn_connected_cb(BridgeState *st) {
    __log_str("tracelink: %s:\n", __func__);
    st->connected = 1;
    __event_add_file_callback(st->loop, st->sock, EVENT_FILE_READ, app_conn_data_cb, st);
}

void app_conn_disconnected_cb(BridgeState *st) {
    __log_str("tracelink: %s:\n", __func__);
    if (st->sock >= 0) {
        event_del_file_callback(st->loop, st->sock);
        close(st->sock);
        st->sock = -1;
    }
    st->connected = 0;
}

void app_conn_retry_cb(EventLoop *loop, void *) {
    auto *st = static_cast<BridgeState *>(event_userdata(loop));
    if (st->mode != kModeClient || st->sock >= 0) return;

    char service[16];
    snprintf(service, sizeof service, "%u", static_cast<unsigned>(st->port));
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = st->protocol == kProtocolUdp ? SOCK_DGRAM : SOCK_STREAM;
    addrinfo *list = nullptr;
    if (getaddrinfo(st->host, service, &hints, &list) != 0) return;

    for (addrinfo *ai = list; ai; ai = ai->ai_next) {
        int fd =
            socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol);
        if (fd < 0) continue;
        if (connect(fd, ai->ai_addr, ai->ai_addrlen) == 0) {
            // like a socket whose connect completes later: a momentarily full
            // send buffer must wait, not drop the connection
            set_blocking(fd, true);
            st->sock = fd;
            app_conn_connected_cb(st);
            event_del_time_callback(loop, app_conn_retry_cb);
            break;
        }
        if (errno == EINPROGRESS) {
            st->sock = fd;
            __event_add_file_callback(loop, fd, EVENT_FILE_WRITE, app_conn_data_cb, st);
            event_del_time_callback(loop, app_conn_retry_cb);
            break;
        }
        close(fd);
    }
    freeaddrinfo(list);
}

void app_conn_data_cb(EventLoop *loop, int fd, int events, void *userdata) {
    auto *st = static_cast<BridgeState *>(userdata);
    if (fd != st->sock) return;

    if (events & EVENT_FILE_WRITE) {
        int err = 0;
        socklen_t len = sizeof err;
        event_del_file_callback(loop, fd);
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0) {
            set_blocking(fd, true);
            app_conn_connected_cb(st);
        } else {
            close(fd);
            st->sock = -1;
            rearm_retry(st);
        }
        return;
    }

    unsigned char buf[kReadMax];
    ssize_t n = read(fd, buf, sizeof buf);
    // a spurious wake-up on a socket that is still non-blocking is no loss
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) {
        drop_connection(st);
        return;
    }
    if (st->serial_fd >= 0) fd_write_all(st->serial_fd, buf, static_cast<size_t>(n), nullptr);
}

void app_serial_data_cb(EventLoop *loop, int fd, int, void *userdata) {
    auto *st = static_cast<BridgeState *>(userdata);
    // A stream peer takes what several reads brought in one write: one wake-up
    // and one send per batch instead of per read. A datagram stays one read.
    static unsigned char buf[kBatchMax];
    bool forward = st->sock >= 0 && st->connected && st->mode == kModeClient;
    size_t limit = forward && st->protocol == kProtocolTcp ? sizeof buf : kReadMax;
    size_t len = 0;
    bool failed = false;
    while (len + kReadMax <= limit) {
        ssize_t n = read(fd, buf + len, kReadMax);
        if (n > 0) {
            len += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR && len == 0) return;
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) break;
        failed = true;
        break;
    }
    if (forward && len > 0 && fd_write_all(st->sock, buf, len, nullptr) != 0) drop_connection(st);
    if (failed) {
        __log_str("tracelink: %s: serial error, exit!\n", __func__);
        event_exit(loop);
    }
}

void app_signal_cb(EventLoop *loop, int, void *) {
    event_exit(loop);
}

int main(int argc, char **argv) {
    log_set_program(LogProgram::Tracelink);
    __log_str("tracelink: starting\n");
    auto *st = static_cast<BridgeState *>(calloc(1, sizeof(BridgeState)));
    if (!st) {
        __log_str("tracelink: exiting\n");
        __log_str("tracelink: exited\n");
        return kExitAlloc;
    }
    st->serial_fd = -1;
    st->sock = -1;

    bool fits = parse_options(st, argc, argv);
    // a port beyond 16 bits could never be reached: refuse it like a missing one
    if (!fits || st->port <= 0 || st->port > 65535 || (st->mode == kModeClient && !st->host[0]) ||
        !st->device[0]) {
        free(st);
        return kExitUsage;
    }

    st->loop = event_create(st);
    if (!st->loop) {
        free(st);
        return kExitLoop;
    }

    st->serial_fd = open_serial(st->device);
    if (st->serial_fd < 0) {
        event_free(st->loop);
        free(st);
        return kExitSerial;
    }

    __event_add_file_callback(st->loop, st->serial_fd, EVENT_FILE_READ, app_serial_data_cb, st);
    __event_add_time_callback(st->loop, &kRetryInterval,
                              EVENT_TIME_NOW | EVENT_TIME_REPEAT | EVENT_TIME_REPLACE,
                              app_conn_retry_cb, st);

    signal(SIGPIPE, SIG_IGN);
    __event_add_signal_callback(st->loop, SIGINT, app_signal_cb, st);
    __event_add_signal_callback(st->loop, SIGTERM, app_signal_cb, st);
    __log_str("tracelink: running\n");
    int status = event_loop(st->loop);

    __log_str("tracelink: exiting\n");
    event_free(st->loop);
    if (st->serial_fd >= 0) close(st->serial_fd);
    if (st->sock >= 0) close(st->sock);
    free(st);
    __log_str("tracelink: exited\n");
    return status;
}
