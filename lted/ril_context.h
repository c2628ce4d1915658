// The modem daemon's central state record and its process-wide state.
#pragma once

#include "event_loop.h"

#include <atomic>
#include <cstdint>
#include <pthread.h>

enum ModemType {
    MODEM_NONE = 0,
    MODEM_ASR = 1,
    MODEM_MDM_902D = 2,
    MODEM_MDM_9025 = 3,
    MODEM_MDM_9091 = 4,
};

// Radio states of setRadioState().
constexpr int RADIO_STATE_OFF = 0;
constexpr int RADIO_STATE_UNAVAILABLE = 1;
constexpr int RADIO_STATE_ON = 10;

// Allocated zeroed and owned by main for the whole run; callbacks reach it
// through event_userdata() or ril_context.
struct ModemContext {
    EventLoop *loop; // must stay the first field

    // the modem found on the USB bus
    char cmd_dev[64];  // "/dev/ttyUSB2"; empty when not found
    char data_dev[64]; // the second serial interface; empty when none
    char ifname[32];   // "usb0" or "eth0"; empty when no modem
    int modem_type;    // ModemType

    // settings loaded from the configuration store at start
    int wan_mode_3g; // "wanConnectionMode" is exactly "3G" (refreshed on SIGUSR1)
    int wan_3g_apnmode;
    char wan_3g_apn[128];
    char wan_3g_user[256];
    char wan_3g_pass[256];
    int wan_3g_authtype;
    char wan_3g_apn_reg[128];
    char wan_3g_user_reg[256];
    char wan_3g_pass_reg[256];
    int wan_3g_authtype_reg;
    char ping_server[128];
    int ping_timeout;
    int ping_interval;
    int ping_count;
    int auto_reboot_mode; // refreshed on SIGUSR2
    int auto_reboot_time; // refreshed on SIGUSR2
    char siminitpin[9];

    // data connection up; also read by the AT reader thread for the LED
    std::atomic<int> connected;
    int init_system_started;

    // once per run, on the first connection
    int ntp_started;
    int ping_started;

    // the connectivity watchdog
    int ping_failures;  // consecutive timeouts so far
    uint16_t ping_seq;  // sequence number of the last request
    uint32_t ping_addr; // resolved target, network byte order
    int ping_addr_time; // boot-clock seconds of the resolution; 0 = unresolved
    int ping_sock;      // raw ICMP socket, -1 when closed
};

// Set first thing by RIL_Init; used where no loop is at hand (AT channel
// handlers, setRadioState).
extern ModemContext *ril_context;

// RADIO_STATE_*; written only under radio_state_mutex, read as a snapshot.
extern std::atomic<int> radio_state;
extern pthread_mutex_t radio_state_mutex;
// 1 after the AT channel timed out or closed, 0 once it is reopened.
extern std::atomic<int> at_channel_lost;
// 1 once ril_at_init has configured the modem; the polls idle while 0.
extern std::atomic<int> at_ready;

using RilTimedFn = void (*)(void *arg);

// Remembers the context whose loop RIL_requestTimedCallback uses.
void RIL_startEventLoop(ModemContext *context);
// callback(arg) once after delay (null: at the next timer dispatch),
// replacing a pending timer of the same callback. Any thread. 0 or -1.
int RIL_requestTimedCallback(RilTimedFn callback, void *arg, const EventTime *delay);
