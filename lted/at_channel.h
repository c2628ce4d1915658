// The AT command channel: one serial descriptor, one reader thread that splits
// the modem's output into lines, and one pending command at a time whose
// sender blocks until the final line, the channel's close, or the deadline.
#pragma once

#include "at_line_reader.h" // AT_BUFFER_SIZE

struct AtLine {
    AtLine *next;
    char *text;
};

// One command's result; belongs to the caller, released with at_response_free.
struct AtReply {
    int success;      // 1: final line was a success line
    char *final_line; // "OK", "+CME ERROR: 10", ...
    AtLine *lines;    // intermediate lines in arrival order
};

enum AtReplyType {
    AT_REPLY_NONE = 0,
    AT_REPLY_NUMERIC = 1,
    AT_REPLY_SINGLELINE = 2,
    AT_REPLY_MULTILINE = 3,
    AT_REPLY_ALLLINE = 4,
    AT_REPLY_NOPREFIX = 5,
};

constexpr int AT_FAIL_IO = -1;      // the command could not be written
constexpr int AT_FAIL_PENDING = -2; // never returned: the write lock keeps senders apart
constexpr int AT_FAIL_CLOSED = -3;  // the channel is closed, or closed while waiting
constexpr int AT_FAIL_TIMEOUT = -4; // no final line (or the modem took nothing) in time
constexpr int AT_FAIL_THREAD = -5;  // called on the reader thread
constexpr int AT_FAIL_NO_LINE = -6; // singleline/numeric: success without its line

constexpr int AT_DEFAULT_TIMEOUT_MS = 30000;

// Runs on the reader thread. pdu is the line after a "+CMT:", "+CDS:" or
// "+CBM:" line and null otherwise. It runs with the command lock held (except
// for those three), so it must not send commands nor close the channel.
using AtUnsolicitedFn = void (*)(const char *line, const char *pdu);
using AtEventFn = void (*)();

// Takes over the descriptor (closed by at_close; made non-blocking) and
// starts the reader. 0 or -1.
int at_open(int fd, AtUnsolicitedFn handler);
// Closes the channel without calling the reader-closed callback; a waiting
// sender gets AT_FAIL_CLOSED. Returns once the reader has let go.
void at_close();
// 1 from at_open until at_close or the reader's end of the device, else 0
// (a send fails at once with AT_FAIL_CLOSED then). Any thread; takes no lock,
// so the unsolicited handler may ask too.
int at_is_open();

// 0 when a final line arrived (see success), else an AT_FAIL_* code;
// AT_FAIL_TIMEOUT also when the modem does not take the command in time. *out
// (when given) is null on every failure but one: AT_FAIL_CLOSED for a channel
// that closed as the final line came hands that reply out. Singleline and
// numeric: AT_FAIL_NO_LINE for a success without its line, when *out is given.
int at_send_command(const char *command, AtReply **out);
int at_send_command_singleline(const char *command, const char *prefix, AtReply **out);
int at_send_command_numeric(const char *command, AtReply **out);
int at_send_command_multiline(const char *command, const char *prefix, AtReply **out);
int at_send_command_allline(const char *command, AtReply **out);
int at_send_command_noprefix(const char *command, AtReply **out);
// Same with an explicit time-out in boot-clock ms (0 or less: 30 s).
int at_send_command_timeout(const char *command, AtReplyType type, const char *prefix,
                            int timeout_ms, AtReply **out);

// "ATQ0" up to 8 times, 250 ms each, until one is answered. 0 or the last failure.
int at_handshake();
// 0 for a success reply, the number of a "+CME ERROR:" final line, else -1.
int at_get_cme_error(const AtReply *reply);
// 1 when the command succeeded: the send returned 0 or more and the modem
// accepted it (success 1); else 0.
int at_succeeded(int rc, const AtReply *reply);

// Called on the sending thread after a time-out, without any lock held.
void at_set_on_timeout(AtEventFn callback);
// Called on the reader thread when the device reports end of file or an error.
void at_set_on_reader_closed(AtEventFn callback);

// Frees the reply with its lines; null is ignored.
void at_response_free(AtReply *reply);

// 1 when prefix (the empty one too) begins line, else 0.
int strStartsWith(const char *line, const char *prefix);
