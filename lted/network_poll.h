// The network poll: registration and system mode, the data connection in the
// modem type's dialect, the DHCP client on the modem's network interface, the
// "/tmp/connected" marker, and what starts with the first connection.
#pragma once

#include "event_loop.h"
#include "events.h"

#include <cstddef>

struct AtLine;
struct ModemContext;

// The context's record of the data connection's helpers. Loop thread only.
struct DataConnection {
    // process id of the running DHCP client; -1 when none
    int dhcp_pid = -1;
    // the address an asr modem last reported for its data context; forgotten
    // when a failed poll drops the connection flag
    char last_ip[64] = {};
    // the client's lease last entered in the event history
    LeaseSeen lease = {};
};

// One poll; reschedules itself after 10 s (30 s while connected). Does
// nothing, and ends the chain, while the channel is not ready.
void pollNetState(ModemContext *context);
// Registration lines poll at once; location reports go to "/tmp/clocation".
// Runs on the AT reader thread.
void unsolicited_handler(const char *line, const char *pdu);

// The DHCP supervisor every 5 s, replacing a pending one; first run at once
// when now is 1, after 5 s when 0.
void dhcp_poll_start(ModemContext *context, int now);
// Keeps one "udhcpc" running on the modem's interface while it exists.
void ril_start_dhcpc_callback(EventLoop *loop, void *arg);
// Cancels the supervisor and terminates the client.
void dhcp_client_stop(ModemContext *context);
// At exit: dhcp_client_stop.
void RIL_Deinit(ModemContext *context);

// No connection within 300 s of start: "reboot" 5 s later.
void ril_data_disconnect_callback(EventLoop *loop, void *arg);
void reboot_command(EventLoop *loop, void *arg); // runs "reboot"
void ntp_command(EventLoop *loop, void *arg);    // runs "ntp.sh"

// The address of a "+CGPADDR:" reply: the last non-empty one other than
// "0.0.0.0", at most size - 1 characters. 1 when found, else 0 and "".
int cgpaddr_scan(const AtLine *lines, char *out, size_t size);
// Data calls in a "$QCRMCALL:" reply: lines holding an integer and a string.
int qcrmcall_count(const AtLine *lines);
// The 9025/9091 dial for the data status and system mode; null when the
// packet service is not registered (1 home, 5 roaming).
const char *qcrmcall_dial(int data_status, int system_mode, char *buf, size_t size);
