// Bytes in and out of the ptys: command line assembly, the output queue that
// waits for the pty to take more, and answers held back by "slow".
#include "modemsim.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

struct Delayed {
    Delayed *next;
    int64_t due;
    size_t wire_len;
    size_t log_len;
    char *wire;
    char *log_text;
};

namespace {

// A pty nobody reads holds about 64 KiB; what is beyond our own queue is
// dropped like on a line without a reader.
constexpr size_t kOutMax = (1u << 20) + 65536;
constexpr unsigned char kDiagFlag = 0x7e;

void release(Sim *s, Port *p, const char *wire, size_t wire_len, const char *log_text,
             size_t log_len) {
    port_send_raw(s, p, wire, wire_len);
    size_t start = 0;
    for (size_t i = 0; i < log_len; i++) {
        if (log_text[i] != '\n') continue;
        sim_log_data(s, p, '<', log_text + start, i - start);
        start = i + 1;
    }
}

void handle_command_byte(Sim *s, Port *p, unsigned char c) {
    if (c == '\r') {
        if (p->in_len == 0 && !p->in_overflow) return;
        p->in[p->in_len] = '\0';
        bool overflow = p->in_overflow;
        p->in_len = 0;
        p->in_overflow = false;
        at_handle_line(s, p, p->in, overflow);
        return;
    }
    if (c == '\n' || c == '\0') return;
    if (c == 0x08 || c == 0x7f) { // backspace edits the line, as on a terminal
        if (p->in_len > 0) p->in_len--;
        return;
    }
    if (c == 0x1a || c == 0x1b) { // Ctrl-Z and ESC abandon the line
        p->in_len = 0;
        p->in_overflow = false;
        return;
    }
    if (p->in_len + 1 >= sizeof p->in) {
        p->in_overflow = true;
        return;
    }
    p->in[p->in_len++] = static_cast<char>(c);
}

void handle_diag_byte(Sim *s, Port *p, unsigned char c) {
    if (p->in_len + 1 >= sizeof p->in) { // no frame is that long: start over
        p->in_len = 0;
        p->in_overflow = true;
    }
    p->in[p->in_len++] = static_cast<char>(c);
    if (c != kDiagFlag) return;
    if (!p->in_overflow) {
        sim_log_data(s, p, '>', p->in, p->in_len);
        if (!s->silent) {
            port_send_raw(s, p, p->in, p->in_len);
            sim_log_data(s, p, '<', p->in, p->in_len);
        }
    }
    p->in_len = 0;
    p->in_overflow = false;
}

void handle_quiet_byte(Sim *s, Port *p, unsigned char c) {
    if (c == '\r' || c == '\n' || p->in_len + 1 >= sizeof p->in) {
        if (p->in_len > 0) sim_log_data(s, p, '>', p->in, p->in_len);
        p->in_len = 0;
        if (c == '\r' || c == '\n') return;
    }
    p->in[p->in_len++] = static_cast<char>(c);
}

} // namespace

void port_send_raw(Sim *s, Port *p, const char *data, size_t len) {
    if (!p->open || len == 0) return;
    if (p->out_len + len > kOutMax) {
        sim_log(s, "%s output dropped (%zu bytes): nobody reads the tty", p->name, len);
        return;
    }
    if (p->out_len + len > p->out_cap) {
        size_t cap = p->out_cap ? p->out_cap : 4096;
        while (cap < p->out_len + len)
            cap *= 2;
        auto *grown = static_cast<unsigned char *>(realloc(p->out, cap));
        if (!grown) {
            sim_log(s, "%s output dropped (%zu bytes): out of memory", p->name, len);
            return;
        }
        p->out = grown;
        p->out_cap = cap;
    }
    memcpy(p->out + p->out_len, data, len);
    p->out_len += len;
    port_flush(s, p);
}

void port_send_line(Sim *s, Port *p, const char *text) {
    size_t len = strlen(text);
    port_send_raw(s, p, "\r\n", 2);
    port_send_raw(s, p, text, len);
    port_send_raw(s, p, "\r\n", 2);
    sim_log_data(s, p, '<', text, len);
}

void port_flush(Sim *s, Port *p) {
    size_t done = 0;
    while (p->open && done < p->out_len) {
        ssize_t w = write(p->master, p->out + done, p->out_len - done);
        if (w < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) break;
            sim_log(s, "%s write failed: %s", p->name, strerror(errno));
            done = p->out_len;
            break;
        }
        done += static_cast<size_t>(w);
    }
    if (done == 0) return;
    memmove(p->out, p->out + done, p->out_len - done);
    p->out_len -= done;
}

void port_read(Sim *s, Port *p) {
    unsigned char buf[4096];
    while (p->open) {
        ssize_t n = read(p->master, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        for (ssize_t i = 0; i < n && p->open; i++) {
            switch (p->role) {
            case PortRole::At:
            case PortRole::Second:
                handle_command_byte(s, p, buf[i]);
                break;
            case PortRole::Diag:
                handle_diag_byte(s, p, buf[i]);
                break;
            case PortRole::Quiet:
                handle_quiet_byte(s, p, buf[i]);
                break;
            }
        }
    }
}

void port_queue_answer(Sim *s, Port *p, const char *wire, size_t wire_len, const char *log_text,
                       size_t log_len, int64_t due) {
    if (!p->open) return;
    if (!p->delayed && due <= boot_now_ns()) {
        release(s, p, wire, wire_len, log_text, log_len);
        return;
    }
    auto *d = static_cast<Delayed *>(malloc(sizeof(Delayed) + wire_len + log_len));
    if (!d) return;
    d->next = nullptr;
    d->due = due;
    d->wire = reinterpret_cast<char *>(d + 1);
    d->log_text = d->wire + wire_len;
    d->wire_len = wire_len;
    d->log_len = log_len;
    memcpy(d->wire, wire, wire_len);
    memcpy(d->log_text, log_text, log_len);
    // answers leave in the order the commands came, whatever the delay was
    Delayed **tail = &p->delayed;
    while (*tail) {
        if ((*tail)->due > d->due) d->due = (*tail)->due;
        tail = &(*tail)->next;
    }
    *tail = d;
}

void port_release_due(Sim *s, Port *p, int64_t now) {
    while (p->open && p->delayed && p->delayed->due <= now) {
        Delayed *d = p->delayed;
        p->delayed = d->next;
        release(s, p, d->wire, d->wire_len, d->log_text, d->log_len);
        free(d);
    }
}

int64_t port_next_due(const Port *p) {
    return p->open && p->delayed ? p->delayed->due : 0;
}

void port_close(Sim *, Port *p) {
    if (!p->open) return;
    // the slave first: once the master goes, the other side's reader sees the hang-up
    if (p->slave >= 0) close(p->slave);
    if (p->master >= 0) close(p->master);
    p->slave = p->master = -1;
    p->open = false;
    free(p->out);
    p->out = nullptr;
    p->out_len = p->out_cap = 0;
    while (p->delayed) {
        Delayed *d = p->delayed;
        p->delayed = d->next;
        free(d);
    }
    p->in_len = 0;
    p->in_overflow = false;
}
