// What the daemon last saw of the modem, and the network LED that shows it.
#pragma once

#include <atomic>

struct ModemContext;

// 0 ABSENT, 1 NOT_READY, 2 READY, 3 PIN, 4 PUK
extern std::atomic<int> sim_state;
// system mode of the last "^SYSINFO:" answer
extern std::atomic<int> radio_tech;
// status of the last "+CREG:" and "+CGREG:" answers
extern std::atomic<int> voice_reg;
extern std::atomic<int> data_reg;

constexpr int SIM_ABSENT = 0;
constexpr int SIM_NOT_READY = 1;
constexpr int SIM_READY = 2;
constexpr int SIM_PIN = 3;
constexpr int SIM_PUK = 4;

constexpr int NETWORK_LED_PIN = 40;

// Each setter refreshes the LED, whether or not its value changed.
void set_sim_state(ModemContext *context, int v);
void set_radio_tech(ModemContext *context, int v);
// A negative argument leaves its value as it is.
void set_registration(ModemContext *context, int voice, int data);
// Shows the status on the network LED (connected, data or voice registered,
// SIM ready, else searching) unless the five values (with the context's
// connected) are those shown last. Any thread; the latest values win.
void indicator_update(ModemContext *context);
// SIM not ready, no system mode, not registered.
void reset_status(ModemContext *context);
