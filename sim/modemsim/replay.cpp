// The modem of a log (--replay): every command on the AT tty gets the lines
// that followed it in the daemon's log; lines that came without a command,
// and the modem leaving the bus, follow the command before them as long
// after it as in the log. Where the replay departs from the log, the
// simulator's log says so ("divergence: ...").
#include "modemsim.h"

#include "replay_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

struct Replay {
    ReplayLog log;
    ReplayCursor cursor;
    int next_event;
    // the furthest occurrence of the log replayed yet (-1 none) and the times
    // taken from it: boot-clock ns of the replay = uptime ms of the log * 1e6 + offset
    int progress;
    int64_t offset_ns;
    int segment;       // of the log, the last one announced in the simulator's log
    bool call;         // the data call as the log tells it ...
    unsigned call_at;  // ... during this appearance of the device
    int64_t replug_at; // back on the bus after a recorded loss, 0 none
};

namespace {

// The daemon's modem types (its mdm_type) and the models that play them.
constexpr const char *kModelOfType[] = {nullptr, "asr", "902d", "9025", "9091"};

// After a loss the daemon searches every 4 s: the modem is back a little
// before the search that found it in the log.
constexpr int64_t kBackBeforeFoundNs = 1000 * 1000000LL;

constexpr size_t kShownMax = 160;

// A modem's slow answers (a second or more: searching, dialling) shape the
// story and come as late as in the log. Quicker ones come at once: their
// time in the log is mostly the wire's and the daemon's own waking, which the
// replay's daemon spends again, and on a loaded machine that time can pass
// the daemon's shortest time-out (its 250-ms handshake) although the answer
// was in time.
constexpr int32_t kSlowAnswerMs = 1000;

// The command as the log shows it, unprintable bytes escaped and cut short.
void shown(const char *line, char *out, size_t size) {
    size_t len = strlen(line);
    sim_escape(out, size, line, len > kShownMax ? kShownMax : len);
}

void lose_modem(Sim *s, Replay *r, const ReplayEvent &e, int64_t now) {
    sim_log(s, "replay: the modem goes away as in the log, for %lld.%03lld s",
            static_cast<long long>(e.absent_ms / 1000), static_cast<long long>(e.absent_ms % 1000));
    device_unplug(s);
    int64_t back = now + e.absent_ms * 1000000 - kBackBeforeFoundNs - s->opt.enum_ms * 1000000;
    r->replug_at = back > now ? back : now + 1;
}

void send_event(Sim *s, Replay *r, const ReplayEvent &e, int64_t now) {
    if (e.kind == ReplayEventKind::Loss) return lose_modem(s, r, e, now);
    const char *text = replay_text(&r->log, e.text);
    Port *at = device_at_port(s);
    char show[kShownMax * 4 + 8];
    if (!at || s->silent) {
        shown(text, show, sizeof show);
        sim_log(s, "replay: not sent (%s): %s", at ? "silent" : "no tty", show);
        return;
    }
    port_send_line(s, at, text);
}

int32_t answer_delay_ms(const ReplayAnswerLine &l) {
    return l.after_ms >= kSlowAnswerMs ? l.after_ms : 0;
}

// The answer's lines, the slow ones at their recorded time after the
// command; lines due at the same moment leave together.
void queue_lines(Sim *s, Port *p, const Replay *r, const ReplayOccurrence &o, int64_t base) {
    static char wire[8192], text[8192];
    int i = o.first_line, end = o.first_line + o.line_count;
    while (i < end) {
        int32_t delay = answer_delay_ms(r->log.lines[i]);
        size_t wl = 0, tl = 0;
        while (i < end && answer_delay_ms(r->log.lines[i]) == delay) {
            const ReplayText &t = r->log.lines[i].text;
            if (wl + t.len + 4 > sizeof wire || tl + t.len + 1 > sizeof text) break;
            const char *line = replay_text(&r->log, t);
            memcpy(wire + wl, "\r\n", 2);
            memcpy(wire + wl + 2, line, t.len);
            memcpy(wire + wl + 2 + t.len, "\r\n", 2);
            wl += t.len + 4;
            memcpy(text + tl, line, t.len);
            text[tl + t.len] = '\n';
            tl += t.len + 1;
            i++;
        }
        port_queue_answer(s, p, wire, wl, text, tl, base + static_cast<int64_t>(delay) * 1000000);
    }
}

} // namespace

int replay_open(Sim *s, char *why, size_t why_size) {
    auto *r = static_cast<Replay *>(calloc(1, sizeof(Replay)));
    if (!r) {
        snprintf(why, why_size, "out of memory");
        return -1;
    }
    replay_log_init(&r->log);
    if (replay_log_load(&r->log, s->opt.replay, why, why_size) != 0 ||
        replay_cursor_init(&r->cursor, &r->log) != 0) {
        if (!why[0]) snprintf(why, why_size, "out of memory");
        replay_log_free(&r->log);
        free(r);
        return -1;
    }
    if (r->log.lines_read == r->log.damaged) {
        snprintf(why, why_size, "%s: not a log of the modem daemon", s->opt.replay);
        replay_cursor_free(&r->cursor);
        replay_log_free(&r->log);
        free(r);
        return -1;
    }
    r->progress = r->segment = -1;
    s->replay = r;
    return 0;
}

const ModelDef *replay_model(const Sim *s) {
    int type = s->replay ? s->replay->log.model_type : 0;
    return type > 0 ? model_find(kModelOfType[type]) : nullptr;
}

namespace {

__attribute__((format(printf, 4, 5))) void appendf(char *out, size_t size, size_t *n,
                                                   const char *format, ...) {
    if (*n >= size) return;
    va_list ap;
    va_start(ap, format);
    int m = vsnprintf(out + *n, size - *n, format, ap);
    va_end(ap);
    if (m > 0) *n += static_cast<size_t>(m);
}

} // namespace

void replay_describe(const Sim *s, char *out, size_t size) {
    const ReplayLog &l = s->replay->log;
    const ModelDef *found = replay_model(s);
    size_t n = 0;
    out[0] = '\0';
    if (found == s->opt.model)
        appendf(out, size, &n, "model %s (from the log)\n", s->opt.model->name);
    else
        appendf(out, size, &n, "model %s (--model; the log names %s)\n", s->opt.model->name,
                found ? found->name : "none");
    appendf(out, size, &n, "commands %d, %d different, %d left unanswered\n", l.occurrence_count,
            l.command_count, l.silences);
    appendf(out, size, &n, "unsolicited lines %d\n", l.event_count - l.losses);
    appendf(out, size, &n, "modem lost %d times\n", l.losses);
    appendf(out, size, &n, "damaged lines %ld of %ld\n", l.damaged, l.lines_read);
    if (l.skipped)
        appendf(out, size, &n, "left out %ld lines before the daemon's first start\n", l.skipped);
    if (l.full_at)
        appendf(out, size, &n, "read up to line %ld: the rest is more than a replay keeps\n",
                l.full_at);
}

void replay_command(Sim *s, Port *p, const char *line) {
    Replay *r = s->replay;
    int64_t now = boot_now_ns();
    ReplayMatch m = replay_match(&r->log, &r->cursor, line);
    if (m.kind == ReplayMatchKind::Recorded && m.occurrence > r->progress) {
        const ReplayOccurrence &o = r->log.occurrences[m.occurrence];
        r->progress = m.occurrence;
        r->offset_ns = now - o.at_ms * 1000000;
        if (o.segment > r->segment) {
            r->segment = o.segment;
            sim_log(s, "replay: part %d of the log, from uptime %lld.%03lld", o.segment + 1,
                    static_cast<long long>(o.at_ms / 1000), static_cast<long long>(o.at_ms % 1000));
        }
    }
    replay_timers(s, now); // what the modem sent before this command goes first
    int64_t base = now + static_cast<int64_t>(s->slow_ms) * 1000000;
    char show[kShownMax * 4 + 8];
    shown(line, show, sizeof show);
    if (m.kind == ReplayMatchKind::Never) {
        sim_log(s, "divergence: %s: not in the log, ERROR", show);
        port_queue_answer(s, p, "\r\nERROR\r\n", 9, "ERROR\n", 6, base);
        return;
    }
    if (m.occurrence < 0) {
        sim_log(s, "divergence: %s: no recorded answer left, and none was ever given", show);
        return;
    }
    const ReplayOccurrence &o = r->log.occurrences[m.occurrence];
    if (m.kind == ReplayMatchKind::Repeated)
        sim_log(s, "divergence: %s: no recorded answer left, the last one again", show);
    else if (!o.answered)
        sim_log(s, "replay: %s: no answer, as in the log", show);
    if (m.kind == ReplayMatchKind::Recorded && o.call) {
        r->call = o.call > 0;
        r->call_at = s->enumerations;
        carrier_sync(s);
    }
    queue_lines(s, p, r, o, base);
}

void replay_timers(Sim *s, int64_t now) {
    Replay *r = s->replay;
    if (r->replug_at && r->replug_at <= now) {
        r->replug_at = 0;
        sim_log(s, "replay: the modem comes back as in the log");
        device_plug(s, now);
    }
    while (r->next_event < r->log.event_count) {
        const ReplayEvent &e = r->log.events[r->next_event];
        if (e.gate > r->progress || e.at_ms * 1000000 + r->offset_ns > now) break;
        r->next_event++;
        send_event(s, r, e, now);
    }
}

int64_t replay_next_due(const Sim *s) {
    const Replay *r = s->replay;
    int64_t due = r->replug_at;
    if (r->next_event < r->log.event_count) {
        const ReplayEvent &e = r->log.events[r->next_event];
        int64_t at = e.at_ms * 1000000 + r->offset_ns;
        if (e.gate <= r->progress && (!due || at < due)) due = at > 0 ? at : 1;
    }
    return due;
}

bool replay_call_up(const Sim *s) {
    const Replay *r = s->replay;
    return r->call && r->call_at == s->enumerations;
}
