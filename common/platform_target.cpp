// Router build of the platform layer: the system's own paths, clock and driver.
#include "platform.h"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <cstring>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
constexpr unsigned long kGpioPatternRequest = 0x41;

struct GpioPattern {
    int32_t pin, on, off, blinks, rests, times;
};

constexpr unsigned long kStationTableRequest = 0x8BFF; // the driver's private request

// The kernel's wireless request record: the interface name, then a 16-byte
// union of which the data variant (pointer, length, flags) is used.
struct WirelessRequest {
    char name[16];
    union {
        struct {
            void *pointer;
            uint16_t length;
            uint16_t flags;
        } data;
        char raw[16];
    } u;
};
} // namespace

const char *router_root() {
    return nullptr;
}

RouterPath::RouterPath(const char *system_path) : path_(system_path) {}

RouterCommand::RouterCommand(const char *command) : line_(command) {}

int boot_clock_now(struct timespec *now) {
    return clock_gettime(CLOCK_MONOTONIC, now);
}

int wall_clock_now(struct timespec *now) {
    return clock_gettime(CLOCK_REALTIME, now);
}

unsigned boot_clock_factor() {
    return 1;
}

void boot_clock_to_real(const struct timespec *interval, struct timespec *real) {
    *real = *interval;
}

int boot_clock_real_deadline(const struct timespec *interval, struct timespec *deadline) {
    if (clock_gettime(CLOCK_MONOTONIC, deadline) != 0) return -1;
    deadline->tv_sec += interval->tv_sec;
    deadline->tv_nsec += interval->tv_nsec;
    if (deadline->tv_nsec >= 1000000000L) {
        deadline->tv_nsec -= 1000000000L;
        deadline->tv_sec += 1;
    }
    return 0;
}

int boot_clock_nanosleep(const struct timespec *request, struct timespec *remaining) {
    return nanosleep(request, remaining);
}

void boot_clock_sleep_ms(unsigned ms) {
    timespec req{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L}, left;
    while (nanosleep(&req, &left) != 0 && errno == EINTR)
        req = left;
}

void boot_clock_sleep(unsigned seconds) {
    boot_clock_sleep_ms(seconds * 1000u);
}

int gpio_driver_request(int pin, int on, int off, int blinks, int rests, int times) {
    int fd = open("/dev/gpio", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    GpioPattern p{pin, on, off, blinks, rests, times};
    int rc = ioctl(fd, kGpioPatternRequest, &p);
    close(fd);
    return rc < 0 ? -1 : 0;
}

int wifi_station_table_request(const char *ifname, void *reply, size_t size) {
    if (size > 0xFFFF) return -1; // the request's length field is 16 bits
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    WirelessRequest req;
    memset(&req, 0, sizeof req);
    strncpy(req.name, ifname, sizeof req.name - 1);
    req.u.data.pointer = reply;
    req.u.data.length = static_cast<uint16_t>(size);
    int rc = ioctl(fd, kStationTableRequest, &req);
    close(fd);
    if (rc < 0) return -1;
    // the driver sets the length to what it copied out
    return req.u.data.length < size ? req.u.data.length : static_cast<int>(size);
}
