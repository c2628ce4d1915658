// The daemon's start and recovery path towards the modem: configuration,
// discovery timers, opening the AT channel, the modem's initialisation, the
// radio state, and the router's service script.
#pragma once

#include "event_loop.h"

struct ModemContext;

// Loads the settings and arms the first timers. Called once by main.
void RIL_Init(ModemContext *context);

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
