#include "sim_bearer.h"

#include "at_channel.h"
#include "at_tok.h"
#include "events.h"
#include "log.h"
#include "modem_status.h"
#include "ril_context.h"
#include "sys_utils.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

constexpr EventTime kPollNotReady{10, 0};
constexpr EventTime kPollReady{60, 0};
constexpr int kCmeSimNotInserted = 10;

// First string of the first intermediate line; null when it does not parse.
char *first_string(AtReply *reply) {
    if (!reply || !reply->lines) return nullptr;
    char *cursor = reply->lines->text;
    char *s;
    if (at_tok_start(&cursor) < 0 || at_tok_nextstr(&cursor, &s) < 0) return nullptr;
    return s;
}

// PIN attempts left as the modem type reports them; -1 when unknown.
int pin_attempts(int modem_type) {
    AtReply *reply = nullptr;
    int attempts = -1;
    if (modem_type == MODEM_ASR) {
        int rc = at_send_command_singleline("AT+EPIN?", "+EPIN:", &reply);
        char *cursor = at_succeeded(rc, reply) ? reply->lines->text : nullptr;
        if (cursor && (at_tok_start(&cursor) < 0 || at_tok_nextint(&cursor, &attempts) < 0))
            attempts = -1;
    } else if (modem_type == MODEM_MDM_902D || modem_type == MODEM_MDM_9025 ||
               modem_type == MODEM_MDM_9091) {
        int rc = at_send_command_singleline("AT+CPINEX?", "+CPINEX:", &reply);
        char *cursor = at_succeeded(rc, reply) ? reply->lines->text : nullptr;
        char *skip;
        int puk;
        if (cursor && (at_tok_start(&cursor) < 0 || at_tok_nextstr(&cursor, &skip) < 0 ||
                       at_tok_nextstr(&cursor, &skip) < 0 || at_tok_nextint(&cursor, &puk) < 0 ||
                       at_tok_nextint(&cursor, &attempts) < 0))
            attempts = -1;
    } else {
        attempts = 0;
    }
    at_response_free(reply);
    return attempts;
}

void get_sim_status_callback(void *context) {
    getSIMStatus(static_cast<ModemContext *>(context));
}

void send(const char *command) {
    at_send_command(command, nullptr);
}

// The asr modem's default bearer (context 1 of its own profile).
void program_apn_asr(ModemContext *ctx) {
    char cmd[320];
    if (ctx->wan_3g_apn_reg[0]) {
        if (at_setting_usable(ctx, "wan_3g_apn_reg", ctx->wan_3g_apn_reg)) {
            if (at_format(cmd, sizeof cmd, "AT*CGDFLT=1,\"IP\",\"%s\",,,,,,,,,,,,,,,,,,1",
                          ctx->wan_3g_apn_reg))
                send(cmd);
        }
        if (at_setting_usable(ctx, "wan_3g_user_reg", ctx->wan_3g_user_reg) &&
            at_setting_usable(ctx, "wan_3g_pass_reg", ctx->wan_3g_pass_reg)) {
            if (at_format(cmd, sizeof cmd, "AT*CGDFAUTH=1,%d,\"%s\",\"%s\"",
                          ctx->wan_3g_authtype_reg, ctx->wan_3g_user_reg, ctx->wan_3g_pass_reg))
                send(cmd);
        }
        return;
    }
    bool apn_ok = at_setting_usable(ctx, "wan_3g_apn", ctx->wan_3g_apn);
    if (ctx->wan_3g_apn[0]) {
        if (apn_ok) {
            if (at_format(cmd, sizeof cmd, "AT*CGDFLT=1,\"IP\",\"%s\",,,,,,,,,,,,,,,,,,1",
                          ctx->wan_3g_apn))
                send(cmd);
        }
    } else {
        send("AT*CGDFLT=1,\"IP\",\"\",,,,,,,,,,,,,,,,,,0");
    }
    send("AT*CGDFAUTH=1,0");
    if (apn_ok) {
        if (at_format(cmd, sizeof cmd, "AT+CGDCONT=1,\"IP\",\"%s\"", ctx->wan_3g_apn)) send(cmd);
    }
}

void program_apn_qc(ModemContext *ctx) {
    bool reg = ctx->wan_3g_apn_reg[0] != '\0';
    const char *apn = reg ? ctx->wan_3g_apn_reg : ctx->wan_3g_apn;
    const char *user = reg ? ctx->wan_3g_user_reg : ctx->wan_3g_user;
    const char *pass = reg ? ctx->wan_3g_pass_reg : ctx->wan_3g_pass;
    int auth = reg ? ctx->wan_3g_authtype_reg : ctx->wan_3g_authtype;
    const char *apn_key = reg ? "wan_3g_apn_reg" : "wan_3g_apn";
    const char *user_key = reg ? "wan_3g_user_reg" : "wan_3g_user";
    const char *pass_key = reg ? "wan_3g_pass_reg" : "wan_3g_pass";
    char cmd[320];
    if (at_setting_usable(ctx, apn_key, apn)) {
        if (at_format(cmd, sizeof cmd, "AT+CGDCONT=3,\"IP\",\"%s\"", apn)) send(cmd);
        if (at_format(cmd, sizeof cmd, "AT+CGDCONT=1,\"IP\",\"%s\"", apn)) send(cmd);
    }
    if (!ctx->wan_3g_user[0]) return;
    // $QCPDPP takes the password before the user name, unquoted
    if (at_setting_usable(ctx, pass_key, pass, true) &&
        at_setting_usable(ctx, user_key, user, true)) {
        if (at_format(cmd, sizeof cmd, "AT$QCPDPP=%d,%d,%s,%s", 3, auth, pass, user)) send(cmd);
    }
    if (at_setting_usable(ctx, user_key, user) && at_setting_usable(ctx, pass_key, pass)) {
        if (at_format(cmd, sizeof cmd, "AT^NETCFG=0,32774,,,4,,,\"\",%d,\"%s\",\"%s\"", auth, user,
                      pass))
            send(cmd);
    }
}

} // namespace

bool at_format(char *buf, size_t size, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(buf, size, format, ap);
    va_end(ap);
    if (n >= 0 && static_cast<size_t>(n) < size) return true;
    // the name alone: the rest may hold a password
    __log_str("lted: %s: command too long, not sent: %.*s\n", "at_format",
              static_cast<int>(strcspn(format, "=")), format);
    return false;
}

bool at_value_ok(const char *value, bool bare) {
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(value); *p; ++p) {
        if (*p == '"' || *p < 0x20 || *p == 0x7f) return false;
        // unquoted, ',' would end the field and shift the next value into it
        if (bare && (*p == ';' || *p == ',')) return false;
    }
    return true;
}

bool at_setting_usable(ModemContext *ctx, const char *name, const char *value, bool bare) {
    if (at_value_ok(value, bare)) return true;
    // Settings are loaded once per run: one line each is enough.
    for (const char *n : ctx->settings_refused)
        if (n && strcmp(n, name) == 0) return false;
    for (const char *&n : ctx->settings_refused)
        if (!n) {
            n = name;
            break;
        }
    __log_str("lted: %s: %s holds a quote, ';', ',' or a control character; not sent\n",
              "at_setting_usable", name);
    return false;
}

void sim_pin_autoverify(ModemContext *ctx) {
    if (!ctx->siminitpin[0]) return;
    AtReply *reply = nullptr;
    int rc = at_send_command_singleline("AT+CPIN?", "+CPIN:", &reply);
    const char *state = at_succeeded(rc, reply) ? first_string(reply) : nullptr;
    bool asks = state && strcmp(state, "SIM PIN") == 0;
    at_response_free(reply);
    if (!asks) return;
    // a wrong stored PIN may cost one attempt per radio start, never the card
    if (pin_attempts(ctx->modem_type) != 3) return;
    if (!at_setting_usable(ctx, "siminitpin", ctx->siminitpin)) return;
    __log_str("lted: ************ try to verify SIM PIN ************\n");
    char cmd[256];
    if (!at_format(cmd, sizeof cmd, "AT+CPIN=\"%s\"", ctx->siminitpin)) return;
    reply = nullptr;
    rc = at_send_command(cmd, &reply);
    event_add("start-up PIN %s", rc < 0 || !reply ? "sent, not answered"
                                 : reply->success ? "accepted"
                                                  : "refused");
    at_response_free(reply);
}

void getSIMStatus(ModemContext *ctx) {
    if (modem_phase(ctx) != MODEM_READY) return;
    int radio_state = ctx->radio_state;
    __log_str("lted: getSIMStatus(). sState: %d\n", radio_state);
    AtReply *reply = nullptr;
    if (radio_state < 2 || at_send_command_singleline("AT+CPIN?", "+CPIN:", &reply) != 0) {
        set_sim_state(ctx, SIM_NOT_READY);
    } else {
        int cme = at_get_cme_error(reply);
        const char *state = cme == 0 ? first_string(reply) : nullptr;
        if (cme == kCmeSimNotInserted) {
            set_sim_state(ctx, SIM_ABSENT);
            at_response_free(reply);
            return;
        }
        if (!state) {
            set_sim_state(ctx, SIM_NOT_READY);
        } else if (strcmp(state, "SIM PIN") == 0) {
            set_sim_state(ctx, SIM_PIN);
        } else if (strcmp(state, "SIM PUK") == 0) {
            set_sim_state(ctx, SIM_PUK);
        } else if (strcmp(state, "PH-NET PIN") == 0) {
            set_sim_state(ctx, SIM_NOT_READY);
        } else if (strcmp(state, "READY") == 0) {
            if (ctx->status.sim_state != SIM_READY) {
                set_sim_state(ctx, SIM_READY);
                sim_ready_setup(ctx);
            }
        } else {
            set_sim_state(ctx, SIM_ABSENT);
            at_response_free(reply);
            return;
        }
    }
    at_response_free(reply);
    RIL_requestTimedCallback(get_sim_status_callback, ctx,
                             ctx->status.sim_state == SIM_READY ? &kPollReady : &kPollNotReady);
}

void sim_ready_setup(ModemContext *ctx) {
    at_send_command_singleline("AT+CSMS=1", "+CSMS:", nullptr);
    send("AT+CNMI=1,2,2,1,1");

    AtReply *reply = nullptr;
    int rc = at_send_command_singleline("AT+ICCID", "+ICCID:", &reply);
    const char *iccid = at_succeeded(rc, reply) ? first_string(reply) : nullptr;
    if (iccid) write_file_string("/tmp/ICCID", iccid);
    at_response_free(reply);

    reply = nullptr;
    rc = at_send_command_numeric("AT+CIMI", &reply);
    if (at_succeeded(rc, reply)) write_file_string("/tmp/IMSI", reply->lines->text);
    at_response_free(reply);

    reply = nullptr;
    rc = at_send_command_singleline("AT+CNUM", "+CNUM:", &reply);
    if (at_succeeded(rc, reply)) {
        char *cursor = reply->lines->text;
        char *alpha, *number;
        if (at_tok_start(&cursor) == 0 && at_tok_nextstr(&cursor, &alpha) == 0 &&
            at_tok_nextstr(&cursor, &number) == 0)
            write_file_string("/tmp/CNUM", number);
    }
    at_response_free(reply);

    if (ctx->wan_3g_apnmode == 0) return; // the modem keeps its own APN
    if (ctx->modem_type == MODEM_ASR)
        program_apn_asr(ctx);
    else if (ctx->modem_type == MODEM_MDM_9025 || ctx->modem_type == MODEM_MDM_9091)
        program_apn_qc(ctx);
}
