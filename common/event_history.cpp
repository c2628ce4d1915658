#include "event_history.h"

#include "fd_io.h"
#include "platform.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool digit(char c) {
    return c >= '0' && c <= '9';
}

bool printable(char c) {
    return c >= ' ' && c <= '~';
}

} // namespace

int event_wall_time(char out[EVENT_TIME_LEN + 1]) {
    // the one reading of the wall clock in the history's writers
    timespec now{};
    tm local{};
    char text[32];
    // a year beyond 9999 would not fit the line's time field
    if (wall_clock_now(&now) == 0 && localtime_r(&now.tv_sec, &local) &&
        strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local) == EVENT_TIME_LEN) {
        memcpy(out, text, EVENT_TIME_LEN + 1);
        return 0;
    }
    memcpy(out, "1970-01-01 00:00:00", EVENT_TIME_LEN + 1);
    return -1;
}

size_t event_text_clean(char *out, size_t size, const char *text) {
    size_t limit = size - 1 < EVENT_TEXT_MAX ? size - 1 : EVENT_TEXT_MAX;
    size_t n = 0;
    for (; n < limit && text[n]; n++)
        out[n] = printable(text[n]) ? text[n] : '?';
    out[n] = '\0';
    return n;
}

bool event_time_valid(const char *s, size_t len) {
    static constexpr char kShape[] = "dddd-dd-dd dd:dd:dd";
    if (len < EVENT_TIME_LEN) return false;
    for (size_t i = 0; i < EVENT_TIME_LEN; i++)
        if (kShape[i] == 'd' ? !digit(s[i]) : s[i] != kShape[i]) return false;
    return true;
}

bool event_line_parse(const char *line, size_t len, EventLine *out) {
    if (!event_time_valid(line, len) || len < EVENT_TIME_LEN + 1 || line[EVENT_TIME_LEN] != ' ')
        return false;
    size_t i = EVENT_TIME_LEN + 1;
    unsigned long uptime = 0;
    size_t digits = 0;
    for (; i < len && digit(line[i]); i++, digits++) {
        if (digits == EVENT_UPTIME_DIGITS) return false;
        uptime = uptime * 10 + static_cast<unsigned long>(line[i] - '0');
    }
    if (digits == 0 || i >= len || line[i] != ' ') return false;
    const char *text = line + i + 1;
    size_t text_len = len - i - 1;
    if (text_len == 0 || text_len > EVENT_TEXT_MAX) return false;
    for (size_t k = 0; k < text_len; k++)
        if (!printable(text[k])) return false;
    memcpy(out->time, line, EVENT_TIME_LEN);
    out->time[EVENT_TIME_LEN] = '\0';
    out->uptime = uptime;
    out->text = text;
    out->text_len = text_len;
    return true;
}

const char *event_next_line(const char *text, size_t len, size_t *at, size_t *n) {
    if (*at >= len) return nullptr;
    const char *line = text + *at;
    const char *nl = static_cast<const char *>(memchr(line, '\n', len - *at));
    if (!nl) return nullptr;
    *n = static_cast<size_t>(nl - line);
    *at += *n + 1;
    return line;
}

void restart_value_make(const char *reason, char *out, size_t size) {
    char now[EVENT_TIME_LEN + 1];
    event_wall_time(now);
    snprintf(out, size, "%s %s", now, reason);
}

void restart_value_split(const char *value, char time[EVENT_TIME_LEN + 1], char *reason,
                         size_t size) {
    size_t len = strlen(value);
    time[0] = '\0';
    if (event_time_valid(value, len) && (len == EVENT_TIME_LEN || value[EVENT_TIME_LEN] == ' ')) {
        memcpy(time, value, EVENT_TIME_LEN);
        time[EVENT_TIME_LEN] = '\0';
        value += len == EVENT_TIME_LEN ? len : EVENT_TIME_LEN + 1;
    }
    event_text_clean(reason, size, value);
}

long event_file_tail(const char *system_path, char *buf, size_t size) {
    RouterPath path(system_path);
    // never waits on a named pipe put in the file's place
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return -1;
    struct stat st;
    // a longer file is read from one byte before its last size bytes: that
    // byte tells whether the part read begins a line
    bool tail = fstat(fd, &st) == 0 && st.st_size > static_cast<off_t>(size);
    char before = '\n';
    if (tail) {
        off_t start = st.st_size - static_cast<off_t>(size) - 1;
        if (lseek(fd, start, SEEK_SET) != start || read(fd, &before, 1) != 1) {
            close(fd);
            return -1;
        }
    }
    size_t got = fd_read_full(fd, buf, size);
    close(fd);
    if (before == '\n') return static_cast<long>(got);
    // the first line is only the end of one: drop it
    const char *nl = static_cast<const char *>(memchr(buf, '\n', got));
    size_t skip = nl ? static_cast<size_t>(nl - buf) + 1 : got;
    memmove(buf, buf + skip, got - skip);
    return static_cast<long>(got - skip);
}
