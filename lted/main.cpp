// The modem daemon: start-up, signals and shutdown.
#include "at_channel.h"
#include "events.h"
#include "event_loop.h"
#include "log.h"
#include "platform.h"
#include "network_poll.h"
#include "ril_context.h"
#include "ril_init.h"
#include "sys_utils.h"
#include "watchdog.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <new>
#include <unistd.h>

namespace {

constexpr unsigned kPowerOffSeconds = 3;

struct KernelSetting {
    const char *path;
    const char *value;
};

constexpr KernelSetting kTcpSettings[] = {
    {"/proc/sys/net/ipv4/tcp_fin_timeout", "30"},
    {"/proc/sys/net/ipv4/tcp_keepalive_intvl", "60"},
    {"/proc/sys/net/ipv4/tcp_keepalive_probes", "5"},
    {"/proc/sys/net/ipv4/tcp_retries2", "5"},
};

bool exists(const char *system_path) {
    RouterPath p(system_path);
    return access(p.c_str(), F_OK) == 0;
}

// The configuration store is usable once its daemon has left its marker.
void wait_for_config_daemon() {
    if (exists("/var/run/nvramd.pid")) return;
    __log_str("lted: waiting nvram_daemon...\n");
    const timespec poll{0, 200000000};
    do
        boot_clock_nanosleep(&poll, nullptr);
    while (!exists("/var/run/nvramd.pid"));
    __log_str("lted: waiting nvram_daemon OK.\n");
}

void app_signal_callback(EventLoop *loop, int signum, void *) {
    auto *ctx = static_cast<ModemContext *>(event_userdata(loop));
    __log_str("lted: %s: receive signum=%d\n", "app_signal_callback", signum);
    switch (signum) {
    case SIGINT:
    case SIGTERM:
        event_exit(loop);
        break;
    case SIGUSR1:
        ril_settings_load(ctx, RIL_SETTINGS_WAN_MODE);
        event_add("settings reloaded (SIGUSR1): WAN mode %s", ctx->wan_mode_3g ? "3G" : "not 3G");
        break;
    case SIGUSR2:
        ril_settings_load(ctx, RIL_SETTINGS_AUTO_REBOOT);
        event_add("settings reloaded (SIGUSR2): scheduled reboot mode %d, time %d",
                  ctx->auto_reboot_mode, ctx->auto_reboot_time);
        ril_auto_reboot_init(ctx);
        break;
    default:
        break;
    }
}

} // namespace

int main(int argc, char **argv) {
    log_set_program(LogProgram::Lted);
    __log_str("lted: starting\n");
    wait_for_config_daemon();
    restart_reason_publish();
    for (const auto &s : kTcpSettings)
        write_file_string(s.path, s.value);
    if (!(argc == 2 && strcmp(argv[1], "start") == 0)) {
        modem_power_set(0);
        boot_clock_sleep(kPowerOffSeconds);
        modem_power_set(1);
    }

    // Zeroed, then the record's start values; placement new, so that no
    // allocator of the C++ library comes into the program.
    void *memory = calloc(1, sizeof(ModemContext));
    if (!memory) {
        __log_str("lted: exiting\n");
        __log_str("lted: exited\n");
        return 1;
    }
    auto *ctx = new (memory) ModemContext{};
    int status = 1;
    ctx->loop = event_create(ctx);
    if (ctx->loop) {
        // a peer that went away must fail the write, not end the daemon
        signal(SIGPIPE, SIG_IGN);
        for (int signum : {SIGINT, SIGTERM, SIGUSR1, SIGUSR2})
            __event_add_signal_callback(ctx->loop, signum, app_signal_callback, nullptr);
        RIL_startEventLoop(ctx);
        RIL_Init(ctx);
        __log_str("lted: running\n");
        status = event_loop(ctx->loop) < 0 ? 255 : 0;
    }

    __log_str("lted: exiting\n");
    RIL_Deinit(ctx);
    // The reader thread reaches the context through its handlers: it must be
    // gone before the context is.
    at_close();
    ril_context = nullptr;
    RIL_startEventLoop(nullptr);
    if (ctx->loop) {
        event_free(ctx->loop);
        ctx->loop = nullptr;
    }
    ctx->~ModemContext();
    free(memory);
    __log_str("lted: exited\n");
    return status;
}
