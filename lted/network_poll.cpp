#include "network_poll.h"

#include "at_channel.h"
#include "at_query.h"
#include "events.h"
#include "log.h"
#include "modem_dialect.h"
#include "modem_status.h"
#include "platform.h"
#include "ril_context.h"
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

void poll_callback(void *context) {
    pollNetState(static_cast<ModemContext *>(context));
}

// Registration, then the system mode and the data connection in the modem's
// dialect; false when a query failed.
bool poll_once(ModemContext *ctx) {
    at_send_command_singleline("AT+CSQ", "+CSQ:", nullptr);
    at_send_command_multiline("AT+COPS=3,0;+COPS?;+COPS=3,1;+COPS?;+COPS=3,2;+COPS?",
                              "+COPS:", nullptr);
    at_send_command_multiline("AT+CGDCONT?", "+CGDCONT:", nullptr);
    at_send_command_multiline("AT+CGACT?", "+CGACT:", nullptr);

    // the status is the second integer of each
    int creg[2], cgreg[2];
    if (!at_query_ints("AT+CREG?", "+CREG:", creg, 2) ||
        !at_query_ints("AT+CGREG?", "+CGREG:", cgreg, 2))
        return false;
    int data_status = cgreg[1];
    set_registration(ctx, creg[1], data_status);

    const ModemDialect *dialect = modem_dialect(ctx->modem_type);
    if (!dialect) return true;
    SysInfo sysinfo{};
    if (sysinfo_query(&sysinfo) != 5) return false;
    set_radio_tech(ctx, sysinfo.system_mode);
    if (dialect->connection.cgpaddr_every_poll)
        at_send_command_multiline("AT+CGPADDR", "+CGPADDR:", nullptr);
    // with the 3G mode off the connection state stays as it is
    if (ctx->wan_mode_3g != 1) return true;
    return dialect->connection.keep_up(ctx, sysinfo.system_mode, data_status);
}

} // namespace

void connection_up(ModemContext *ctx) {
    ctx->connected = 1;
    RouterPath marker("/tmp/connected");
    if (access(marker.c_str(), F_OK) != 0) write_file_string("/tmp/connected", "1");
}

void connection_down(ModemContext *ctx) {
    ctx->connected = 0;
    RouterPath marker("/tmp/connected");
    unlink(marker.c_str());
}

int cgpaddr_query(CgpaddrRule rule, char *out, size_t size) {
    AtReply *reply = nullptr;
    int rc = at_send_command_multiline("AT+CGPADDR", "+CGPADDR:", &reply);
    int found = at_succeeded(rc, reply) ? cgpaddr_scan(reply->lines, rule, out, size) : -1;
    at_response_free(reply);
    return found;
}

int cgpaddr_scan(const AtLine *lines, CgpaddrRule rule, char *out, size_t size) {
    out[0] = '\0';
    for (const AtLine *l = lines; l; l = l->next) {
        char copy[AT_LINE_COPY_SIZE];
        int cid;
        char *addr;
        if (!at_line_int_and_string(l->text, copy, &cid, &addr) || !addr[0]) continue;
        if (rule == CGPADDR_CONTEXT_ONE ? cid != 1 : strcmp(addr, "0.0.0.0") == 0) continue;
        snprintf(out, size, "%s", addr);
    }
    return out[0] ? 1 : 0;
}

void pollNetState(ModemContext *ctx) {
    if (modem_phase(ctx) != MODEM_READY) return;
    int prev = ctx->connected;
    if (!poll_once(ctx) && ctx->status.sim_state != SIM_READY) {
        ctx->connected = 0;
        // Otherwise the same address reported again would leave the flag down
        // for good: only a new address or none ever raised it.
        ctx->connection.last_ip[0] = '\0';
    }

    int now = ctx->connected;
    const EventTime *next = now ? &kPollUp : &kPollDown;
    if (prev && !now) __log_str("lted: %s: disconnected\n", "pollNetState");
    const char *address = ctx->connection.last_ip;
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
    int &dhcp_pid = ctx->connection.dhcp_pid;
    if (dhcp_pid > 0) event_lease_check(&ctx->connection.lease, dhcp_pid, ctx->ifname);
    int index;
    bool present = ifc_get_ifindex(ctx->ifname, &index) == 0;
    if (!present && dhcp_pid > 0) {
        __log_str("lted: %s: try kill dhcpc\n", "ril_start_dhcpc_callback");
        kill(dhcp_pid, SIGTERM);
    }
    if (dhcp_pid > 0) {
        int status;
        pid_t r = waitpid(dhcp_pid, &status, WNOHANG);
        if (r < 0 && errno == ECHILD) r = dhcp_pid, status = 0; // reaped before
        if (r <= 0) return;
        // A client that died by a signal is gone as well: forget it, so that
        // a new one is started instead of waiting on a reaped process.
        if (!WIFEXITED(status))
            __log_str("lted: %s: dhcpc killed by signal %d\n", "ril_start_dhcpc_callback",
                      WIFSIGNALED(status) ? WTERMSIG(status) : 0);
        dhcp_pid = -1;
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
    dhcp_pid = do_fork_call("udhcpc", argv);
}

void dhcp_client_stop(ModemContext *ctx) {
    if (ctx->loop) event_del_time_callback(ctx->loop, ril_start_dhcpc_callback);
    int &dhcp_pid = ctx->connection.dhcp_pid;
    if (dhcp_pid <= 0) return;
    kill(dhcp_pid, SIGTERM);
    int status;
    if (waitpid(dhcp_pid, &status, WNOHANG) == dhcp_pid) dhcp_pid = -1;
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
