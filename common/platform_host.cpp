// Host build of the platform layer: paths under ROUTER_ROOT, the simulated
// router's boot clock and the GPIO driver stand-in.
#include "fd_io.h"
#include "platform.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <string_view>
#include <unistd.h>

namespace {

constexpr std::string_view kMappedPrefixes[] = {"/tmp",  "/var",    "/dev", "/sys",
                                                "/proc", "/etc_ro", "/bin", "/sbin"};
constexpr std::string_view kUnmapped[] = {"/dev/urandom", "/dev/null",        "/dev/zero",
                                          "/dev/tty",     "/dev/ptmx",        "/dev/pts",
                                          "/proc/self",   "/proc/thread-self"};

// What follows pos (empty past the end). string_view::substr would bring
// the C++ library's exception machinery into every program, and with it
// some hundred kilobytes and page faults at each start.
std::string_view after(std::string_view text, size_t pos) {
    return pos < text.size() ? std::string_view(text.data() + pos, text.size() - pos)
                             : std::string_view();
}

// path equals prefix or continues below it
bool under(std::string_view path, std::string_view prefix) {
    return path.substr(0, prefix.size()) == prefix &&
           (path.size() == prefix.size() || path[prefix.size()] == '/');
}

bool own_proc_entry(std::string_view path) {
    if (!under(path, "/proc") || path.size() <= 6) return false;
    std::string_view rest = after(path, 6);
    size_t end = rest.find('/');
    std::string_view pid = rest.substr(0, end);
    char own[24];
    snprintf(own, sizeof own, "%ld", static_cast<long>(getpid()));
    return pid == own;
}

bool mapped(std::string_view path) {
    for (auto p : kUnmapped)
        if (under(path, p)) return false;
    if (own_proc_entry(path)) return false;
    for (auto p : kMappedPrefixes)
        if (under(path, p)) return true;
    return false;
}

constexpr int64_t kNsPerSec = 1000000000;

int64_t to_ns(const timespec &t) {
    return static_cast<int64_t>(t.tv_sec) * kNsPerSec + t.tv_nsec;
}
timespec from_ns(int64_t ns) {
    timespec t;
    t.tv_sec = static_cast<time_t>(ns / kNsPerSec);
    t.tv_nsec = static_cast<long>(ns % kNsPerSec);
    return t;
}

struct ClockSetting {
    char root[256];
    bool loaded;
    int64_t boot_ns;
    unsigned factor;
    int64_t wall_offset; // seconds
};

pthread_mutex_t clock_lock = PTHREAD_MUTEX_INITIALIZER;
ClockSetting clock_setting;

void lock_for_fork() {
    pthread_mutex_lock(&clock_lock);
}
void unlock_after_fork() {
    pthread_mutex_unlock(&clock_lock);
}
[[gnu::constructor]] void register_fork_handlers() {
    pthread_atfork(lock_for_fork, unlock_after_fork, unlock_after_fork);
}

// The clock file is read once per root.
void clock_current(int64_t *boot_ns, unsigned *factor, int64_t *wall_offset = nullptr) {
    const char *root = router_root();
    pthread_mutex_lock(&clock_lock);
    const char *key = root ? root : "";
    if (!clock_setting.loaded || strcmp(clock_setting.root, key) != 0) {
        snprintf(clock_setting.root, sizeof clock_setting.root, "%s", key);
        clock_setting.loaded = true;
        clock_setting.boot_ns = 0;
        clock_setting.factor = 1;
        clock_setting.wall_offset = 0;
        if (root) {
            char path[512];
            snprintf(path, sizeof path, "%s/sim/clock", root);
            if (FILE *f = fopen(path, "r")) {
                long long boot = 0, offset = 0;
                unsigned fac = 1;
                int fields = fscanf(f, "%lld %u %lld", &boot, &fac, &offset);
                if (fields >= 2 && fac >= 1) {
                    clock_setting.boot_ns = boot;
                    clock_setting.factor = fac;
                    if (fields == 3) clock_setting.wall_offset = offset;
                }
                fclose(f);
            }
        }
    }
    *boot_ns = clock_setting.boot_ns;
    *factor = clock_setting.factor;
    if (wall_offset) *wall_offset = clock_setting.wall_offset;
    pthread_mutex_unlock(&clock_lock);
}

} // namespace

const char *router_root() {
    const char *root = getenv("ROUTER_ROOT");
    return (root && root[0] == '/') ? root : nullptr;
}

RouterPath::RouterPath(const char *system_path) : path_(system_path) {
    const char *root = router_root();
    if (!root || !system_path || system_path[0] != '/' || !mapped(system_path)) return;
    int n = snprintf(buf_, sizeof buf_, "%s%s", root, system_path);
    if (n < 0 || static_cast<size_t>(n) >= sizeof buf_) {
        ok_ = false;
        buf_[0] = '\0';
    }
    path_ = buf_;
}

RouterCommand::RouterCommand(const char *command) : line_(command) {
    if (!command || command[0] != '/') return;
    std::string_view line(command);
    size_t end = line.find_first_of(" \t");
    std::string_view program = line.substr(0, end);
    char prog[512];
    if (program.size() >= sizeof prog) return; // not a path of ours: left to the shell
    memcpy(prog, program.data(), program.size());
    prog[program.size()] = '\0';
    RouterPath mapped_prog(prog);
    if (mapped_prog.c_str() == prog) return; // not mapped
    std::string_view rest = end == std::string_view::npos ? "" : after(line, end);
    int n = snprintf(buf_, sizeof buf_, "%s%.*s", mapped_prog.c_str(),
                     static_cast<int>(rest.size()), rest.data());
    if (!mapped_prog.ok() || n < 0 || static_cast<size_t>(n) >= sizeof buf_) {
        ok_ = false;
        buf_[0] = '\0';
    }
    line_ = buf_;
}

int boot_clock_now(struct timespec *now) {
    timespec real;
    if (clock_gettime(CLOCK_MONOTONIC, &real) != 0) return -1;
    int64_t boot;
    unsigned factor;
    clock_current(&boot, &factor);
    int64_t ns = to_ns(real) - boot;
    if (ns < 0) ns = 0;
    *now = from_ns(ns * factor);
    return 0;
}

int wall_clock_now(struct timespec *now) {
    timespec real;
    if (clock_gettime(CLOCK_REALTIME, &real) != 0) return -1;
    int64_t boot, offset;
    unsigned factor;
    clock_current(&boot, &factor, &offset);
    *now = real;
    now->tv_sec += static_cast<time_t>(offset);
    return 0;
}

unsigned boot_clock_factor() {
    int64_t boot;
    unsigned factor;
    clock_current(&boot, &factor);
    return factor;
}

void boot_clock_to_real(const struct timespec *interval, struct timespec *real) {
    *real = from_ns(to_ns(*interval) / boot_clock_factor());
}

int boot_clock_real_deadline(const struct timespec *interval, struct timespec *deadline) {
    timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) return -1;
    *deadline = from_ns(to_ns(now) + to_ns(*interval) / boot_clock_factor());
    return 0;
}

int boot_clock_nanosleep(const struct timespec *request, struct timespec *remaining) {
    unsigned factor = boot_clock_factor();
    timespec real = from_ns(to_ns(*request) / factor), left{};
    int rc = nanosleep(&real, &left);
    if (rc != 0 && remaining) *remaining = from_ns(to_ns(left) * factor);
    return rc;
}

void boot_clock_sleep_ms(unsigned ms) {
    timespec req = from_ns(static_cast<int64_t>(ms) * 1000000), left;
    while (boot_clock_nanosleep(&req, &left) != 0 && errno == EINTR)
        req = left;
}

void boot_clock_sleep(unsigned seconds) {
    boot_clock_sleep_ms(seconds * 1000u);
}

// The GPIO stand-in records every request as one line "PIN ON OFF BLINKS RESTS
// TIMES" in the file that "/dev/gpio" maps to; the modem simulator and the
// tests read it. Without a root there is no device.
int gpio_driver_request(int pin, int on, int off, int blinks, int rests, int times) {
    if (!router_root()) {
        errno = ENOENT;
        return -1;
    }
    RouterPath dev("/dev/gpio");
    int fd = open(dev.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    char line[96];
    int n = snprintf(line, sizeof line, "%d %d %d %d %d %d\n", pin, on, off, blinks, rests, times);
    ssize_t w;
    do {
        w = write(fd, line, static_cast<size_t>(n)); // one write: lines never interleave
    } while (w < 0 && errno == EINTR);
    close(fd);
    return w == n ? 0 : -1;
}

int wifi_station_table_request(const char *ifname, void *reply, size_t size) {
    const char *root = router_root();
    char path[512];
    if (!root || snprintf(path, sizeof path, "%s/sim/%s.stations", root, ifname) >=
                     static_cast<int>(sizeof path)) {
        errno = ENODEV;
        return -1;
    }
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    size_t got = fd_read_full(fd, reply, size);
    close(fd);
    return static_cast<int>(got);
}
