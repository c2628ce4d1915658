#include "log.h"

#include "platform.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <pthread.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr LogProgramConfig kPrograms[] = {
    {nullptr, nullptr, 0, false, "", "exception", "exit"},
    {"/tmp/lted.log", "/tmp/lted.log.1", 512000, true, "lted", "exception", "exit"},
    {"/tmp/cgi.log", "/tmp/cgi.log.1", 102400, false, "cgi", "except", "return"},
    {"/tmp/tracelink.log", "/tmp/tracelink.log.1", 102400, false, "tracelink", "exception", "exit"},
};

const LogProgramConfig *current = &kPrograms[0];
pthread_mutex_t log_lock = PTHREAD_MUTEX_INITIALIZER;

// t and mono: when the line is written (wall clock, boot clock).
__attribute__((format(printf, 4, 0))) size_t format_line(char *buf, time_t t, const timespec &mono,
                                                         const char *format, va_list ap) {
    size_t used = 0;
    if (current->time_header) {
        // The calendar part changes once a second: lines of the same second
        // (an AT exchange writes three) reuse it.
        static time_t date_of = -1;
        static char date[32];
        static size_t date_len;
        if (t != date_of) {
            struct tm tm {};
            localtime_r(&t, &tm);
            int n = snprintf(date, sizeof date, "%04d-%02d-%02d %02d:%02d:%02d ", tm.tm_year + 1900,
                             tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
            if (n < 0) return 0;
            date_len =
                static_cast<size_t>(n) < sizeof date ? static_cast<size_t>(n) : sizeof date - 1;
            date_of = t;
        }
        memcpy(buf, date, date_len);
        int n = snprintf(buf + date_len, LOG_LINE_MAX - date_len,
                         "%6lu.%03lu: ", static_cast<unsigned long>(mono.tv_sec),
                         static_cast<unsigned long>(mono.tv_nsec / 1000000));
        if (n < 0) return 0;
        used = date_len + static_cast<size_t>(n);
        if (used > LOG_LINE_MAX - 1) used = LOG_LINE_MAX - 1;
    }
    int n = vsnprintf(buf + used, LOG_LINE_MAX - used, format, ap);
    if (n < 0) return used;
    size_t total = used + static_cast<size_t>(n);
    return total < LOG_LINE_MAX ? total : LOG_LINE_MAX - 1;
}

// The log file stays open between lines; a line still goes to whatever file
// the name shows at that moment: one removed, rotated or replaced since the
// last line (another device or inode) is let go and the name opened anew.
struct OpenLog {
    int fd = -1;
    dev_t dev;
    ino_t ino;
    char path[512];
};
OpenLog open_log;

void close_log() {
    if (open_log.fd >= 0) close(open_log.fd);
    open_log.fd = -1;
}

void append(const char *line, size_t len) {
    RouterPath file(current->file);
    struct stat st;
    bool exists = stat(file.c_str(), &st) == 0;
    if (exists && st.st_size > current->threshold) {
        RouterPath rotated(current->rotated);
        rename(file.c_str(), rotated.c_str());
        exists = false;
    }
    if (open_log.fd >= 0 && (!exists || st.st_dev != open_log.dev || st.st_ino != open_log.ino ||
                             strcmp(open_log.path, file.c_str()) != 0))
        close_log();
    if (open_log.fd < 0) {
        // as fopen(..., "ae") would: created 0666 less the umask
        int fd = open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0 || fstat(fd, &st) != 0 || strlen(file.c_str()) >= sizeof open_log.path) {
            if (fd >= 0) close(fd);
            return;
        }
        open_log.fd = fd;
        open_log.dev = st.st_dev;
        open_log.ino = st.st_ino;
        strcpy(open_log.path, file.c_str());
    }
    // one append-mode write per line: lines of other processes never mix in
    ssize_t rc = write(open_log.fd, line, len);
    (void)rc;
}

// A child forked while another thread held the lock must still be able to log
// (the command runner's child logs a failed exec).
void lock_for_fork() {
    pthread_mutex_lock(&log_lock);
}
void unlock_after_fork() {
    pthread_mutex_unlock(&log_lock);
}
[[gnu::constructor]] void register_fork_handlers() {
    pthread_atfork(lock_for_fork, unlock_after_fork, unlock_after_fork);
}

} // namespace

void log_set_program(LogProgram program) {
    current = &kPrograms[static_cast<int>(program)];
}

const LogProgramConfig *log_program_config() {
    return current;
}

void __log_str(const char *format, ...) {
    if (!current->file) return;
    char buf[LOG_LINE_MAX];
    // The clocks are read first: the boot clock has a lock of its own, never
    // taken inside this one.
    time_t t = 0;
    timespec mono{};
    if (current->time_header) {
        timespec wall{};
        wall_clock_now(&wall);
        t = wall.tv_sec;
        boot_clock_now(&mono);
    }
    va_list ap;
    va_start(ap, format);
    // Formatted under the lock: localtime_r takes the C library's own lock,
    // which a fork must not catch held (see the fork handlers), or a child
    // that logs hangs.
    pthread_mutex_lock(&log_lock);
    size_t len = format_line(buf, t, mono, format, ap);
    va_end(ap);
    if (len > 0) append(buf, len);
    pthread_mutex_unlock(&log_lock);
}
