#include "ril_context.h"

#include "at_channel.h"

ModemContext *ril_context = nullptr;

namespace {
std::atomic<ModemContext *> timed_callback_context{nullptr};
}

ModemPhase modem_phase(const ModemContext *ctx) {
    if (ctx->at_channel_lost) return MODEM_LOST;
    if (ctx->at_ready) return MODEM_READY;
    return at_is_open() ? MODEM_INITIALISING : MODEM_SEARCHING;
}

void modem_phase_opening(ModemContext *ctx) {
    ctx->at_channel_lost = 0;
    ctx->at_ready = 0;
}

bool modem_phase_ready(ModemContext *ctx) {
    pthread_mutex_lock(&ctx->radio_state_mutex);
    bool lost = ctx->at_channel_lost != 0;
    if (!lost) ctx->at_ready = 1;
    pthread_mutex_unlock(&ctx->radio_state_mutex);
    return !lost;
}

bool modem_phase_lost(ModemContext *ctx) {
    pthread_mutex_lock(&ctx->radio_state_mutex);
    bool first = ctx->at_channel_lost == 0;
    ctx->at_channel_lost = 1;
    ctx->at_ready = 0;
    pthread_mutex_unlock(&ctx->radio_state_mutex);
    return first;
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
