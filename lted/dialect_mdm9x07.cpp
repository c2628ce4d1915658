// The dialects of the mdm9x07 modems (vendor 05c6): the 902d, whose data
// connection is up while it reports an address and whose DHCP client runs
// from the channel's opening, and the 9025 and 9091, which dial a data call
// ("AT$QCRMCALL") and take their address from the DHCP client. All three
// share the PIN attempts ("+CPINEX:") and signal ("$QCRSRP:") queries.
#include "modem_dialect.h"

#include "at_channel.h"
#include "at_query.h"
#include "at_tok.h"
#include "modem_status.h"
#include "network_poll.h"
#include "ril_context.h"
#include "sys_utils.h"

#include <cstdio>

namespace {

// "+CPINEX: \"SIM PIN\",\"READY\",10,3": two states, PUK attempts, PIN attempts.
bool mdm_attempts_parse(char *fields, int *pin, int *puk) {
    char *skip;
    int puk_left;
    if (at_tok_nextstr(&fields, &skip) < 0 || at_tok_nextstr(&fields, &skip) < 0 ||
        at_tok_nextint(&fields, &puk_left) < 0 || at_tok_nextint(&fields, pin) < 0)
        return false;
    if (puk) *puk = puk_left;
    return true;
}

// The attach APN (when set) or the data APN into contexts 3 and 1, and its
// credentials when a user is configured.
void data_call_program_apn(ModemContext *ctx) {
    bool reg = ctx->wan_3g_apn_reg[0] != '\0';
    const char *apn = reg ? ctx->wan_3g_apn_reg : ctx->wan_3g_apn;
    const char *user = reg ? ctx->wan_3g_user_reg : ctx->wan_3g_user;
    const char *pass = reg ? ctx->wan_3g_pass_reg : ctx->wan_3g_pass;
    int auth = reg ? ctx->wan_3g_authtype_reg : ctx->wan_3g_authtype;
    const char *apn_key = reg ? "wan_3g_apn_reg" : "wan_3g_apn";
    const char *user_key = reg ? "wan_3g_user_reg" : "wan_3g_user";
    const char *pass_key = reg ? "wan_3g_pass_reg" : "wan_3g_pass";
    if (at_setting_usable(ctx, apn_key, apn)) {
        at_send_formatted(nullptr, "AT+CGDCONT=3,\"IP\",\"%s\"", apn);
        at_send_formatted(nullptr, "AT+CGDCONT=1,\"IP\",\"%s\"", apn);
    }
    if (!ctx->wan_3g_user[0]) return;
    // $QCPDPP takes the password before the user name, unquoted
    if (at_setting_usable(ctx, pass_key, pass, true) &&
        at_setting_usable(ctx, user_key, user, true))
        at_send_formatted(nullptr, "AT$QCPDPP=%d,%d,%s,%s", 3, auth, pass, user);
    if (at_setting_usable(ctx, user_key, user) && at_setting_usable(ctx, pass_key, pass))
        at_send_formatted(nullptr, "AT^NETCFG=0,32774,,,4,,,\"\",%d,\"%s\",\"%s\"", auth, user,
                          pass);
}

bool address_keep_data_up(ModemContext *ctx, int, int) {
    char addr[64];
    int found = cgpaddr_query(CGPADDR_ANY_CONTEXT, addr, sizeof addr);
    if (found < 0) return false;
    if (found)
        connection_up(ctx);
    else
        connection_down(ctx);
    return true;
}

// Calls up after the query (or the dial); -1 when the command failed.
int qcrmcall(const char *command) {
    AtReply *reply = nullptr;
    int rc = at_send_command_multiline(command, "$QCRMCALL:", &reply);
    int calls = at_succeeded(rc, reply) ? qcrmcall_count(reply->lines) : -1;
    at_response_free(reply);
    return calls;
}

// A call up brings (or keeps) the DHCP client; none is dialled while the
// packet service is registered.
bool data_call_keep_data_up(ModemContext *ctx, int, int data_status) {
    int calls = qcrmcall("AT$QCRMCALL?");
    if (calls == 0) {
        dhcp_client_stop(ctx);
        char dial[64];
        if (qcrmcall_dial(data_status, ctx->status.radio_tech, dial, sizeof dial))
            calls = qcrmcall(dial);
    }
    if (calls < 0) return false;
    if (calls > 0) {
        dhcp_poll_start(ctx, 1);
        connection_up(ctx);
    } else {
        connection_down(ctx);
    }
    return true;
}

bool address_home_address(const ModemContext *, WanAddress *out) {
    return cgpaddr_query(CGPADDR_ANY_CONTEXT, out->ip, sizeof out->ip) >= 0;
}

// The DHCP client's lease file of the modem's interface, "" when missing.
void lease_value(const ModemContext *ctx, const char *name, char *out, size_t size) {
    char path[128];
    snprintf(path, sizeof path, "/var/run/dhcpc/%s/%s", ctx->ifname, name);
    if (read_file_string(path, out, size) != 0) out[0] = '\0';
}

bool data_call_home_address(const ModemContext *ctx, WanAddress *out) {
    lease_value(ctx, "ip", out->ip, sizeof out->ip);
    lease_value(ctx, "netmask", out->netmask, sizeof out->netmask);
    lease_value(ctx, "gw", out->gateway, sizeof out->gateway);
    lease_value(ctx, "dns", out->dns, sizeof out->dns);
    lease_value(ctx, "dns2", out->dns2, sizeof out->dns2);
    return true;
}

constexpr AttemptsQuery kAttempts{"AT+CPINEX?", "+CPINEX:", mdm_attempts_parse};
constexpr SignalQueries kSignal{
    {"AT$QCRSRP?", "$QCRSRP:"}, {"AT$QCRSRQ?", "$QCRSRQ:"}, qc_signal_clean};

} // namespace

// no program_apn: the 902d keeps its own
const ModemDialect DIALECT_MDM_902D = {
    .family = "mdm9x07",
    .attempts = kAttempts,
    .connection = {.dhcp_from_open = true, .keep_up = address_keep_data_up},
    .home_address = address_home_address,
    .signal = kSignal,
};

const ModemDialect DIALECT_MDM_DATA_CALL = {
    .family = "mdm9x07",
    .attempts = kAttempts,
    .program_apn = data_call_program_apn,
    .connection = {.cgpaddr_every_poll = true, .keep_up = data_call_keep_data_up},
    .home_address = data_call_home_address,
    .signal = kSignal,
};

int qcrmcall_count(const AtLine *lines) {
    int calls = 0;
    for (const AtLine *l = lines; l; l = l->next) {
        char copy[AT_LINE_COPY_SIZE];
        int instance;
        char *family;
        if (at_line_int_and_string(l->text, copy, &instance, &family)) ++calls;
    }
    return calls;
}

const char *qcrmcall_dial(int data_status, int system_mode, char *buf, size_t size) {
    if (!is_registered(data_status)) return nullptr;
    if (system_mode == 2 || system_mode == 4 || system_mode == 8)
        snprintf(buf, size, "AT$QCRMCALL=1,1,1,1,1");
    else
        snprintf(buf, size, "AT$QCRMCALL=1,1,1,2,%d", 1);
    return buf;
}

void qc_signal_clean(const char *value, char *out, size_t size) {
    bool negative = value[0] == '-';
    const char *digits = value + (negative ? 1 : 0);
    while (*digits == '0')
        digits++;
    if (negative)
        snprintf(out, size, "-%.14s", digits);
    else
        snprintf(out, size, "%.15s", digits);
}
