#include "sim_bearer.h"

#include "at_channel.h"
#include "at_query.h"
#include "at_tok.h"
#include "events.h"
#include "log.h"
#include "modem_dialect.h"
#include "modem_status.h"
#include "ril_context.h"
#include "sys_utils.h"

#include <cstring>

namespace {

constexpr EventTime kPollNotReady{10, 0};
constexpr EventTime kPollReady{60, 0};
constexpr int kCmeSimNotInserted = 10;

struct CpinState {
    const char *text;
    int state;
};

constexpr CpinState kCpinStates[] = {
    {"READY", SIM_READY},
    {"SIM PIN", SIM_PIN},
    {"SIM PUK", SIM_PUK},
    {"PH-NET PIN", SIM_NOT_READY},
};

// First string of a one-line answer; null when it failed or does not parse.
char *first_string(int rc, AtReply *reply) {
    char *fields = at_reply_fields(rc, reply);
    char *s;
    return at_tok_nextstr(&fields, &s) == 0 ? s : nullptr;
}

void get_sim_status_callback(void *context) {
    getSIMStatus(static_cast<ModemContext *>(context));
}

// The card's state from "AT+CPIN?"; false when the poll ends here (card
// absent, or a state not known).
bool read_sim_state(ModemContext *ctx) {
    AtReply *reply = nullptr;
    if (ctx->radio_state < 2 || at_send_command_singleline("AT+CPIN?", "+CPIN:", &reply) != 0) {
        at_response_free(reply);
        set_sim_state(ctx, SIM_NOT_READY);
        return true;
    }
    int cme = at_get_cme_error(reply);
    const char *text = cme == 0 ? first_string(0, reply) : nullptr;
    int state = text ? sim_state_of_cpin(text) : SIM_NOT_READY;
    at_response_free(reply);
    if (cme == kCmeSimNotInserted || state < 0) {
        set_sim_state(ctx, SIM_ABSENT);
        return false;
    }
    if (state != SIM_READY) {
        set_sim_state(ctx, state);
    } else if (ctx->status.sim_state != SIM_READY) {
        set_sim_state(ctx, SIM_READY);
        sim_ready_setup(ctx);
    }
    return true;
}

} // namespace

int sim_state_of_cpin(const char *text) {
    for (const CpinState &c : kCpinStates)
        if (strcmp(text, c.text) == 0) return c.state;
    return -1;
}

bool sim_attempts_left(const ModemContext *ctx, int *pin, int *puk) {
    const ModemDialect *dialect = modem_dialect(ctx->modem_type);
    if (!dialect) return false;
    AtReply *reply = nullptr;
    int rc =
        at_send_command_singleline(dialect->attempts.command, dialect->attempts.prefix, &reply);
    char *fields = at_reply_fields(rc, reply);
    bool ok = fields && dialect->attempts.parse(fields, pin, puk);
    at_response_free(reply);
    return ok;
}

void sim_pin_autoverify(ModemContext *ctx) {
    if (!ctx->siminitpin[0]) return;
    AtReply *reply = nullptr;
    int rc = at_send_command_singleline("AT+CPIN?", "+CPIN:", &reply);
    const char *state = first_string(rc, reply);
    bool asks = state && strcmp(state, "SIM PIN") == 0;
    at_response_free(reply);
    if (!asks) return;
    // a wrong stored PIN may cost one attempt per radio start, never the card
    int attempts;
    if (!sim_attempts_left(ctx, &attempts, nullptr) || attempts != 3) return;
    if (!at_setting_usable(ctx, "siminitpin", ctx->siminitpin)) return;
    __log_str("lted: ************ try to verify SIM PIN ************\n");
    rc = at_send_formatted(&reply, "AT+CPIN=\"%s\"", ctx->siminitpin);
    event_add("start-up PIN %s", rc < 0 || !reply ? "sent, not answered"
                                 : reply->success ? "accepted"
                                                  : "refused");
    at_response_free(reply);
}

void getSIMStatus(ModemContext *ctx) {
    if (modem_phase(ctx) != MODEM_READY) return;
    __log_str("lted: getSIMStatus(). sState: %d\n", ctx->radio_state.load());
    if (!read_sim_state(ctx)) return;
    RIL_requestTimedCallback(get_sim_status_callback, ctx,
                             ctx->status.sim_state == SIM_READY ? &kPollReady : &kPollNotReady);
}

void sim_ready_setup(ModemContext *ctx) {
    at_send_command_singleline("AT+CSMS=1", "+CSMS:", nullptr);
    at_send_command("AT+CNMI=1,2,2,1,1", nullptr);

    AtReply *reply = nullptr;
    int rc = at_send_command_singleline("AT+ICCID", "+ICCID:", &reply);
    if (const char *iccid = first_string(rc, reply)) write_file_string("/tmp/ICCID", iccid);
    at_response_free(reply);

    rc = at_send_command_numeric("AT+CIMI", &reply);
    if (at_succeeded(rc, reply)) write_file_string("/tmp/IMSI", reply->lines->text);
    at_response_free(reply);

    rc = at_send_command_singleline("AT+CNUM", "+CNUM:", &reply);
    char *fields = at_reply_fields(rc, reply);
    char *alpha, *number;
    if (at_tok_nextstr(&fields, &alpha) == 0 && at_tok_nextstr(&fields, &number) == 0)
        write_file_string("/tmp/CNUM", number);
    at_response_free(reply);

    if (ctx->wan_3g_apnmode == 0) return; // the modem keeps its own APN
    const ModemDialect *dialect = modem_dialect(ctx->modem_type);
    if (dialect && dialect->program_apn) dialect->program_apn(ctx);
}
