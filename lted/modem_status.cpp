#include "modem_status.h"

#include "events.h"
#include "ril_context.h"
#include "sys_utils.h"

namespace {

struct LedPattern {
    int on, off, blinks, rests, times;
};

constexpr LedPattern kConnected{GPIO_UNLIMITED, 0, 1, 0, GPIO_UNLIMITED};
constexpr LedPattern kDataRegistered{10, 1, GPIO_UNLIMITED, 0, GPIO_UNLIMITED};
constexpr LedPattern kVoiceRegistered{10, 5, GPIO_UNLIMITED, 0, GPIO_UNLIMITED};
constexpr LedPattern kSimReady{10, 10, GPIO_UNLIMITED, 0, GPIO_UNLIMITED};
constexpr LedPattern kSearching{2, 1, GPIO_UNLIMITED, 0, GPIO_UNLIMITED};

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
int registered_pair(const ModemStatus &s) {
    return (is_registered(s.voice_reg) ? 2 : 0) | (is_registered(s.data_reg) ? 1 : 0);
}

bool same_inputs(const IndicatorInputs &a, const IndicatorInputs &b) {
    return a.sim_state == b.sim_state && a.radio_tech == b.radio_tech &&
           a.voice_reg == b.voice_reg && a.data_reg == b.data_reg && a.connected == b.connected;
}

const LedPattern &led_pattern(const IndicatorInputs &now) {
    if (now.connected == 1) return kConnected;
    if (is_registered(now.data_reg)) return kDataRegistered;
    if (is_registered(now.voice_reg)) return kVoiceRegistered;
    return now.sim_state == SIM_READY ? kSimReady : kSearching;
}

} // namespace

bool is_registered(int status) {
    return status == 1 || status == 5;
}

void indicator_update(ModemContext *context) {
    ModemStatus &s = context->status;
    // The snapshot is taken under the lock: one taken before it could be
    // older than the pattern another thread has just shown, and replace it.
    pthread_mutex_lock(&s.indicator_lock);
    IndicatorInputs now{s.sim_state.load(), s.radio_tech.load(), s.voice_reg.load(),
                        s.data_reg.load(), context->connected.load()};
    if (!same_inputs(now, s.led_shown)) {
        const LedPattern &p = led_pattern(now);
        _gpio_set(NETWORK_LED_PIN, p.on, p.off, p.blinks, p.rests, p.times);
        s.led_shown = now;
    }
    pthread_mutex_unlock(&s.indicator_lock);
}

void set_sim_state(ModemContext *context, int v) {
    if (context->status.sim_state.exchange(v) != v) event_add("SIM card %s", sim_text(v));
    indicator_update(context);
}

void set_radio_tech(ModemContext *context, int v) {
    context->status.radio_tech.store(v);
    indicator_update(context);
}

void set_registration(ModemContext *context, int voice, int data) {
    ModemStatus &s = context->status;
    int before = registered_pair(s);
    if (voice >= 0) s.voice_reg.store(voice);
    if (data >= 0) s.data_reg.store(data);
    if (registered_pair(s) != before)
        event_add("network registration: voice %s, data %s", registration_text(s.voice_reg),
                  registration_text(s.data_reg));
    indicator_update(context);
}

void reset_status(ModemContext *context) {
    set_sim_state(context, SIM_NOT_READY);
    set_radio_tech(context, 0);
    set_registration(context, 0, 0);
}
