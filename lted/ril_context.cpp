#include "ril_context.h"

ModemContext *ril_context = nullptr;
std::atomic<int> radio_state{RADIO_STATE_UNAVAILABLE};
pthread_mutex_t radio_state_mutex = PTHREAD_MUTEX_INITIALIZER;
std::atomic<int> at_channel_lost{0};
std::atomic<int> at_ready{0};

namespace {
std::atomic<ModemContext *> timed_callback_context{nullptr};
}

void RIL_startEventLoop(ModemContext *context) {
    timed_callback_context.store(context);
}

int RIL_requestTimedCallback(RilTimedFn callback, void *arg, const EventTime *delay) {
    ModemContext *ctx = timed_callback_context.load();
    if (!ctx || !ctx->loop) return -1;
    return __event_add_time_callback(ctx->loop, delay, EVENT_TIME_REPLACE | EVENT_TIME_ARG_ONLY,
                                     event_arg_only(callback), arg);
}
