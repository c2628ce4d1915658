#include "at_line_reader.h"

#include "log.h"

#include <cstring>

namespace {

char *find_line_end(char *p) {
    if (char *e = strpbrk(p, "\r\n")) return e;
    // the SMS prompt comes without a line end
    if (p[0] == '>' && p[1] == ' ' && p[2] == '\0') return p + 2;
    return nullptr;
}

void skip_line_ends(AtLineReader *r) {
    while (*r->cur == '\r' || *r->cur == '\n')
        ++r->cur;
}

void empty_buffer(AtLineReader *r) {
    r->cur = r->end = r->buf;
    r->buf[0] = '\0';
}

// A NUL from the modem would hide everything behind it from the line search.
size_t drop_nuls(char *p, size_t n) {
    size_t out = 0;
    for (size_t i = 0; i < n; ++i)
        if (p[i] != '\0') p[out++] = p[i];
    return out;
}

} // namespace

void at_line_reader_reset(AtLineReader *r) {
    empty_buffer(r);
    r->skip_rest = false;
}

char *at_line_reader_next(AtLineReader *r, AtReadFn read, void *user) {
    char *eol = nullptr;
    if (r->cur == r->end) {
        empty_buffer(r);
    } else {
        skip_line_ends(r);
        eol = find_line_end(r->cur);
    }
    while (!eol) {
        // The unfinished line moves to the start: line ends read before it
        // must not take room from it, or a line that fits would be dropped.
        if (r->cur > r->buf) {
            size_t len = static_cast<size_t>(r->end - r->cur);
            memmove(r->buf, r->cur, len + 1);
            r->cur = r->buf;
            r->end = r->buf + len;
        }
        if (r->end - r->buf >= AT_BUFFER_SIZE) {
            __log_str("lted: ERROR: Input line exceeded buffer\n");
            empty_buffer(r);
            r->skip_rest = true;
        }
        char *fresh = r->end;
        ssize_t n = read(r->end, static_cast<size_t>(AT_BUFFER_SIZE - (r->end - r->buf)), user);
        if (n <= 0) return nullptr;
        r->end += drop_nuls(r->end, static_cast<size_t>(n));
        *r->end = '\0';
        if (r->skip_rest) {
            // the tail of an over-long line is no line of its own; it fills
            // the buffer like any line, so each fill is logged
            char *e = strpbrk(fresh, "\r\n");
            if (!e) continue;
            r->cur = e;
            r->skip_rest = false;
        }
        skip_line_ends(r);
        eol = find_line_end(r->cur);
    }
    char *line = r->cur;
    if (eol == r->end) {
        r->cur = r->end;
    } else {
        *eol = '\0';
        r->cur = eol + 1;
    }
    __log_str("lted: AT< %s\n", line);
    return line;
}
