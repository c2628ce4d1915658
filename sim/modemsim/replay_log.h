// A modem conversation taken from the modem daemon's log, for the
// simulator's replay: which command got which lines back, what came without
// a command, and when the modem went away. Pure: text in, tables out. The
// daemon of a replay starts afresh: the tables hold the log from the
// daemon's first start in it on.
//
// The log comes off a router that may be faulty: damaged, cut and rotated
// logs are read as far as they make sense, every table has a limit, and a
// log beyond the limits is read up to them.
#pragma once

#include <cstddef>
#include <cstdint>

// A string in the log's text pool, NUL-terminated there.
struct ReplayText {
    uint32_t at;
    uint32_t len;
};

// A line of an answer, and when the daemon read it after sending the command.
struct ReplayAnswerLine {
    ReplayText text;
    int32_t after_ms;
};

// One sending of a command and the lines that followed it.
struct ReplayOccurrence {
    int command;
    int segment;
    int64_t at_ms; // uptime of the sending; below 10^12, so that its ns fit in 64 bits
    int first_line;
    int line_count;
    bool answered; // ended in a final line; otherwise the modem fell silent or went away
    bool cut;      // the log ends, or the daemon restarted, while it waited: not a silence
    int8_t call;   // the daemon saw its data connection come up (1) or go (-1) after this answer
    int next_same; // the next occurrence of the same command, -1
};

struct ReplayCommand {
    ReplayText text;
    int first;         // its first occurrence, -1 when all were cut
    int last_answered; // -1 when it was never answered
    int count;
    int last; // while chaining: the occurrence that the next one is chained to
};

enum class ReplayEventKind : uint8_t {
    Line, // a line read while no command waited
    Loss, // the modem's tty went away without the daemon closing it
};

// An event waits in a replay until the command it followed in the log (its
// gate) has been replayed, and comes as long after it as it did in the log.
// After a loss of the channel the gate is the first command of the new
// segment: what the modem sent before it comes with it.
struct ReplayEvent {
    int64_t at_ms;
    int segment;
    int gate; // an occurrence; the event waits until this one or a later one is replayed
    ReplayEventKind kind;
    ReplayText text;   // Line
    int64_t absent_ms; // Loss: until the daemon found the modem again (or the log ended)
};

// Limits: far above two full generations of the daemon's log (512000 bytes
// each, lines of at most 511 characters).
constexpr size_t kReplayLineMax = 1024;
constexpr size_t kReplayTextMax = 8u << 20;
constexpr int kReplayCommandsMax = 4096;
constexpr int kReplayOccurrencesMax = 1 << 18;
constexpr int kReplayAnswerLinesMax = 1 << 19;
constexpr int kReplayEventsMax = 1 << 17;

struct ReplayLog {
    int model_type; // the daemon's mdm_type of the first modem it found (1-4), 0 none

    char *text;
    size_t text_used, text_room;
    ReplayCommand *commands;
    int command_count, command_room;
    int *command_index; // open addressing over command texts, -1 free
    ReplayOccurrence *occurrences;
    int occurrence_count, occurrence_room;
    ReplayAnswerLine *lines;
    int line_count, line_room;
    ReplayEvent *events;
    int event_count, event_room;
    // segments of the log begin where the daemon lost the channel (a time-out
    // or the tty gone), after which the modem came back
    int segment_count;

    // reading state
    char partial[kReplayLineMax];
    size_t partial_len;
    bool partial_overlong;
    int pending;        // the occurrence waiting for its final line, -1
    int last_done;      // the last one answered since the last loss of the channel, -1
    bool channel_gone;  // no command since the channel was last lost
    bool segment_begun; // a command in the current segment
    bool started;       // the daemon's first start was read
    int open_loss;      // the loss event whose end is not seen yet, -1
    int64_t last_ms;    // uptime of the last line read
    bool finished;

    // what the reading met
    long lines_read;
    long damaged; // lines that are not the daemon's: skipped
    long full_at; // the line at which a limit was reached and reading stopped, 0 none
    long skipped; // lines before the daemon's first start, left out
    int silences; // occurrences that stayed without an answer
    int losses;
};

// An empty log.
void replay_log_init(ReplayLog *log);
// Reads more of the log's bytes, in pieces of any size. 0, or -1 once a limit
// was reached: the rest is ignored (full_at says where).
int replay_log_feed(ReplayLog *log, const char *data, size_t len);
// The end of the log: an unfinished last line is dropped as damage, a
// command still waiting is cut, and the occurrences are chained per
// command. Once.
void replay_log_finish(ReplayLog *log);
void replay_log_free(ReplayLog *log);
// Reads "PATH.1" (the older generation, when it exists) and then PATH, and
// finishes the log. 0; -1 with the reason in why when PATH (or a PATH.1
// that exists) cannot be read.
int replay_log_load(ReplayLog *log, const char *path, char *why, size_t why_size);
const char *replay_text(const ReplayLog *log, ReplayText t);

// Which recorded answer a command gets in a replay.
struct ReplayCursor {
    int *next; // per command: its next unused occurrence, -1 once all are used
};
int replay_cursor_init(ReplayCursor *c, const ReplayLog *log); // 0 or -1 (memory)
void replay_cursor_free(ReplayCursor *c);

enum class ReplayMatchKind {
    Recorded, // the next recorded occurrence of the command
    Repeated, // all are used: its last answer again (occurrence -1: it never had one)
    Never,    // not in the log
};
struct ReplayMatch {
    ReplayMatchKind kind;
    int occurrence;
};
ReplayMatch replay_match(const ReplayLog *log, ReplayCursor *c, const char *command);
