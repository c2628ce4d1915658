// What the daemon last saw of the modem, and the network LED that shows it.
#pragma once

#include <atomic>
#include <pthread.h>

struct ModemContext;

// sim_state: 0 to 4, named as the command server's answers name them
enum SimState { SIM_ABSENT, SIM_NOT_READY, SIM_READY, SIM_PIN, SIM_PUK };

constexpr int NETWORK_LED_PIN = 40;

// The values the network LED shows.
struct IndicatorInputs {
    int sim_state, radio_tech, voice_reg, data_reg, connected;
};

// The context's status record. The setters run on the loop thread and on the
// AT channel's handler threads, so the values are atomics.
struct ModemStatus {
    // SIM_*
    std::atomic<int> sim_state{SIM_NOT_READY};
    // system mode of the last "^SYSINFO:" answer
    std::atomic<int> radio_tech{0};
    // status of the last "+CREG:" and "+CGREG:" answers
    std::atomic<int> voice_reg{0};
    std::atomic<int> data_reg{0};
    // the cache and the LED request change together under this lock
    pthread_mutex_t indicator_lock = PTHREAD_MUTEX_INITIALIZER;
    IndicatorInputs led_shown{-1, -1, -1, -1, -1}; // none shown yet
};

// A "+CREG:"/"+CGREG:" status that counts as registered: 1 home, 5 roaming.
bool is_registered(int status);

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
