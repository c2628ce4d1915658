// The daemon's start and recovery path towards the modem: configuration,
// discovery timers, opening the AT channel, the modem's initialisation, the
// radio state, and the router's service script.
#pragma once

#include "event_loop.h"

struct ModemContext;

// Loads the settings and arms the first timers. Called once by main.
void RIL_Init(ModemContext *context);

// Groups of settings for ril_settings_load.
constexpr unsigned RIL_SETTINGS_AT_START = 0x1;    // read by RIL_Init only
constexpr unsigned RIL_SETTINGS_WAN_MODE = 0x2;    // "wanConnectionMode", again on SIGUSR1
constexpr unsigned RIL_SETTINGS_AUTO_REBOOT = 0x4; // "auto_reboot_mode"/"_time", again on SIGUSR2
constexpr unsigned RIL_SETTINGS_ALL = 0x7;

// Reads the settings of the groups from the configuration section into the
// context (opening and closing the section): wan_mode_3g is 1 exactly for
// "3G"; numbers are decimal, a missing or empty one 0, and the watchdog's
// interval, time-out and count, when neither 0 nor inside their range
// (ping_settings.h), the range's factory value, logged; a text that does not
// fit its field (with its terminator) is ignored and the field kept as it
// was; "siminitpin" is read only when not empty.
void ril_settings_load(ModemContext *context, unsigned groups);

// Timer callbacks; the context is the loop's userdata.
void ril_reinit_callback(EventLoop *loop, void *arg);
void init_system_timer_callback(EventLoop *loop, void *arg);
// Configures a freshly opened modem (through RIL_requestTimedCallback).
void ril_at_init(void *context);

// RADIO_STATE_*; any thread. Reports "unavailable" while the channel is lost.
void setRadioState(int state);

// The AT channel's time-out and reader-closed handlers: power-cycle the
// modem and search for it again.
void at_timeout_callback();
void at_closed_callback();

// Runs "init_system start" (once per run) and telnetd when enabled.
void init_system_start(ModemContext *context);
