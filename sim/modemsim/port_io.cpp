// Bytes in and out of the ptys: command line assembly, the output queue that
// waits for the pty to take more, and answers held back by "slow".
#include "modemsim.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
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
// pause between the pieces of a split answer, so that they arrive apart
constexpr int64_t kSplitGapNs = 20 * 1000000LL;

bool answers_commands(const Port *p) {
    return p->role == PortRole::At || p->role == PortRole::Second;
}

bool deaf(const Sim *s) {
    return s->ready_at && boot_now_ns() < s->ready_at;
}

// Extra delay of the answer to this command line, in boot-clock ms.
long command_latency(const Sim *s, const char *line) {
    long ms = 0;
    for (const CommandLatency &l : s->habits.latency)
        if (l.text[0] && strcasestr(line, l.text) && l.ms > ms) ms = l.ms;
    return ms;
}

// Where the first line of an answer ends, after its line end; 0 when it has
// no second line.
size_t first_line_end(const char *wire, size_t len) {
    size_t i = 0;
    while (i < len && (wire[i] == '\r' || wire[i] == '\n'))
        i++;
    while (i < len && wire[i] != '\r' && wire[i] != '\n')
        i++;
    if (i + 1 >= len || wire[i] != '\r' || wire[i + 1] != '\n') return 0;
    return i + 2 < len ? i + 2 : 0;
}

// Logged before it is written, as everywhere here: whoever has read an answer
// finds it in the log.
void release(Sim *s, Port *p, const char *wire, size_t wire_len, const char *log_text,
             size_t log_len) {
    size_t start = 0;
    for (size_t i = 0; i < log_len; i++) {
        if (log_text[i] != '\n') continue;
        sim_log_data(s, p, '<', log_text + start, i - start);
        start = i + 1;
    }
    port_send_raw(s, p, wire, wire_len);
}

void handle_command_byte(Sim *s, Port *p, unsigned char c) {
    if (c == '\r') {
        if (p->in_len == 0 && !p->in_overflow) return;
        p->in[p->in_len] = '\0';
        bool overflow = p->in_overflow;
        p->in_len = 0;
        p->in_overflow = false;
        // a slow command: its answer (and what follows from it) comes later
        long saved = s->slow_ms;
        s->slow_ms += command_latency(s, p->in);
        at_handle_line(s, p, p->in, overflow);
        s->slow_ms = saved;
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
            sim_log_data(s, p, '<', p->in, p->in_len);
            port_send_raw(s, p, p->in, p->in_len);
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
    sim_log_data(s, p, '<', text, len);
    port_send_raw(s, p, "\r\n", 2);
    port_send_raw(s, p, text, len);
    port_send_raw(s, p, "\r\n", 2);
}

void port_flush(Sim *s, Port *p) {
    size_t done = 0;
    bool split = s->habits.split > 0 && answers_commands(p);
    while (p->open && done < p->out_len) {
        if (split && boot_now_ns() < p->hold_until) break;
        size_t want = p->out_len - done;
        if (split && want > s->habits.split) want = s->habits.split;
        ssize_t w = write(p->master, p->out + done, want);
        if (w < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) break;
            sim_log(s, "%s write failed: %s", p->name, strerror(errno));
            done = p->out_len;
            break;
        }
        done += static_cast<size_t>(w);
        if (split) p->hold_until = boot_now_ns() + kSplitGapNs;
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
        if (answers_commands(p) && deaf(s)) {
            sim_log(s, "%s deaf: %zd bytes ignored", p->name, n);
            continue;
        }
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
    // an unsolicited line that comes in the middle of an answer
    static char wire_with[8192 + 128], log_with[8192 + 128];
    const char *urc = s->habits.interleave;
    size_t cut = urc[0] ? first_line_end(wire, wire_len) : 0;
    const char *log_cut = static_cast<const char *>(memchr(log_text, '\n', log_len));
    size_t urc_len = strlen(urc);
    if (cut && log_cut && wire_len + urc_len + 4 <= sizeof wire_with &&
        log_len + urc_len + 1 <= sizeof log_with) {
        size_t lcut = static_cast<size_t>(log_cut - log_text) + 1;
        size_t w = 0, l = 0;
        auto put = [](char *buf, size_t *at, const char *data, size_t n) {
            memcpy(buf + *at, data, n);
            *at += n;
        };
        put(wire_with, &w, wire, cut);
        put(wire_with, &w, "\r\n", 2);
        put(wire_with, &w, urc, urc_len);
        put(wire_with, &w, "\r\n", 2);
        put(wire_with, &w, wire + cut, wire_len - cut);
        put(log_with, &l, log_text, lcut);
        put(log_with, &l, urc, urc_len);
        put(log_with, &l, "\n", 1);
        put(log_with, &l, log_text + lcut, log_len - lcut);
        wire = wire_with;
        wire_len = w;
        log_text = log_with;
        log_len = l;
        if (s->habits.interleave_once) s->habits.interleave[0] = '\0';
    }
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
    if (p->open && p->out_len && p->hold_until && p->hold_until <= now) port_flush(s, p);
    while (p->open && p->delayed && p->delayed->due <= now) {
        Delayed *d = p->delayed;
        p->delayed = d->next;
        release(s, p, d->wire, d->wire_len, d->log_text, d->log_len);
        free(d);
    }
}

int64_t port_next_due(const Port *p) {
    if (!p->open) return 0;
    int64_t due = p->delayed ? p->delayed->due : 0;
    if (p->out_len && p->hold_until && (!due || p->hold_until < due)) due = p->hold_until;
    return due;
}

bool port_holds_output(const Port *p) {
    return p->hold_until && boot_now_ns() < p->hold_until;
}

void port_start_deaf(Sim *s) {
    const WireHabits &h = s->habits;
    if (h.deaf_ms <= 0 && !h.boot_noise) return;
    int64_t now = boot_now_ns();
    s->ready_at = now + h.deaf_ms * 1000000 + 1; // never 0: armed
    if (h.deaf_ms > 0) sim_log(s, "deaf for %ld ms", h.deaf_ms);
}

void port_become_ready(Sim *s) {
    s->ready_at = 0;
    Port *p = device_at_port(s);
    if (!p || !s->habits.boot_noise || s->silent) return;
    port_send_line(s, p, "RDY");
    const char *card = nullptr;
    switch (s->m.sim) {
    case SimCard::Ready:
        card = "+CPIN: READY";
        break;
    case SimCard::Pin:
        card = "+CPIN: SIM PIN";
        break;
    case SimCard::Puk:
        card = "+CPIN: SIM PUK";
        break;
    case SimCard::PhNet:
        card = "+CPIN: PH-NET PIN";
        break;
    case SimCard::Absent:
    case SimCard::Blocked:
        break;
    }
    if (card) port_send_line(s, p, card);
}

int habits_set_latency(WireHabits *h, const char *text, long ms) {
    CommandLatency *free_slot = nullptr;
    for (CommandLatency &l : h->latency) {
        if (l.text[0] && strcasecmp(l.text, text) == 0) {
            l.ms = ms;
            if (ms == 0) l.text[0] = '\0';
            return 0;
        }
        if (!l.text[0] && !free_slot) free_slot = &l;
    }
    if (ms == 0) return 0;
    if (!free_slot || !*text || strlen(text) >= sizeof free_slot->text) return -1;
    snprintf(free_slot->text, sizeof free_slot->text, "%s", text);
    free_slot->ms = ms;
    return 0;
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
