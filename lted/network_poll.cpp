#include "network_poll.h"

#include "at_channel.h"
#include "at_tok.h"
#include "events.h"
#include "log.h"
#include "modem_status.h"
#include "platform.h"
#include "ril_context.h"
#include "sim_bearer.h"
#include "sys_utils.h"
#include "watchdog.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr EventTime kPollDown{10, 0};
constexpr EventTime kPollUp{30, 0};
constexpr EventTime kDhcpPeriod{5, 0};
constexpr EventTime kCommandDelay{5, 0};

// Arguments of the DHCP client's command line; on a host build the paths in
// them carry the router root.
#ifdef ROUTER_TARGET
constexpr size_t kArgSize = 32;
#else
constexpr size_t kArgSize = 32 + 512;
#endif

void send(const char *command) {
    at_send_command(command, nullptr);
}

// Reads count integers of a one-line query into v; false when the query or
// the parse failed.
bool query_ints(const char *command, const char *prefix, int *v, int count) {
    AtReply *reply = nullptr;
    int rc = at_send_command_singleline(command, prefix, &reply);
    bool ok = at_succeeded(rc, reply);
    char *cursor = ok ? reply->lines->text : nullptr;
    ok = ok && at_tok_start(&cursor) == 0;
    for (int i = 0; ok && i < count; ++i)
        ok = at_tok_nextint(&cursor, &v[i]) == 0;
    at_response_free(reply);
    return ok;
}

// The address of an "AT+CGPADDR" query: 1 found, 0 none, -1 when it failed.
int cgpaddr_query(char *addr, size_t size) {
    AtReply *reply = nullptr;
    int rc = at_send_command_multiline("AT+CGPADDR", "+CGPADDR:", &reply);
    int found = at_succeeded(rc, reply) ? cgpaddr_scan(reply->lines, addr, size) : -1;
    at_response_free(reply);
    return found;
}

void set_connected(ModemContext *ctx) {
    ctx->connected = 1;
    RouterPath marker("/tmp/connected");
    // its time stamp marks the first detection of this connection
    if (access(marker.c_str(), F_OK) != 0) write_file_string("/tmp/connected", "1");
}

void set_disconnected(ModemContext *ctx) {
    ctx->connected = 0;
    RouterPath marker("/tmp/connected");
    unlink(marker.c_str());
}

void poll_callback(void *context) {
    pollNetState(static_cast<ModemContext *>(context));
}

enum class Outcome { Done, Failed };

Outcome data_asr(ModemContext *ctx, int sysmode, int data_status) {
    char addr[64];
    int found = cgpaddr_query(addr, sizeof addr);
    if (found < 0) return Outcome::Failed;
    char *last_ip = ctx->data.last_ip;
    if (found && !last_ip[0]) {
        snprintf(ctx->data.last_ip, sizeof ctx->data.last_ip, "%s", addr);
        dhcp_poll_start(ctx, 1);
        set_connected(ctx);
        return Outcome::Done;
    }
    if (found && strcmp(addr, last_ip) == 0) return Outcome::Done;

    // no address, or a new one: the old lease is gone; dial again
    last_ip[0] = '\0';
    dhcp_client_stop(ctx);
    set_disconnected(ctx);
    char cmd[320];
    if (ctx->wan_3g_apn_reg[0]) {
        if (at_setting_usable(ctx, "wan_3g_apn", ctx->wan_3g_apn)) {
            if (at_format(cmd, sizeof cmd, "AT+CGDCONT=1,\"IP\",\"%s\"", ctx->wan_3g_apn))
                send(cmd);
        }
        if (ctx->wan_3g_user[0] && at_setting_usable(ctx, "wan_3g_user", ctx->wan_3g_user) &&
            at_setting_usable(ctx, "wan_3g_pass", ctx->wan_3g_pass)) {
            if (at_format(cmd, sizeof cmd, "AT*AUTHREQ=%d,%d,\"%s\",\"%s\"", 1,
                          ctx->wan_3g_authtype, ctx->wan_3g_user, ctx->wan_3g_pass))
                send(cmd);
        }
    }
    if (sysmode == 5 && ctx->wan_3g_apnmode == 0) {
        if (at_format(cmd, sizeof cmd, "AT+CGDCONT=%d,\"IP\",\"\"", 1)) send(cmd);
    }
    if (is_registered(data_status)) {
        if (at_format(cmd, sizeof cmd, "AT+CGACT=1,%d", 1)) send(cmd);
        if (at_format(cmd, sizeof cmd, "AT*NETACT=1,%d,1", 1)) send(cmd);
    }
    return Outcome::Done;
}

Outcome data_902d(ModemContext *ctx) {
    char addr[64];
    int found = cgpaddr_query(addr, sizeof addr);
    if (found < 0) return Outcome::Failed;
    if (found)
        set_connected(ctx);
    else
        set_disconnected(ctx);
    return Outcome::Done;
}

// Calls up after the query (or the dial); -1 when the command failed.
int qcrmcall(const char *command) {
    AtReply *reply = nullptr;
    int rc = at_send_command_multiline(command, "$QCRMCALL:", &reply);
    int calls = at_succeeded(rc, reply) ? qcrmcall_count(reply->lines) : -1;
    at_response_free(reply);
    return calls;
}

Outcome data_qc(ModemContext *ctx, int data_status) {
    at_send_command_multiline("AT+CGPADDR", "+CGPADDR:", nullptr);
    int calls = qcrmcall("AT$QCRMCALL?");
    if (calls < 0) return Outcome::Failed;
    if (calls > 0) {
        dhcp_poll_start(ctx, 1);
        set_connected(ctx);
        return Outcome::Done;
    }
    dhcp_client_stop(ctx);
    char cmd[320];
    if (qcrmcall_dial(data_status, ctx->status.radio_tech, cmd, sizeof cmd)) {
        calls = qcrmcall(cmd);
        if (calls < 0) return Outcome::Failed;
        if (calls > 0) {
            dhcp_poll_start(ctx, 1);
            set_connected(ctx);
            return Outcome::Done;
        }
    }
    set_disconnected(ctx);
    return Outcome::Done;
}

Outcome poll_once(ModemContext *ctx) {
    at_send_command_singleline("AT+CSQ", "+CSQ:", nullptr);
    at_send_command_multiline("AT+COPS=3,0;+COPS?;+COPS=3,1;+COPS?;+COPS=3,2;+COPS?",
                              "+COPS:", nullptr);
    at_send_command_multiline("AT+CGDCONT?", "+CGDCONT:", nullptr);
    at_send_command_multiline("AT+CGACT?", "+CGACT:", nullptr);

    // the status is the second integer of each
    int creg[2], cgreg[2];
    if (!query_ints("AT+CREG?", "+CREG:", creg, 2) || !query_ints("AT+CGREG?", "+CGREG:", cgreg, 2))
        return Outcome::Failed;
    int data = cgreg[1];
    set_registration(ctx, creg[1], data);

    int type = ctx->modem_type;
    // service status, domain, roaming, system mode, SIM state
    int sysinfo[5] = {0, 0, 0, -1, 0};
    if (type >= MODEM_ASR && type <= MODEM_MDM_9091) {
        if (!query_ints("AT^SYSINFO", "^SYSINFO:", sysinfo, 5)) return Outcome::Failed;
        set_radio_tech(ctx, sysinfo[3]);
    }
    bool qc = type == MODEM_MDM_9025 || type == MODEM_MDM_9091;
    if (ctx->wan_mode_3g != 1) {
        if (qc) at_send_command_multiline("AT+CGPADDR", "+CGPADDR:", nullptr);
        return Outcome::Done;
    }
    if (type == MODEM_ASR) return data_asr(ctx, sysinfo[3], data);
    if (type == MODEM_MDM_902D) return data_902d(ctx);
    if (qc) return data_qc(ctx, data);
    return Outcome::Done;
}

} // namespace

int cgpaddr_scan(const AtLine *lines, char *out, size_t size) {
    out[0] = '\0';
    for (const AtLine *l = lines; l; l = l->next) {
        char copy[512];
        snprintf(copy, sizeof copy, "%s", l->text);
        char *cursor = copy;
        int cid;
        char *addr;
        if (at_tok_start(&cursor) < 0 || at_tok_nextint(&cursor, &cid) < 0 ||
            at_tok_nextstr(&cursor, &addr) < 0)
            continue;
        if (addr[0] && strcmp(addr, "0.0.0.0") != 0) snprintf(out, size, "%s", addr);
    }
    return out[0] ? 1 : 0;
}

int qcrmcall_count(const AtLine *lines) {
    int calls = 0;
    for (const AtLine *l = lines; l; l = l->next) {
        char copy[512];
        snprintf(copy, sizeof copy, "%s", l->text);
        char *cursor = copy;
        int instance;
        char *family;
        if (at_tok_start(&cursor) == 0 && at_tok_nextint(&cursor, &instance) == 0 &&
            at_tok_nextstr(&cursor, &family) == 0)
            ++calls;
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

void pollNetState(ModemContext *ctx) {
    if (modem_phase(ctx) != MODEM_READY) return;
    int prev = ctx->connected;
    if (poll_once(ctx) == Outcome::Failed && ctx->status.sim_state != SIM_READY) {
        ctx->connected = 0;
        // Otherwise the same address reported again would leave the flag down
        // for good: only a new address or none ever raised it.
        ctx->data.last_ip[0] = '\0';
    }

    int now = ctx->connected;
    const EventTime *next = now ? &kPollUp : &kPollDown;
    if (prev && !now) __log_str("lted: %s: disconnected\n", "pollNetState");
    const char *address = ctx->data.last_ip;
    if (prev != now)
        event_add("data connection %s%s%s", now ? "up" : "down", now && address[0] ? ": " : "",
                  now ? address : "");
    if (!prev && now) {
        __log_str("lted: %s: connected\n", "pollNetState");
        event_del_time_callback(ctx->loop, ril_data_disconnect_callback);
        if (ctx->wan_mode_3g == 1) {
            if (!ctx->ntp_started) {
                ctx->ntp_started = 1;
                __event_add_time_callback(ctx->loop, &kCommandDelay, 0, ntp_command, nullptr);
            }
            if (!ctx->ping_started && ctx->ping_server[0] && ctx->ping_timeout &&
                ctx->ping_interval) {
                ctx->ping_started = 1;
                EventTime first{ctx->ping_interval, 0};
                __event_add_time_callback(ctx->loop, &first, 0, ping_timer_callback, nullptr);
            }
        }
    }
    RIL_requestTimedCallback(poll_callback, ctx, next);
}

void unsolicited_handler(const char *line, const char *) {
    if (strStartsWith(line, "^MODE:") || strStartsWith(line, "+CREG:") ||
        strStartsWith(line, "+CGREG:")) {
        ModemContext *ctx = ril_context;
        if (ctx && modem_phase(ctx) == MODEM_READY)
            RIL_requestTimedCallback(poll_callback, ctx, nullptr);
    } else if (strStartsWith(line, "+CLOCATION:")) {
        write_file_string("/tmp/clocation", line);
    }
}

void dhcp_poll_start(ModemContext *ctx, int now) {
    __event_add_time_callback(ctx->loop, &kDhcpPeriod,
                              EVENT_TIME_REPEAT | EVENT_TIME_REPLACE | (now ? EVENT_TIME_NOW : 0),
                              ril_start_dhcpc_callback, nullptr);
}

void ril_start_dhcpc_callback(EventLoop *loop, void *) {
    auto *ctx = static_cast<ModemContext *>(event_userdata(loop));
    DataConnection &data = ctx->data;
    if (data.dhcp_pid > 0) event_lease_check(&data.lease, data.dhcp_pid, ctx->ifname);
    int index;
    bool present = ifc_get_ifindex(ctx->ifname, &index) == 0;
    if (!present && data.dhcp_pid > 0) {
        __log_str("lted: %s: try kill dhcpc\n", "ril_start_dhcpc_callback");
        kill(data.dhcp_pid, SIGTERM);
    }
    if (data.dhcp_pid > 0) {
        int status;
        pid_t r = waitpid(data.dhcp_pid, &status, WNOHANG);
        if (r < 0 && errno == ECHILD) r = data.dhcp_pid, status = 0; // reaped before
        if (r <= 0) return;
        // A client that died by a signal is gone as well: forget it, so that
        // a new one is started instead of waiting on a reaped process.
        if (!WIFEXITED(status))
            __log_str("lted: %s: dhcpc killed by signal %d\n", "ril_start_dhcpc_callback",
                      WIFSIGNALED(status) ? WTERMSIG(status) : 0);
        data.dhcp_pid = -1;
    }
    if (!present || ctx->wan_mode_3g == 0) return;

    char iface[kArgSize], script[kArgSize], pidfile[kArgSize];
    RouterPath script_path("/sbin/udhcpc.sh");
    char pid_system[64];
    snprintf(pid_system, sizeof pid_system, "%s-%s.pid", "/var/run/udhcp", ctx->ifname);
    RouterPath pid_path(pid_system);
    // a cut argument would name another interface or file: start nothing then
    auto format = [](char *buf, const char *option, const char *value) {
        int n = snprintf(buf, kArgSize, "%s%s", option, value);
        return n > 0 && static_cast<size_t>(n) < kArgSize;
    };
    if (!format(iface, "-i", ctx->ifname) || !format(script, "-s", script_path.c_str()) ||
        !format(pidfile, "-p", pid_path.c_str())) {
        __log_str("lted: %s: dhcpc arguments too long\n", "ril_start_dhcpc_callback");
        return;
    }
    char name[] = "udhcpc", foreground[] = "-f";
    char *const argv[] = {name, foreground, iface, script, pidfile, nullptr};
    data.dhcp_pid = do_fork_call("udhcpc", argv);
}

void dhcp_client_stop(ModemContext *ctx) {
    if (ctx->loop) event_del_time_callback(ctx->loop, ril_start_dhcpc_callback);
    DataConnection &data = ctx->data;
    if (data.dhcp_pid <= 0) return;
    kill(data.dhcp_pid, SIGTERM);
    int status;
    if (waitpid(data.dhcp_pid, &status, WNOHANG) == data.dhcp_pid) data.dhcp_pid = -1;
}

void RIL_Deinit(ModemContext *ctx) {
    dhcp_client_stop(ctx);
}

void ril_data_disconnect_callback(EventLoop *loop, void *) {
    __log_str("lted: %s: try reboot\n", "ril_data_disconnect_callback");
    restart_reason_keep("no data connection 300 s after start");
    __event_add_time_callback(loop, &kCommandDelay, 0, reboot_command, nullptr);
}

void reboot_command(EventLoop *, void *) {
    do_system_call("reboot");
}

void ntp_command(EventLoop *, void *) {
    do_system_call("ntp.sh");
}
