// The AT helpers the daemon's modules share: commands whose answer does not
// matter, commands built from settings, and the fields of one-line answers.
// They send through the AT channel on the calling thread (the loop thread).
#pragma once

#include <cstddef>

struct AtReply;
struct ModemContext;

// A configuration value that goes into an AT command line: true when it can
// neither end the line nor its quoted field ('"' or a control character),
// and, for a bare (unquoted) field, can neither chain another command (';')
// nor end its field (',').
bool at_value_ok(const char *value, bool bare);
// snprintf for a command line; false (and nothing to send) when the command
// does not fit, so that a cut line never reaches the modem.
bool at_format(char *buf, size_t size, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
// at_value_ok, logging a refusal once per setting name and daemon run (the
// names logged are kept in the context).
bool at_setting_usable(ModemContext *context, const char *name, const char *value,
                       bool bare = false);

// Sends the command built by at_format in a line of 320 bytes, the reply in
// *out when out is given. The send's result; AT_FAIL_IO, nothing sent, when
// the command does not fit.
int at_send_formatted(AtReply **out, const char *format, ...) __attribute__((format(printf, 2, 3)));

// The fields of the reply's first line, after the prefix's ':': a tokenizer
// cursor into the line, which the caller's reply owns. Null (every at_tok_
// operation fails on it) unless the send's result rc is 0 or more, the modem
// answered with success and a line was collected.
char *at_reply_fields(int rc, AtReply *reply);
// The first count integers of a one-line query's answer into values; false
// when the query failed or one of them does not parse.
bool at_query_ints(const char *command, const char *prefix, int *values, int count);
// The field after the first two integers of a one-line query's answer
// ("+RSRP: 101,1850,-95": "-95"), at most size - 1 characters; false when
// the query failed or the fields do not parse.
bool at_query_value_after_two_ints(const char *command, const char *prefix, char *out, size_t size);

constexpr size_t AT_LINE_COPY_SIZE = 512;

// An intermediate line ("+CGPADDR: 1,\"10.1.2.3\"") tokenised in a private
// copy of its first AT_LINE_COPY_SIZE - 1 characters: its first integer and
// the string after it (pointing into copy); false when they do not parse.
bool at_line_int_and_string(const char *line, char (&copy)[AT_LINE_COPY_SIZE], int *number,
                            char **text);

// The fields of a "^SYSINFO:" answer.
struct SysInfo {
    int service_status;
    int service_domain;
    int roaming;
    int system_mode; // the radio technology: radio_tech's values
    int sim_state;
};

// "AT^SYSINFO": its integers in order into info, up to the first that does
// not parse (the rest keep their values). How many were read; -1 when the
// query failed.
int sysinfo_query(SysInfo *info);
