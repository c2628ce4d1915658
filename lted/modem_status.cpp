#include "modem_status.h"

#include "events.h"
#include "ril_context.h"
#include "sys_utils.h"

#include <pthread.h>

std::atomic<int> sim_state{SIM_NOT_READY};
std::atomic<int> radio_tech{0};
std::atomic<int> voice_reg{0};
std::atomic<int> data_reg{0};

namespace {

struct LedPattern {
    int on, off, blinks, rests, times;
};

constexpr LedPattern kConnected{GPIO_UNLIMITED, 0, 1, 0, GPIO_UNLIMITED};
constexpr LedPattern kDataRegistered{10, 1, GPIO_UNLIMITED, 0, GPIO_UNLIMITED};
constexpr LedPattern kVoiceRegistered{10, 5, GPIO_UNLIMITED, 0, GPIO_UNLIMITED};
constexpr LedPattern kSimReady{10, 10, GPIO_UNLIMITED, 0, GPIO_UNLIMITED};
constexpr LedPattern kSearching{2, 1, GPIO_UNLIMITED, 0, GPIO_UNLIMITED};

// The setters run on the loop thread and on the AT channel's handler
// threads; the cache and the LED request must change together.
pthread_mutex_t indicator_lock = PTHREAD_MUTEX_INITIALIZER;
int shown[5] = {-1, -1, -1, -1, -1};

bool registered(int status) {
    return status == 1 || status == 5;
}

const char *sim_text(int state) {
    static constexpr const char *kNames[] = {"absent", "not ready", "ready", "asks for its PIN",
                                             "asks for its PUK"};
    return state >= 0 && state <= SIM_PUK ? kNames[state] : "unknown";
}

const char *registration_text(int status) {
    static constexpr const char *kNames[] = {"not registered", "home",    "searching",
                                             "denied",         "unknown", "roaming"};
    return status >= 0 && status <= 5 ? kNames[status] : "unknown";
}

// Which of voice and data are registered: what the history follows.
int registered_pair() {
    return (registered(voice_reg) ? 2 : 0) | (registered(data_reg) ? 1 : 0);
}

} // namespace

void indicator_update(ModemContext *context) {
    // The snapshot is taken under the lock: one taken before it could be
    // older than the pattern another thread has just shown, and replace it.
    pthread_mutex_lock(&indicator_lock);
    int now[5] = {sim_state.load(), radio_tech.load(), voice_reg.load(), data_reg.load(),
                  context ? context->connected.load() : 0};
    bool same = true;
    for (int i = 0; i < 5; ++i)
        if (now[i] != shown[i]) same = false;
    if (!same) {
        const LedPattern &p = now[4] == 1           ? kConnected
                              : registered(now[3])  ? kDataRegistered
                              : registered(now[2])  ? kVoiceRegistered
                              : now[0] == SIM_READY ? kSimReady
                                                    : kSearching;
        _gpio_set(NETWORK_LED_PIN, p.on, p.off, p.blinks, p.rests, p.times);
        for (int i = 0; i < 5; ++i)
            shown[i] = now[i];
    }
    pthread_mutex_unlock(&indicator_lock);
}

void set_sim_state(ModemContext *context, int v) {
    if (sim_state.exchange(v) != v) event_add("SIM card %s", sim_text(v));
    indicator_update(context);
}

void set_radio_tech(ModemContext *context, int v) {
    radio_tech.store(v);
    indicator_update(context);
}

void set_registration(ModemContext *context, int voice, int data) {
    int before = registered_pair();
    if (voice >= 0) voice_reg.store(voice);
    if (data >= 0) data_reg.store(data);
    if (registered_pair() != before)
        event_add("network registration: voice %s, data %s", registration_text(voice_reg),
                  registration_text(data_reg));
    indicator_update(context);
}

void reset_status(ModemContext *context) {
    set_sim_state(context, SIM_NOT_READY);
    set_radio_tech(context, 0);
    set_registration(context, 0, 0);
}
