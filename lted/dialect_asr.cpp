// The dialect of the asr modem (1286:4e3c): its own default bearer
// ("AT*CGDFLT"), its data context switched on by hand ("AT+CGACT",
// "AT*NETACT") and judged by the address it reports, and its own PIN
// attempts and signal queries.
#include "modem_dialect.h"

#include "at_channel.h"
#include "at_query.h"
#include "at_tok.h"
#include "modem_status.h"
#include "network_poll.h"
#include "ril_context.h"

#include <cstdio>
#include <cstring>

namespace {

// A modem in the wrong USB mode, or with the wrong network stack, never
// brings its interface up.
void asr_at_init() {
    AtReply *reply = nullptr;
    int rc = at_send_command_singleline("AT+PMODS?", "+PMODS:", &reply);
    if (!at_succeeded(rc, reply)) {
        at_send_command("AT*LWIPCTRL=mode,0,1", nullptr);
    } else {
        char *fields = at_reply_fields(rc, reply);
        int mode;
        if (at_tok_nextint(&fields, &mode) == 0 && mode == 1)
            at_send_command("AT+PMODS=0", nullptr);
    }
    at_response_free(reply);
}

// "+EPIN: 3,0,10": PIN attempts, then (after a field not used) PUK attempts.
bool asr_attempts_parse(char *fields, int *pin, int *puk) {
    int skip;
    if (at_tok_nextint(&fields, pin) < 0) return false;
    return !puk || (at_tok_nextint(&fields, &skip) == 0 && at_tok_nextint(&fields, puk) == 0);
}

// The asr modem's default bearer (context 1 of its own profile).
void asr_program_apn(ModemContext *ctx) {
    if (ctx->wan_3g_apn_reg[0]) {
        if (at_setting_usable(ctx, "wan_3g_apn_reg", ctx->wan_3g_apn_reg))
            at_send_formatted(nullptr, "AT*CGDFLT=1,\"IP\",\"%s\",,,,,,,,,,,,,,,,,,1",
                              ctx->wan_3g_apn_reg);
        if (at_setting_usable(ctx, "wan_3g_user_reg", ctx->wan_3g_user_reg) &&
            at_setting_usable(ctx, "wan_3g_pass_reg", ctx->wan_3g_pass_reg))
            at_send_formatted(nullptr, "AT*CGDFAUTH=1,%d,\"%s\",\"%s\"", ctx->wan_3g_authtype_reg,
                              ctx->wan_3g_user_reg, ctx->wan_3g_pass_reg);
        return;
    }
    bool apn_ok = at_setting_usable(ctx, "wan_3g_apn", ctx->wan_3g_apn);
    if (!ctx->wan_3g_apn[0])
        at_send_command("AT*CGDFLT=1,\"IP\",\"\",,,,,,,,,,,,,,,,,,0", nullptr);
    else if (apn_ok)
        at_send_formatted(nullptr, "AT*CGDFLT=1,\"IP\",\"%s\",,,,,,,,,,,,,,,,,,1", ctx->wan_3g_apn);
    at_send_command("AT*CGDFAUTH=1,0", nullptr);
    if (apn_ok) at_send_formatted(nullptr, "AT+CGDCONT=1,\"IP\",\"%s\"", ctx->wan_3g_apn);
}

// The data context after a lost address: its APN and credentials, then
// switched on while the packet service is registered.
void asr_dial(ModemContext *ctx, int system_mode, int data_status) {
    if (ctx->wan_3g_apn_reg[0]) {
        if (at_setting_usable(ctx, "wan_3g_apn", ctx->wan_3g_apn))
            at_send_formatted(nullptr, "AT+CGDCONT=1,\"IP\",\"%s\"", ctx->wan_3g_apn);
        if (ctx->wan_3g_user[0] && at_setting_usable(ctx, "wan_3g_user", ctx->wan_3g_user) &&
            at_setting_usable(ctx, "wan_3g_pass", ctx->wan_3g_pass))
            at_send_formatted(nullptr, "AT*AUTHREQ=%d,%d,\"%s\",\"%s\"", 1, ctx->wan_3g_authtype,
                              ctx->wan_3g_user, ctx->wan_3g_pass);
    }
    // in system mode 5 the modem wants an empty APN for its own
    if (system_mode == 5 && ctx->wan_3g_apnmode == 0)
        at_send_formatted(nullptr, "AT+CGDCONT=%d,\"IP\",\"\"", 1);
    if (is_registered(data_status)) {
        at_send_formatted(nullptr, "AT+CGACT=1,%d", 1);
        at_send_formatted(nullptr, "AT*NETACT=1,%d,1", 1);
    }
}

// The connection is up while the modem reports the address it came up with.
bool asr_keep_data_up(ModemContext *ctx, int system_mode, int data_status) {
    char addr[64];
    int found = cgpaddr_query(CGPADDR_ANY_CONTEXT, addr, sizeof addr);
    if (found < 0) return false;
    char *last_ip = ctx->connection.last_ip;
    if (found && !last_ip[0]) {
        snprintf(last_ip, sizeof ctx->connection.last_ip, "%s", addr);
        dhcp_poll_start(ctx, 1);
        connection_up(ctx);
        return true;
    }
    if (found && strcmp(addr, last_ip) == 0) return true;

    // no address, or a new one: the old lease is gone; dial again
    last_ip[0] = '\0';
    dhcp_client_stop(ctx);
    connection_down(ctx);
    asr_dial(ctx, system_mode, data_status);
    return true;
}

// Its address as the modem reports it for context 1, "0.0.0.0" too.
bool asr_home_address(const ModemContext *, WanAddress *out) {
    return cgpaddr_query(CGPADDR_CONTEXT_ONE, out->ip, sizeof out->ip) >= 0;
}

bool asr_rscp(int *dbm) {
    int v[3];
    return at_query_ints("AT+CESQ", "+CESQ:", v, 3) && cesq_rscp(v[2], dbm);
}

} // namespace

const ModemDialect DIALECT_ASR = {
    .family = "asr",
    .at_init = asr_at_init,
    .attempts = {"AT+EPIN?", "+EPIN:", asr_attempts_parse},
    .program_apn = asr_program_apn,
    // its DHCP client starts with the first connection
    .connection = {.keep_up = asr_keep_data_up},
    .home_address = asr_home_address,
    .signal = {{"AT+RSRP?", "+RSRP:"}, {"AT+RSRQ?", "+RSRQ:"}, nullptr, asr_rscp},
};

bool cesq_rscp(int value, int *dbm) {
    if (value >= 255) return false;
    if (value <= 0)
        *dbm = -121;
    else if (value <= 96)
        *dbm = value - 121;
    else
        *dbm = -25;
    return true;
}
