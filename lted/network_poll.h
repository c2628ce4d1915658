// The network poll: registration and system mode, the data connection in the
// modem's dialect, the DHCP client on the modem's network interface, the
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
// nothing, and ends the chain, while the modem is not ready (modem_phase).
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

// Connected: the flag up and "/tmp/connected" created when it does not exist
// (its time stamp marks the first detection of this connection).
// Disconnected: the flag down and the file removed.
void connection_up(ModemContext *context);
void connection_down(ModemContext *context);

// Which "+CGPADDR:" lines give the address: any context's, the last one
// neither empty nor "0.0.0.0"; or context 1's, the last one not empty.
enum CgpaddrRule { CGPADDR_ANY_CONTEXT, CGPADDR_CONTEXT_ONE };

// "AT+CGPADDR" and its address by the rule, at most size - 1 characters
// ("" when none): 1 found, 0 none, -1 when the query failed.
int cgpaddr_query(CgpaddrRule rule, char *out, size_t size);
// The address of a "+CGPADDR:" reply by the rule, at most size - 1
// characters. 1 when found, else 0 and "".
int cgpaddr_scan(const AtLine *lines, CgpaddrRule rule, char *out, size_t size);
