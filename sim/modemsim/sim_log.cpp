// The simulator's log: one line per event, boot-clock stamped, written with
// a single write() so that tests reading it concurrently see whole lines.
#include "modemsim.h"

#include "fd_io.h"
#include "platform.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr size_t kLogLineMax = 640;
constexpr size_t kDataShown = 300; // longer data is shortened in the log

} // namespace

int64_t boot_now_ns() {
    timespec t;
    if (boot_clock_now(&t) != 0) return 0;
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

void sim_log_open(Sim *s) {
    s->log_fd = open(s->log_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (s->log_fd < 0) fprintf(stderr, "modemsim: %s: %s\n", s->log_path, strerror(errno));
}

void sim_log(Sim *s, const char *format, ...) {
    char line[kLogLineMax];
    int64_t now = boot_now_ns();
    int n = snprintf(line, sizeof line, "%lld.%03lld ", static_cast<long long>(now / 1000000000),
                     static_cast<long long>(now / 1000000 % 1000));
    va_list ap;
    va_start(ap, format);
    int m = vsnprintf(line + n, sizeof line - static_cast<size_t>(n) - 1, format, ap);
    va_end(ap);
    size_t len = static_cast<size_t>(n) + (m < 0 ? 0 : static_cast<size_t>(m));
    if (len > sizeof line - 2) len = sizeof line - 2;
    line[len++] = '\n';
    if (s->log_fd >= 0) fd_write_all(s->log_fd, line, len, nullptr);
}

size_t sim_escape(char *out, size_t size, const char *data, size_t len) {
    size_t o = 0;
    for (size_t i = 0; i < len; i++) {
        unsigned char c = static_cast<unsigned char>(data[i]);
        bool plain = c >= 0x20 && c < 0x7f && c != '\\';
        if (o + (plain ? 1 : 4) >= size) break;
        if (plain)
            out[o++] = static_cast<char>(c);
        else
            o += static_cast<size_t>(snprintf(out + o, size - o, "\\x%02x", c));
    }
    out[o] = '\0';
    return o;
}

void sim_log_data(Sim *s, const Port *p, char direction, const char *data, size_t len) {
    char text[kDataShown * 4 + 64];
    size_t shown = len > kDataShown ? kDataShown : len;
    size_t o = sim_escape(text, sizeof text, data, shown);
    if (shown < len) snprintf(text + o, sizeof text - o, "... (%zu bytes)", len);
    sim_log(s, "%s %c %s", p->name, direction, text);
}
