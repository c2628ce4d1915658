// Platform layer: the one place where the programs meet the router's file
// system, clock, GPIO driver and Wi-Fi driver.
//
// Host builds run every program against a simulated router. When the
// environment variable ROUTER_ROOT names a directory, the system's absolute
// paths under these prefixes resolve below it:
//
//     /tmp  /var  /dev  /sys  /proc  /etc_ro  /bin  /sbin
//
// The same holds for paths that a program hands to another one: the program
// of a shell command line (RouterCommand) and paths inside arguments, which
// the caller passes through RouterPath before formatting them.
//
// Never mapped: "/dev/urandom", "/dev/null", "/dev/zero", "/dev/tty", "/dev/ptmx",
// "/dev/pts/..." and the process's own /proc entries ("/proc/self",
// "/proc/thread-self", "/proc/<own pid>"). Without ROUTER_ROOT every path
// stands as it is.
//
// The boot clock: on the router it is CLOCK_MONOTONIC and sleeps are real.
// On a host build under a root, the file "<root>/sim/clock" ("BOOT_NS FACTOR":
// the CLOCK_MONOTONIC nanoseconds of the simulated boot, negative for a
// router that has been up longer than this machine, and a whole speed-up
// factor) makes the boot clock count from that boot and run FACTOR times
// faster; every interval, sleep and time-out given in boot-clock time is then
// shortened by the same factor. Without the file the factor is 1.
//
// The wall clock: on the router it is the kernel's CLOCK_REALTIME. On a host
// build under a root, an optional third field of "<root>/sim/clock"
// ("BOOT_NS FACTOR WALL_OFFSET") moves it by WALL_OFFSET whole seconds, so
// that the simulated router can live on another date (after January 2038,
// say) than this machine; it runs at the real speed whatever the factor.
//
// Target builds contain none of this: paths stand as they are and the clock is
// the kernel's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

// A router sold today still runs after 19 January 2038: every build has a
// 64-bit time_t (on 32-bit glibc: _TIME_BITS=64, glibc 2.34 or newer).
static_assert(sizeof(time_t) >= 8, "time_t must be 64 bits wide: build with -D_TIME_BITS=64");

// An absolute system path as this process must open it.
class RouterPath {
  public:
    explicit RouterPath(const char *system_path);
    RouterPath(const RouterPath &) = delete;
    RouterPath &operator=(const RouterPath &) = delete;

    const char *c_str() const { return path_; }
    // False when the mapped path did not fit; c_str() is then "" so that
    // any use fails like a missing file.
    bool ok() const { return ok_; }

  private:
    const char *path_;
    bool ok_ = true;
#ifndef ROUTER_TARGET
    char buf_[512];
#endif
};

// A shell command line as this process must run it: on a host build under a
// root, an absolute program path at its start (its first word) resolves like
// RouterPath; the rest of the line stands as it is. Bare program names are
// left to PATH, where the simulated router's firmware stand-ins are found.
class RouterCommand {
  public:
    explicit RouterCommand(const char *command);
    RouterCommand(const RouterCommand &) = delete;
    RouterCommand &operator=(const RouterCommand &) = delete;

    const char *c_str() const { return line_; }
    // False when the mapped line did not fit; c_str() is then "" so that
    // running it fails.
    bool ok() const { return ok_; }

  private:
    const char *line_;
    bool ok_ = true;
#ifndef ROUTER_TARGET
    char buf_[4608];
#endif
};

// The root this process runs under, or null (always null on the target).
const char *router_root();

// Boot clock, in place of clock_gettime(CLOCK_MONOTONIC). 0 or -1.
int boot_clock_now(struct timespec *now);
// Boot clock in seconds and microseconds (nanoseconds / 1000, truncated),
// the time values of the event loop and the utilities; both 0 when the
// clock cannot be read. 0 or -1.
inline int boot_clock_usec(int32_t *sec, int32_t *usec) {
    *sec = 0;
    *usec = 0;
    timespec ts;
    if (boot_clock_now(&ts) != 0) return -1;
    *sec = static_cast<int32_t>(ts.tv_sec);
    *usec = static_cast<int32_t>(ts.tv_nsec / 1000);
    return 0;
}
// The wall clock (calendar time, UTC), in place of time(), gettimeofday()
// and clock_gettime(CLOCK_REALTIME): every date and time of day the programs
// log, show or act on comes from here. 0 or -1.
int wall_clock_now(struct timespec *now);

// Speed-up factor of the boot clock (1 on the target).
unsigned boot_clock_factor();
// A boot-clock interval as the real interval to wait.
void boot_clock_to_real(const struct timespec *interval, struct timespec *real);
// Absolute CLOCK_MONOTONIC time (for pthread_cond_timedwait on a
// CLOCK_MONOTONIC condition) at which a boot-clock interval from now ends.
int boot_clock_real_deadline(const struct timespec *interval, struct timespec *deadline);
// nanosleep() in boot-clock time; on interruption *remaining holds the
// boot-clock time left, as with nanosleep().
int boot_clock_nanosleep(const struct timespec *request, struct timespec *remaining);
// sleep() in boot-clock time, continuing after interruptions.
void boot_clock_sleep(unsigned seconds);
// Sleep for milliseconds of boot-clock time, continuing after interruptions.
void boot_clock_sleep_ms(unsigned ms);

// One request to the GPIO driver (request 0x41 on "/dev/gpio"). 0 or -1.
int gpio_driver_request(int pin, int on, int off, int blinks, int rests, int times);

// The Wi-Fi driver's station table of an interface ("ra0"): private wireless
// request 0x8BFF on a datagram socket, the driver filling reply (at most
// size bytes: a 32-bit entry count in host order, then the entries). The
// number of bytes the driver reports having filled (the rest of reply is
// left as it was), or -1.
// Host build: the reply is the content of "<root>/sim/<ifname>.stations"
// (bytes as the driver would write them) and its length; -1 without a root
// or without that file, as without a driver.
int wifi_station_table_request(const char *ifname, void *reply, size_t size);
