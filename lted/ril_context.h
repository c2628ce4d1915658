// The modem daemon's central state record, the modem's lifecycle phase, and
// the two process-wide ways to reach the record. docs/lted.md says which
// thread may touch which field.
#pragma once

#include "event_loop.h"
#include "modem_status.h"
#include "network_poll.h"

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

constexpr int SETTINGS_REFUSED_MAX = 16;

// Owned by main for the whole run; callbacks reach it through
// event_userdata() or ril_context. Value-initialised: what is not given a
// start value below is zero.
struct ModemContext {
    EventLoop *loop; // must stay the first field

    // the modem found on the USB bus (loop thread)
    char cmd_dev[64];  // "/dev/ttyUSB2"; empty when not found
    char data_dev[64]; // the second serial interface; empty when none
    char ifname[32];   // "usb0" or "eth0"; empty when no modem
    int modem_type;    // ModemType; also picks the dialect (modem_dialect.h)

    // settings loaded from the configuration store at start (loop thread)
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
    // names of settings refused for a command line, each logged once per run
    const char *settings_refused[SETTINGS_REFUSED_MAX];

    // the lifecycle (modem_phase): the AT reader thread changes it too
    // RADIO_STATE_*; written only under radio_state_mutex, read as a snapshot
    std::atomic<int> radio_state{RADIO_STATE_UNAVAILABLE};
    pthread_mutex_t radio_state_mutex = PTHREAD_MUTEX_INITIALIZER;
    // 1 after the AT channel timed out or closed, 0 once it is reopened
    std::atomic<int> at_channel_lost{0};
    // 1 once ril_at_init has configured the modem; the polls idle while 0
    std::atomic<int> at_ready{0};
    // a lost modem was power-cycled and has not answered since
    std::atomic<bool> recovering{false};

    // what the daemon last saw of the modem, and the network LED
    ModemStatus status;

    // data connection up; also read by the AT reader thread for the LED
    std::atomic<int> connected{0};
    // the DHCP client and the address of the data connection (loop thread)
    DataConnection connection;
    int init_system_started;

    // once per run, on the first connection
    int ntp_started;
    int ping_started;

    // the connectivity watchdog (loop thread)
    int ping_failures;  // consecutive timeouts so far
    uint16_t ping_seq;  // sequence number of the last request
    uint32_t ping_addr; // resolved target, network byte order
    int ping_addr_time; // boot-clock seconds of the resolution; 0 = unresolved
    int ping_sock;      // raw ICMP socket, -1 when closed
};

// Set first thing by RIL_Init; used where no loop is at hand (AT channel
// handlers, the unsolicited handler, setRadioState).
extern ModemContext *ril_context;

// Where the daemon stands with the modem.
enum ModemPhase {
    MODEM_SEARCHING,    // no channel opened yet: the discovery timer looks every 2 s
    MODEM_INITIALISING, // the channel is open, ril_at_init has not finished
    MODEM_READY,        // at_ready: the polls and the command server talk to the modem
    MODEM_LOST,         // at_channel_lost: power-cycled, searched for again every 4 s
};

// The phase from at_channel_lost, at_ready and the AT channel's state. Any
// thread; takes no lock (the unsolicited handler asks with the AT command
// lock held).
ModemPhase modem_phase(const ModemContext *context);
// The transitions. Opening: ril_reinit_callback before at_open. Ready:
// ril_at_init at its end; false (and not ready) when the channel was lost on
// the way. Lost: an AT time-out or close; true only for the first of two that
// meet, the one that recovers.
void modem_phase_opening(ModemContext *context);
bool modem_phase_ready(ModemContext *context);
bool modem_phase_lost(ModemContext *context);

using RilTimedFn = void (*)(void *arg);

// Remembers the context whose loop RIL_requestTimedCallback uses.
void RIL_startEventLoop(ModemContext *context);
// callback(arg) once after delay (null: at the next timer dispatch),
// replacing a pending timer of the same callback. Any thread. 0 or -1.
int RIL_requestTimedCallback(RilTimedFn callback, void *arg, const EventTime *delay);
