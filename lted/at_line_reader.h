// Splits what the modem sends into lines: the AT channel's reader thread owns
// one of these and feeds it from the tty through a read callback.
#pragma once

#include <cstddef>
#include <sys/types.h>

constexpr int AT_BUFFER_SIZE = 8192;

// Unread data runs from cur to end and is zero-terminated.
struct AtLineReader {
    char buf[AT_BUFFER_SIZE + 1];
    char *cur;
    char *end;
    bool skip_rest; // dropping the tail of an over-long line
};

// Fills up to room bytes at dst: the count (>0), 0 at end of file, <0 when
// reading must stop. Called only when no complete line is buffered.
using AtReadFn = ssize_t (*)(char *dst, size_t room, void *user);

// Empties the reader (before a new device is read).
void at_line_reader_reset(AtLineReader *r);
// The next line without its line end, or null once read returns 0 or less.
// A line ends at "\r" or "\n"; empty lines are skipped; the prompt "> " counts
// as a line when it is all that is buffered. NUL bytes are dropped. A line of
// AT_BUFFER_SIZE bytes or more is dropped whole, logged once per buffer
// fill. The line stays valid until the next call; it is logged as "AT< ".
char *at_line_reader_next(AtLineReader *r, AtReadFn read, void *user);
