// Descriptor helpers shared by the programs: reading and writing a whole
// buffer, and opening a serial device in raw mode.
#pragma once

#include <cstddef>
#include <ctime>
#include <termios.h>

// fd_write_all: the deadline passed before everything was written.
constexpr int FD_WRITE_TIMEOUT = -2;

// Writes all length bytes to fd: a short write continues with the rest and
// EINTR repeats the call. When fd is non-blocking and full (EAGAIN), waits
// until it takes more, but not past deadline: an absolute CLOCK_MONOTONIC
// time as boot_clock_real_deadline() gives, or null to wait without limit.
// 0 when every byte is written; -1 with errno on an error or a write of 0
// bytes; FD_WRITE_TIMEOUT (errno ETIMEDOUT) when the deadline came first. On
// failure an unknown part of the data has been written.
int fd_write_all(int fd, const void *data, size_t length, const struct timespec *deadline);

// Reads from fd into buf until size bytes, the end of the file or an error
// (EINTR repeats the call). The count of bytes read.
size_t fd_read_full(int fd, void *buf, size_t size);

// How tty_open_raw sets the device up beyond what every caller wants.
struct RawTtyOptions {
    tcflag_t iflag;        // input flags, taken as they are (IGNBRK | IGNPAR, IGNPAR, ...)
    bool rtscts;           // RTS/CTS hardware flow control
    cc_t vmin;             // bytes a read waits for (VTIME is 0)
    bool clear_cc;         // every other control character and the line discipline 0
    int flush;             // queue emptied after the set-up (TCIFLUSH, TCIOFLUSH) or -1
    bool fail_on_settings; // a failure to read, apply or flush the settings fails the open
};

// Opens the serial device at a system path (below the router root on host
// builds) read-write, blocking, close-on-exec and without making it the
// controlling terminal, and sets it up from its current settings: 115200
// baud, 8 data bits, receiver on, modem control lines ignored, no output
// processing, raw input without echo, plus the options. TCSANOW. Descriptor,
// or -1 with errno when the device cannot be opened or, with
// fail_on_settings, set up (the device is then closed again); without it
// settings that fail are left as they were.
int tty_open_raw(const char *system_path, const RawTtyOptions *options);
