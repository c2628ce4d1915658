// The modem daemon's log as the simulator's replay reads it, a log taken off
// a router that may be faulty, fed in reads of every size: the tables must
// not depend on where the reads split it, every index must stay inside its
// table, and the answers handed out must belong to the command asked for.
#include "chunks.h"
#include "replay_log.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void check(bool ok) {
    if (!ok) abort();
}

bool text_ok(const ReplayLog &l, ReplayText t) {
    return t.at < l.text_used && t.len < l.text_used - t.at && l.text[t.at + t.len] == '\0' &&
           strlen(l.text + t.at) == t.len;
}

void check_tables(const ReplayLog &l) {
    check(l.command_count <= kReplayCommandsMax && l.text_used <= kReplayTextMax);
    for (int i = 0; i < l.command_count; ++i) {
        const ReplayCommand &c = l.commands[i];
        check(text_ok(l, c.text));
        check(c.first >= -1 && c.first < l.occurrence_count);
        check(c.last_answered >= -1 && c.last_answered < l.occurrence_count);
        check((c.first < 0) == (c.count == 0));
    }
    for (int i = 0; i < l.occurrence_count; ++i) {
        const ReplayOccurrence &o = l.occurrences[i];
        check(o.command >= 0 && o.command < l.command_count);
        check(o.first_line >= 0 && o.line_count >= 0 &&
              o.first_line + o.line_count <= l.line_count);
        check(o.next_same == -1 || (o.next_same > i && o.next_same < l.occurrence_count &&
                                    l.occurrences[o.next_same].command == o.command));
        check(o.segment >= 0 && o.segment < l.segment_count);
    }
    for (int i = 0; i < l.line_count; ++i)
        check(text_ok(l, l.lines[i].text) && l.lines[i].after_ms >= 0);
    for (int i = 0; i < l.event_count; ++i) {
        const ReplayEvent &e = l.events[i];
        check(e.gate >= 0 && e.gate <= l.occurrence_count);
        check(i == 0 || e.gate >= l.events[i - 1].gate);
        check(e.kind == ReplayEventKind::Loss ? e.absent_ms >= 0 : text_ok(l, e.text));
    }
}

bool same_text(const ReplayLog &a, ReplayText x, const ReplayLog &b, ReplayText y) {
    return x.len == y.len && memcmp(a.text + x.at, b.text + y.at, x.len) == 0;
}

bool same(const ReplayLog &a, const ReplayLog &b) {
    if (a.model_type != b.model_type || a.command_count != b.command_count ||
        a.occurrence_count != b.occurrence_count || a.line_count != b.line_count ||
        a.event_count != b.event_count || a.segment_count != b.segment_count ||
        a.lines_read != b.lines_read || a.damaged != b.damaged || a.full_at != b.full_at ||
        a.silences != b.silences || a.losses != b.losses)
        return false;
    for (int i = 0; i < a.occurrence_count; ++i) {
        const ReplayOccurrence &x = a.occurrences[i], &y = b.occurrences[i];
        if (x.command != y.command || x.at_ms != y.at_ms || x.line_count != y.line_count ||
            x.answered != y.answered || x.cut != y.cut || x.call != y.call ||
            !same_text(a, a.commands[x.command].text, b, b.commands[y.command].text))
            return false;
    }
    for (int i = 0; i < a.line_count; ++i)
        if (a.lines[i].after_ms != b.lines[i].after_ms ||
            !same_text(a, a.lines[i].text, b, b.lines[i].text))
            return false;
    for (int i = 0; i < a.event_count; ++i) {
        const ReplayEvent &x = a.events[i], &y = b.events[i];
        if (x.at_ms != y.at_ms || x.gate != y.gate || x.kind != y.kind ||
            x.absent_ms != y.absent_ms ||
            (x.kind == ReplayEventKind::Line && !same_text(a, x.text, b, y.text)))
            return false;
    }
    return true;
}

// Every command asked for once more than it was recorded: its occurrences
// in log order, then its last answer.
void check_matches(const ReplayLog &l) {
    ReplayCursor cursor;
    if (replay_cursor_init(&cursor, &l) != 0) return;
    for (int i = 0; i < l.command_count; ++i) {
        const ReplayCommand &c = l.commands[i];
        const char *command = replay_text(&l, c.text);
        int previous = -1;
        for (int k = 0; k < c.count; ++k) {
            ReplayMatch m = replay_match(&l, &cursor, command);
            check(m.kind == ReplayMatchKind::Recorded && m.occurrence > previous &&
                  l.occurrences[m.occurrence].command == i);
            previous = m.occurrence;
        }
        ReplayMatch m = replay_match(&l, &cursor, command);
        check(c.count == 0
                  ? m.kind == ReplayMatchKind::Never
                  : m.kind == ReplayMatchKind::Repeated && m.occurrence == c.last_answered);
    }
    check(replay_match(&l, &cursor, "\x01 never a command").kind == ReplayMatchKind::Never);
    replay_cursor_free(&cursor);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size) {
    FuzzedDataProvider in(bytes, size);
    uint32_t seed = in.ConsumeIntegral<uint32_t>();
    std::string data = in.ConsumeRemainingBytesAsString();

    static ReplayLog whole, pieces;
    replay_log_init(&whole);
    replay_log_feed(&whole, data.data(), data.size());
    replay_log_finish(&whole);
    check_tables(whole);
    check_matches(whole);

    replay_log_init(&pieces);
    Chunker chunks(seed);
    for (size_t at = 0; at < data.size();) {
        size_t n = chunks.next(data.size() - at);
        replay_log_feed(&pieces, data.data() + at, n);
        at += n;
    }
    replay_log_finish(&pieces);
    check(same(whole, pieces));

    replay_log_free(&whole);
    replay_log_free(&pieces);
    return 0;
}
