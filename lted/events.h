// The daemon's event history ("/tmp/lted.events", format in
// event_history.h): the notable things it does and sees, one line each,
// at most EVENTS_MAX_LINES lines and EVENTS_MAX_BYTES bytes, the oldest
// dropped first. And the reason of a reboot the daemon decides, kept in the
// configuration store across the reboot.
#pragma once

#include <cstddef>

struct AtReply;

// Adds one event: the text of the printf format, cleaned (printable ASCII,
// at most EVENT_TEXT_MAX characters), after the wall-clock time and the
// uptime. Lines of a damaged file are dropped on the way. Any thread.
void event_add(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Before a reboot the daemon starts: the event "reboot: REASON", and the
// store key RESTART_REASON_KEY set to the time and reason and committed,
// unless it holds that reason already (a reboot that does not come about is
// not written to flash again and again). Loop thread: it uses the
// configuration store.
void restart_reason_keep(const char *reason);

// Once at start, before the loop: the history line of the restart ("restarted
// after: REASON", "restarted after a power loss or an outside reboot", or,
// when lted already ran in this boot and no reboot was decided, that the
// router kept running), "/tmp/lted.restart" written accordingly, and the key
// cleared with one commit when it was set.
void restart_reason_publish();

// The lease last entered in the history: its client and address.
struct LeaseSeen {
    int pid;
    char ip[64];
};

// Called while the DHCP client client_pid runs on the interface: adds
// "DHCP lease obtained" once for each address that client obtains, as
// remembered in seen. Loop thread.
void event_lease_check(LeaseSeen *seen, int client_pid, const char *ifname);

// A command the web interface had the daemon send, with the modem's reply:
// for the PIN commands (entry, unblocking, lock, change) the event whether
// the card accepted it; the PIN itself is never written. Others: nothing.
void event_sim_command(const char *command, const AtReply *reply);

// The history text buf (len bytes, possibly damaged) with line (one line,
// without its line end) appended: lines that do not parse are dropped, then
// the oldest until at most EVENTS_MAX_LINES lines and EVENTS_MAX_BYTES bytes
// remain. buf must have room for len + strlen(line) + 1 bytes. The new length.
size_t events_append(char *buf, size_t len, const char *line);
