// Serial-to-network client: connects to TCP port 2500 of a server and relays
// 0x7E-terminated frames between that connection and a serial device, one
// thread per direction.
#include "fd_io.h"
#include "frame.h"
#include "platform.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr const char *kDefaultDevice = "/dev/ttyUSB0";
constexpr unsigned short kServerPort = 2500;
constexpr size_t kDevicePathMax = 127;

// Shared by both threads and the SIGINT handler; lock-free atomics are safe
// to touch from a signal handler.
char g_device[kDevicePathMax + 1];
std::atomic<int> g_sock{-1};
std::atomic<int> g_serial_fd{-1};
// Held by a write to the device and by its close: the serial thread may
// close a hung-up device while the main thread writes a frame to it, and the
// number may come back at once for the reopened one.
pthread_mutex_t g_serial_lock = PTHREAD_MUTEX_INITIALIZER;
struct SerialHold {
    SerialHold() { pthread_mutex_lock(&g_serial_lock); }
    ~SerialHold() { pthread_mutex_unlock(&g_serial_lock); }
    SerialHold(const SerialHold &) = delete;
    SerialHold &operator=(const SerialHold &) = delete;
};
std::atomic<int> g_stop{0};     // seen by the serial thread
std::atomic<int> g_stopping{0}; // the stop handler runs once

FrameBuffer g_net_frames;    // network to serial, main thread only
FrameBuffer g_serial_frames; // serial to network, serial thread only

template <size_t N> void say(const char (&line)[N]) {
    ssize_t rc = write(STDOUT_FILENO, line, N - 1);
    (void)rc;
}

// Ends the program with status 0. Everything here is async-signal-safe, as
// SIGINT runs it in whichever thread the signal lands on.
void stop_handler() {
    if (g_stopping.exchange(1) != 0) return; // the other path is already ending it
    say("Recv SIGINT\n");
    // set only now: a serial thread that sees it and says so before the
    // exit below says so after this line
    g_stop.store(1);
    // The exit closes the socket and the device; closing them here would
    // pull them from under the other thread's read or send.
    _exit(0);
}

void on_sigint(int) {
    stop_handler();
}

int frame_to_serial(const unsigned char *frame, size_t len, void *) {
    SerialHold hold;
    int fd = g_serial_fd.load();
    if (fd < 0) return 0; // lost until the device opens again
    if (fd_write_all(fd, frame, len, nullptr) != 0) {
        // not closed here: the serial thread may be reading it, and sees
        // the hang-up itself
        perror("serial write");
        return -1;
    }
    return 0;
}

int frame_to_network(const unsigned char *frame, size_t len, void *) {
    int sock = g_sock.load();
    // a peer that went away must not kill us with SIGPIPE; the main thread
    // sees the close and stops in order
    if (sock >= 0) send(sock, frame, len, MSG_NOSIGNAL);
    return 0;
}

} // namespace

// raw, 115200 8N1 without flow control; a read wakes for every byte, so the
// end of a frame never waits for later traffic
constexpr RawTtyOptions kSerialTty{IGNPAR, false, 1, true, TCIFLUSH, false};

int init_serial(const char *device) {
    return tty_open_raw(device, &kSerialTty);
}

namespace {

// Opens the device again when it is closed; either thread may.
void reopen_serial() {
    int fd = init_serial(g_device);
    int none = -1;
    if (fd >= 0 && !g_serial_fd.compare_exchange_strong(none, fd)) close(fd);
}

} // namespace

void *serial_thread(void *) {
    static unsigned char buf[FRAME_READ_MAX];
    frame_reset(&g_serial_frames);
    for (;;) {
        if (g_stop.load()) {
            say("Exit serial_thread\n");
            SerialHold hold;
            int fd = g_serial_fd.exchange(-1);
            if (fd >= 0) close(fd);
            return nullptr;
        }
        int fd = g_serial_fd.load();
        if (fd < 0) {
            // once a second until the device is back: a server that only
            // listens never makes the other thread reopen it
            boot_clock_sleep(1);
            frame_reset(&g_serial_frames);
            reopen_serial();
            continue;
        }
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            perror(n < 0 ? "serial read -1" : "serial read else");
            frame_reset(&g_serial_frames);
            // the device hung up (the modem is power-cycled): it comes back
            // as a new tty, so this one is done with
            SerialHold hold;
            if (g_serial_fd.compare_exchange_strong(fd, -1)) close(fd);
            continue;
        }
        // the server gets the whole frames of one read in one send: over TCP
        // it sees the same bytes, at a fraction of the sends
        frame_feed(&g_serial_frames, buf, static_cast<size_t>(n), frame_to_network, nullptr, true);
    }
}

int main(int argc, char **argv) {
    if (argc < 2) {
        printf("Usage: %s <address> [device]\n", argv[0]);
        printf("Default device: %s\n", kDefaultDevice);
        return 0;
    }
    const char *device = argc > 2 ? argv[2] : kDefaultDevice;
    size_t device_len = strlen(device);
    if (device_len > kDevicePathMax) {
        fprintf(stderr, "Device path too long: %zu characters, at most %zu\n", device_len,
                kDevicePathMax);
        return 1;
    }
    memcpy(g_device, device, device_len + 1);

    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(kServerPort);
    // a mistyped address must not silently become this router's own port
    if (inet_pton(AF_INET, argv[1], &server.sin_addr) != 1) {
        fprintf(stderr, "Invalid address: %s\n", argv[1]);
        return 1;
    }

    int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        perror("sock");
        return 1;
    }
    int fd = init_serial(g_device);
    if (fd < 0) {
        perror("init_serial");
        close(sock);
        return 1;
    }
    if (connect(sock, reinterpret_cast<sockaddr *>(&server), sizeof server) != 0) {
        perror("connect");
        close(fd);
        close(sock);
        return 1;
    }

    g_sock.store(sock);
    g_serial_fd.store(fd);
    struct sigaction sa {};
    sa.sa_handler = on_sigint;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);

    pthread_t thread;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    int rc = pthread_create(&thread, &attr, serial_thread, nullptr);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        errno = rc;
        perror("pthread_create");
        return 255;
    }

    static unsigned char buf[FRAME_READ_MAX];
    frame_reset(&g_net_frames);
    for (;;) {
        ssize_t n = recv(sock, buf, sizeof buf, 0);
        if (n < 0) {
            if (errno != EINTR) perror("recv");
            continue;
        }
        if (n == 0) {
            say("Server Close\n");
            stop_handler();
            for (;;)
                pause(); // SIGINT got there first and is ending the program
        }
        if (g_serial_fd.load() < 0) reopen_serial();
        frame_feed(&g_net_frames, buf, static_cast<size_t>(n), frame_to_serial, nullptr);
    }
}
