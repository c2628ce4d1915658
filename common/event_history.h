// The modem daemon's event history and the reason of the router's last
// restart: the files lted writes under /tmp, the store key that carries a
// reason across a reboot, and their line format, which the web back end reads.
#pragma once

#include <cstddef>

// One event a line, oldest first: "YYYY-MM-DD HH:MM:SS UPTIME TEXT" (local
// wall-clock time, boot-clock seconds, printable ASCII text).
constexpr char EVENTS_FILE[] = "/tmp/lted.events";
// The last restart, written by lted at its start: "YYYY-MM-DD HH:MM:SS
// REASON", or RESTART_UNKNOWN alone. Absent until lted has started in this boot.
constexpr char RESTART_FILE[] = "/tmp/lted.restart";
// Section 1 key: "YYYY-MM-DD HH:MM:SS REASON" of a reboot the system itself
// decided, committed just before it; cleared by lted's next start.
constexpr char RESTART_REASON_KEY[] = "RestartReason";
// The reason when no reason was kept.
constexpr char RESTART_UNKNOWN[] = "a power loss or an outside reboot";

constexpr size_t EVENTS_MAX_LINES = 200;
// The file never grows beyond this, whatever the lines hold.
constexpr size_t EVENTS_MAX_BYTES = 16384;
constexpr size_t EVENT_TEXT_MAX = 120;
constexpr size_t EVENT_TIME_LEN = 19;      // "YYYY-MM-DD HH:MM:SS"
constexpr size_t EVENT_UPTIME_DIGITS = 10; // at most
// The longest line, its line end included.
constexpr size_t EVENT_LINE_MAX = EVENT_TIME_LEN + 1 + EVENT_UPTIME_DIGITS + 1 + EVENT_TEXT_MAX + 1;

// The local wall-clock time now as "YYYY-MM-DD HH:MM:SS". 0, or -1 when the
// clock cannot be read (out then holds "1970-01-01 00:00:00").
int event_wall_time(char out[EVENT_TIME_LEN + 1]);

// Copies text into out (size > 0) as printable ASCII, every other byte
// (controls, line ends, bytes from 0x80) replaced by '?', cut to
// EVENT_TEXT_MAX and to size - 1 characters. The length copied.
size_t event_text_clean(char *out, size_t size, const char *text);

// True when the first EVENT_TIME_LEN characters of s (of len) are a time of
// the form above (digits and separators in their places).
bool event_time_valid(const char *s, size_t len);

struct EventLine {
    char time[EVENT_TIME_LEN + 1];
    unsigned long uptime;
    const char *text; // inside the parsed line, not terminated
    size_t text_len;
};
// One history line without its line end: false unless it is the time, one
// blank, 1 to 10 digits, one blank and 1 to EVENT_TEXT_MAX printable ASCII
// characters.
bool event_line_parse(const char *line, size_t len, EventLine *out);
// Steps through the lines of text (len bytes) from offset *at (0 at first):
// the next line's start, with its length without the line end in *n and *at
// moved past it; null at the end, also before a last line without its line
// end (a line cut short).
const char *event_next_line(const char *text, size_t len, size_t *at, size_t *n);

// The longest kept reason "YYYY-MM-DD HH:MM:SS REASON", its terminator
// included.
constexpr size_t RESTART_VALUE_MAX = EVENT_TIME_LEN + 1 + EVENT_TEXT_MAX + 1;
// Writes the reason to keep for a restart decided now: the wall-clock time
// (event_wall_time), one blank and the reason as it is, cut to size - 1
// characters (size > 0).
void restart_value_make(const char *reason, char *out, size_t size);
// Splits a kept reason "YYYY-MM-DD HH:MM:SS REASON": the time into time (""
// when the value does not begin with one; the whole value is then the
// reason), the reason cleaned as event_text_clean does into reason (size > 0).
void restart_value_split(const char *value, char time[EVENT_TIME_LEN + 1], char *reason,
                         size_t size);

// Reads the end of the history file at a system path into buf: at most size
// bytes, beginning at a line start when the file was longer. The count, or
// -1 when the file cannot be read.
long event_file_tail(const char *system_path, char *buf, size_t size);
