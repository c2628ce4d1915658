// Reading the modem daemon's log into the tables of a replay. The daemon
// writes one line per event, "2026-01-01 10:00:00     12.345: lted: ...",
// with the uptime in seconds and milliseconds; what matters here:
//
//   lted: AT> CMD            a command sent
//   lted: AT< LINE           a line read from the modem
//   lted: AT channel timeout; closing / lted: AT channel closed
//   lted: ril_reinit_callback: cmd_dev: ... mdm_type: 0xN
//   lted: pollNetState: connected / disconnected
#include "replay_log.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int kIndexSize = kReplayCommandsMax * 2;
constexpr int64_t kAfterMaxMs =
    3600 * 1000; // a line later than this after its command: a damaged time

// Final lines, as the daemon's AT channel tells them (prefixes).
constexpr const char *kFinals[] = {"OK",          "CONNECT",    "ERROR",     "+CMS ERROR:",
                                   "+CME ERROR:", "NO CARRIER", "NO ANSWER", "NO DIALTONE"};

bool starts(const char *s, const char *prefix) {
    return strncmp(s, prefix, strlen(prefix)) == 0;
}

bool is_final(const char *line) {
    for (const char *f : kFinals)
        if (starts(line, f)) return true;
    return false;
}

// One more item of a table, or null at its limit or without memory.
template <class T> T *grow(T **items, int *count, int *room, int limit) {
    if (*count == *room) {
        if (*room >= limit) return nullptr;
        int n = *room ? *room * 2 : 64;
        if (n > limit) n = limit;
        auto *p = static_cast<T *>(realloc(*items, sizeof(T) * static_cast<size_t>(n)));
        if (!p) return nullptr;
        *items = p;
        *room = n;
    }
    return &(*items)[(*count)++];
}

bool add_text(ReplayLog *log, const char *s, size_t len, ReplayText *out) {
    if (len + 1 > kReplayTextMax - log->text_used) return false;
    if (log->text_used + len + 1 > log->text_room) {
        size_t room = log->text_room ? log->text_room : 65536;
        while (room < log->text_used + len + 1)
            room *= 2;
        if (room > kReplayTextMax) room = kReplayTextMax;
        auto *p = static_cast<char *>(realloc(log->text, room));
        if (!p) return false;
        log->text = p;
        log->text_room = room;
    }
    memcpy(log->text + log->text_used, s, len);
    log->text[log->text_used + len] = '\0';
    out->at = static_cast<uint32_t>(log->text_used);
    out->len = static_cast<uint32_t>(len);
    log->text_used += len + 1;
    return true;
}

uint32_t hash(const char *s) {
    uint32_t h = 2166136261u;
    for (; *s; ++s)
        h = (h ^ static_cast<unsigned char>(*s)) * 16777619u;
    return h;
}

// The slot of the command's text in the index: its entry, or the free one
// where it belongs.
int *index_slot(const ReplayLog *log, const char *command) {
    uint32_t i = hash(command) % kIndexSize;
    for (;;) {
        int *slot = &log->command_index[i];
        if (*slot < 0 || strcmp(replay_text(log, log->commands[*slot].text), command) == 0)
            return slot;
        i = (i + 1) % kIndexSize;
    }
}

// "2026-01-01 10:00:00     12.345: MESSAGE": the uptime in ms and the message.
bool split_header(const char *line, int64_t *ms, const char **message) {
    const char *p = line;
    for (int field = 0; field < 2; ++field) { // the calendar date and time
        if (*p == ' ' || !*p) return false;
        while (*p && *p != ' ')
            p++;
        if (*p++ != ' ') return false;
    }
    while (*p == ' ')
        p++;
    int64_t sec = 0;
    int digits = 0;
    for (; isdigit(static_cast<unsigned char>(*p)); ++p) {
        if (++digits > 9) return false; // beyond 31 years of uptime: damage
        sec = sec * 10 + (*p - '0');
    }
    if (digits == 0 || *p++ != '.') return false;
    int frac = 0;
    for (int i = 0; i < 3; ++i, ++p) {
        if (!isdigit(static_cast<unsigned char>(*p))) return false;
        frac = frac * 10 + (*p - '0');
    }
    if (p[0] != ':' || p[1] != ' ') return false;
    *ms = sec * 1000 + frac;
    *message = p + 2;
    return true;
}

int current_segment(const ReplayLog *log) {
    return log->segment_count - 1;
}

void new_segment(ReplayLog *log) {
    log->segment_count++;
    log->segment_begun = false;
}

// The occurrence an event that comes now waits for: the last command, or
// the next one when none was sent since the channel was last lost.
int gate(const ReplayLog *log) {
    return log->segment_begun ? log->occurrence_count - 1 : log->occurrence_count;
}

// The waiting command gets nothing more: cut (the log or the daemon ended)
// or left without an answer.
void end_pending(ReplayLog *log, bool cut, bool silence) {
    if (log->pending < 0) return;
    ReplayOccurrence *o = &log->occurrences[log->pending];
    o->cut = cut;
    if (silence) log->silences++;
    log->pending = -1;
}

// A line without its end counts as read and damaged, and is dropped.
void drop_partial(ReplayLog *log) {
    if (log->partial_len || log->partial_overlong) {
        log->lines_read++;
        log->damaged++;
    }
    log->partial_len = 0;
    log->partial_overlong = false;
}

void forget_earlier(ReplayLog *log) {
    log->skipped = log->lines_read - 1;
    for (int i = 0; i < kIndexSize; ++i)
        log->command_index[i] = -1;
    log->text_used = 0;
    log->command_count = log->occurrence_count = log->line_count = log->event_count = 0;
    log->segment_count = 0;
    new_segment(log);
    log->model_type = 0;
    log->pending = log->last_done = log->open_loss = -1;
    log->channel_gone = true;
    log->silences = log->losses = 0;
}

bool take_command(ReplayLog *log, int64_t ms, const char *command) {
    // the next command means the daemon gave up on the one before
    end_pending(log, false, true);
    int *slot = index_slot(log, command);
    int id = *slot;
    if (id < 0) {
        ReplayText t;
        if (log->command_count >= kReplayCommandsMax ||
            !add_text(log, command, strlen(command), &t))
            return false;
        ReplayCommand *c =
            grow(&log->commands, &log->command_count, &log->command_room, kReplayCommandsMax);
        if (!c) return false;
        *c = ReplayCommand{t, -1, -1, 0, -1};
        id = log->command_count - 1;
        *slot = id;
    }
    ReplayOccurrence *o = grow(&log->occurrences, &log->occurrence_count, &log->occurrence_room,
                               kReplayOccurrencesMax);
    if (!o) return false;
    *o = ReplayOccurrence{id, current_segment(log), ms, log->line_count, 0, false, false, 0, -1};
    log->segment_begun = true;
    log->pending = log->occurrence_count - 1;
    log->channel_gone = false;
    return true;
}

bool take_line(ReplayLog *log, int64_t ms, const char *line) {
    ReplayText t;
    if (!add_text(log, line, strlen(line), &t)) return false;
    if (log->pending < 0) {
        ReplayEvent *e = grow(&log->events, &log->event_count, &log->event_room, kReplayEventsMax);
        if (!e) return false;
        *e = ReplayEvent{ms, current_segment(log), gate(log), ReplayEventKind::Line, t, 0};
        return true;
    }
    ReplayAnswerLine *a =
        grow(&log->lines, &log->line_count, &log->line_room, kReplayAnswerLinesMax);
    if (!a) return false;
    ReplayOccurrence *o = &log->occurrences[log->pending];
    int64_t after = ms - o->at_ms;
    if (after < 0) after = 0; // a clock that went back: at once
    if (after > kAfterMaxMs) after = kAfterMaxMs;
    *a = ReplayAnswerLine{t, static_cast<int32_t>(after)};
    o->line_count++;
    if (is_final(line)) {
        o->answered = true;
        log->pending = -1;
        log->last_done = static_cast<int>(o - log->occurrences);
    }
    return true;
}

// The daemon lost its channel: by its own time-out, or because the tty went
// away under it (spontaneous). Either way a new segment begins.
bool take_channel_lost(ReplayLog *log, int64_t ms, bool spontaneous) {
    end_pending(log, false, !spontaneous);
    log->last_done = -1;
    // a time-out and a hang-up may both be logged for one loss
    if (log->channel_gone) return true;
    log->channel_gone = true;
    if (spontaneous) {
        ReplayEvent *e = grow(&log->events, &log->event_count, &log->event_room, kReplayEventsMax);
        if (!e) return false;
        *e = ReplayEvent{ms, current_segment(log), gate(log), ReplayEventKind::Loss, {0, 0}, 0};
        log->open_loss = log->event_count - 1;
        log->losses++;
    }
    new_segment(log);
    return true;
}

// "... cmd_dev: /dev/ttyUSB3 data_dev: /dev/ttyUSB2 mdm_ifname: usb0 mdm_type: 0x3"
void take_found(ReplayLog *log, int64_t ms, const char *rest) {
    const char *type = strstr(rest, " mdm_type: 0x");
    if (type && log->model_type == 0) {
        long v = strtol(type + 13, nullptr, 16);
        if (v >= 1 && v <= 4) log->model_type = static_cast<int>(v);
    }
    bool tty = rest[0] && rest[0] != ' ';
    if (tty && log->open_loss >= 0) {
        ReplayEvent *e = &log->events[log->open_loss];
        e->absent_ms = ms > e->at_ms ? ms - e->at_ms : 0;
        log->open_loss = -1;
    }
}

bool take_message(ReplayLog *log, int64_t ms, const char *m) {
    if (starts(m, "lted: AT> ")) return take_command(log, ms, m + 10);
    if (starts(m, "lted: AT< ")) return take_line(log, ms, m + 10);
    if (strcmp(m, "lted: AT channel timeout; closing") == 0)
        return take_channel_lost(log, ms, false);
    if (strcmp(m, "lted: AT channel closed") == 0) return take_channel_lost(log, ms, true);
    if (strcmp(m, "lted: starting") == 0) {
        // A replay starts the daemon afresh: it plays the log from the
        // daemon's first start on, not the end of a run before it.
        if (!log->started) forget_earlier(log);
        log->started = true;
        // killed while it waited: that says nothing about the modem
        end_pending(log, true, false);
        log->last_done = -1;
    } else if (starts(m, "lted: ril_reinit_callback: cmd_dev: ")) {
        take_found(log, ms, m + 36);
    } else if (strcmp(m, "lted: pollNetState: connected") == 0 && log->last_done >= 0) {
        log->occurrences[log->last_done].call = 1;
    } else if (strcmp(m, "lted: pollNetState: disconnected") == 0 && log->last_done >= 0) {
        log->occurrences[log->last_done].call = -1;
    }
    return true;
}

// One whole line of the file, without its line end. False at a limit.
bool read_line(ReplayLog *log, char *line, size_t len) {
    log->lines_read++;
    if (len > 0 && line[len - 1] == '\r') line[--len] = '\0'; // copied from a terminal
    if (len == 0) return true;
    int64_t ms;
    const char *message;
    if (memchr(line, '\0', len) || !split_header(line, &ms, &message)) {
        log->damaged++;
        return true;
    }
    log->last_ms = ms;
    return take_message(log, ms, message);
}

} // namespace

void replay_log_init(ReplayLog *log) {
    *log = ReplayLog{};
    log->pending = log->last_done = log->open_loss = -1;
    log->channel_gone = true;
    log->command_index = static_cast<int *>(malloc(sizeof(int) * kIndexSize));
    if (log->command_index) {
        for (int i = 0; i < kIndexSize; ++i)
            log->command_index[i] = -1;
    }
    new_segment(log);
    if (!log->command_index) log->full_at = 1; // nothing can be kept
}

int replay_log_feed(ReplayLog *log, const char *data, size_t len) {
    if (log->full_at || log->finished) return -1;
    for (size_t i = 0; i < len; ++i) {
        char c = data[i];
        if (c != '\n') {
            if (log->partial_len + 1 < sizeof log->partial)
                log->partial[log->partial_len++] = c;
            else
                log->partial_overlong = true;
            continue;
        }
        bool ok = true;
        if (log->partial_overlong) {
            log->lines_read++;
            log->damaged++; // the daemon writes no line this long
        } else {
            log->partial[log->partial_len] = '\0';
            ok = read_line(log, log->partial, log->partial_len);
        }
        log->partial_len = 0;
        log->partial_overlong = false;
        if (!ok) {
            log->full_at = log->lines_read;
            return -1;
        }
    }
    return 0;
}

void replay_log_finish(ReplayLog *log) {
    if (log->finished) return;
    log->finished = true;
    // the daemon writes whole lines: one without its end was cut off
    drop_partial(log);
    end_pending(log, true, false);
    if (log->open_loss >= 0) {
        ReplayEvent *e = &log->events[log->open_loss];
        e->absent_ms = log->last_ms > e->at_ms ? log->last_ms - e->at_ms : 0;
        log->open_loss = -1;
    }
    for (int i = 0; i < log->occurrence_count; ++i) {
        ReplayOccurrence *o = &log->occurrences[i];
        o->next_same = -1;
        if (o->cut) continue;
        ReplayCommand *c = &log->commands[o->command];
        if (c->last >= 0)
            log->occurrences[c->last].next_same = i;
        else
            c->first = i;
        c->last = i;
        c->count++;
        if (o->answered) c->last_answered = i;
    }
}

void replay_log_free(ReplayLog *log) {
    free(log->text);
    free(log->commands);
    free(log->command_index);
    free(log->occurrences);
    free(log->lines);
    free(log->events);
    *log = ReplayLog{};
}

namespace {

// 0, 1 when the file does not exist and may be missing, -1 on an error.
int feed_file(ReplayLog *log, const char *path, bool may_be_missing, char *why, size_t why_size) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (may_be_missing && errno == ENOENT) return 1;
        snprintf(why, why_size, "%s: %s", path, strerror(errno));
        return -1;
    }
    static char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            snprintf(why, why_size, "%s: %s", path, strerror(errno));
            close(fd);
            return -1;
        }
        // at a limit the rest is not worth reading
        if (n == 0 || replay_log_feed(log, buf, static_cast<size_t>(n)) < 0) break;
    }
    close(fd);
    return 0;
}

} // namespace

int replay_log_load(ReplayLog *log, const char *path, char *why, size_t why_size) {
    char older[4096];
    if (snprintf(older, sizeof older, "%s.1", path) >= static_cast<int>(sizeof older)) {
        snprintf(why, why_size, "path too long");
        return -1;
    }
    if (feed_file(log, older, true, why, why_size) < 0) return -1;
    // the daemon rotates between lines: an unfinished one was cut off in the copy
    drop_partial(log);
    if (feed_file(log, path, false, why, why_size) < 0) return -1;
    replay_log_finish(log);
    return 0;
}

const char *replay_text(const ReplayLog *log, ReplayText t) {
    return log->text ? log->text + t.at : "";
}

int replay_cursor_init(ReplayCursor *c, const ReplayLog *log) {
    size_t n = log->command_count > 0 ? static_cast<size_t>(log->command_count) : 1;
    c->next = static_cast<int *>(malloc(sizeof(int) * n));
    if (!c->next) return -1;
    for (int i = 0; i < log->command_count; ++i)
        c->next[i] = log->commands[i].first;
    return 0;
}

void replay_cursor_free(ReplayCursor *c) {
    free(c->next);
    c->next = nullptr;
}

ReplayMatch replay_match(const ReplayLog *log, ReplayCursor *c, const char *command) {
    if (!log->command_index || !log->finished) return {ReplayMatchKind::Never, -1};
    int id = *index_slot(log, command);
    if (id < 0 || log->commands[id].count == 0) return {ReplayMatchKind::Never, -1};
    int next = c->next[id];
    if (next >= 0) {
        c->next[id] = log->occurrences[next].next_same;
        return {ReplayMatchKind::Recorded, next};
    }
    return {ReplayMatchKind::Repeated, log->commands[id].last_answered};
}
