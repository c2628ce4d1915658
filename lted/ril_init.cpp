#include "ril_init.h"

#include "at_channel.h"
#include "at_query.h"
#include "at_tok.h"
#include "command_server.h"
#include "events.h"
#include "fd_io.h"
#include "log.h"
#include "modem_dialect.h"
#include "modem_discovery.h"
#include "modem_status.h"
#include "network_poll.h"
#include "nvram_env.h"
#include "ping_settings.h"
#include "platform.h"
#include "ril_context.h"
#include "sim_bearer.h"
#include "sys_utils.h"
#include "watchdog.h"

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

constexpr EventTime kSearchPeriod{2, 0};
constexpr EventTime kSearchAgainPeriod{4, 0};
constexpr EventTime kInitSystemFallback{15, 0};
constexpr EventTime kAtInitDelay{4, 0};
constexpr EventTime kNoConnectionReboot{300, 0};
constexpr unsigned kPowerOffAfterTimeout = 3;
constexpr unsigned kPowerOffAfterClose = 1;

enum class SettingKind {
    WanMode,   // 1 when exactly "3G", else 0
    Number,    // decimal; missing or empty: 0
    Bounded,   // decimal, 0 or inside its range; anything else its fallback
    Text,      // copied when it fits its field, else ignored
    TextIfSet, // likewise, and only when not empty
};

struct Setting {
    const char *key;
    SettingKind kind;
    size_t offset; // of the field in ModemContext
    size_t size;   // of a text field
    unsigned group;
    const SettingRange *range = nullptr; // of a bounded number
};

#define RIL_NUMBER(key, field, group)                                                              \
    Setting {                                                                                      \
        key, SettingKind::Number, offsetof(ModemContext, field), 0, group                          \
    }
#define RIL_BOUNDED(range, field)                                                                  \
    Setting {                                                                                      \
        range.key, SettingKind::Bounded, offsetof(ModemContext, field), 0, RIL_SETTINGS_AT_START,  \
            &range                                                                                 \
    }
#define RIL_TEXT(key, field, kind)                                                                 \
    Setting {                                                                                      \
        key, kind, offsetof(ModemContext, field), sizeof(ModemContext::field),                     \
            RIL_SETTINGS_AT_START                                                                  \
    }

// Every setting the daemon reads; the group says when it is read again.
constexpr Setting kSettings[] = {
    {"wanConnectionMode", SettingKind::WanMode, offsetof(ModemContext, wan_mode_3g), 0,
     RIL_SETTINGS_WAN_MODE},
    RIL_NUMBER("wan_3g_apnmode", wan_3g_apnmode, RIL_SETTINGS_AT_START),
    RIL_TEXT("wan_3g_apn", wan_3g_apn, SettingKind::Text),
    RIL_TEXT("wan_3g_user", wan_3g_user, SettingKind::Text),
    RIL_TEXT("wan_3g_pass", wan_3g_pass, SettingKind::Text),
    RIL_NUMBER("wan_3g_authtype", wan_3g_authtype, RIL_SETTINGS_AT_START),
    RIL_TEXT("wan_3g_apn_reg", wan_3g_apn_reg, SettingKind::Text),
    RIL_TEXT("wan_3g_user_reg", wan_3g_user_reg, SettingKind::Text),
    RIL_TEXT("wan_3g_pass_reg", wan_3g_pass_reg, SettingKind::Text),
    RIL_NUMBER("wan_3g_authtype_reg", wan_3g_authtype_reg, RIL_SETTINGS_AT_START),
    RIL_TEXT("ping_server", ping_server, SettingKind::Text),
    RIL_BOUNDED(PING_TIMEOUT_RANGE, ping_timeout),
    RIL_BOUNDED(PING_INTERVAL_RANGE, ping_interval),
    RIL_BOUNDED(PING_COUNT_RANGE, ping_count),
    RIL_NUMBER("auto_reboot_mode", auto_reboot_mode, RIL_SETTINGS_AUTO_REBOOT),
    RIL_NUMBER("auto_reboot_time", auto_reboot_time, RIL_SETTINGS_AUTO_REBOOT),
    RIL_TEXT("siminitpin", siminitpin, SettingKind::TextIfSet),
};

#undef RIL_NUMBER
#undef RIL_BOUNDED
#undef RIL_TEXT

// Read once per run, so logged once.
int setting_bounded(const SettingRange &range, const char *value) {
    // as atoi reads it, but wide enough that a huge value cannot wrap into range
    long long v = strtoll(value, nullptr, 10);
    if (v == 0 || setting_in_range(range, v)) return static_cast<int>(v);
    __log_str("lted: %s: %s %.32s out of range %d-%d, using %d\n", "ril_settings_load", range.key,
              value, range.lo, range.hi, range.fallback);
    return range.fallback;
}

void load_setting(ModemContext *ctx, const Setting &s) {
    const char *value = nvram_bufget(NVRAM_CONFIG_SECTION, s.key);
    char *field = reinterpret_cast<char *>(ctx) + s.offset;
    size_t len = strlen(value);
    switch (s.kind) {
    case SettingKind::WanMode:
        *reinterpret_cast<int *>(field) = strcmp(value, "3G") == 0 ? 1 : 0;
        break;
    case SettingKind::Number:
        *reinterpret_cast<int *>(field) = atoi(value);
        break;
    case SettingKind::Bounded:
        *reinterpret_cast<int *>(field) = setting_bounded(*s.range, value);
        break;
    case SettingKind::TextIfSet:
        if (len == 0) break;
        [[fallthrough]];
    case SettingKind::Text:
        if (len < s.size) memcpy(field, value, len + 1);
        break;
    }
}

// The modem's command tty: 115200 8N1 with RTS/CTS flow control, raw.
constexpr RawTtyOptions kCommandTty{IGNBRK | IGNPAR, true, 1, false, -1, false};

void remove_file(const char *system_path) {
    RouterPath p(system_path);
    unlink(p.c_str());
}

// The search for the modem after a loss: every 4 s, the first in 4 s.
void arm_search_again(EventLoop *loop) {
    __event_add_time_callback(loop, &kSearchAgainPeriod, EVENT_TIME_REPEAT | EVENT_TIME_REPLACE,
                              ril_reinit_callback, nullptr);
}

void channel_lost(const char *message, unsigned power_off_seconds) {
    __log_str("%s", message);
    ModemContext *ctx = ril_context;
    if (!ctx) {
        at_close();
        return;
    }
    // A time-out and an end of file can meet, on two threads: only the first
    // to mark the channel lost recovers, or the modem is switched twice.
    if (!modem_phase_lost(ctx)) return;
    ctx->recovering = true;
    event_add("modem lost (%s); power-cycling it",
              power_off_seconds == kPowerOffAfterTimeout ? "no answer" : "its port closed");
    at_close();
    reset_status(ctx);
    modem_power_set(0);
    boot_clock_sleep(power_off_seconds);
    modem_power_set(1);
    setRadioState(RADIO_STATE_UNAVAILABLE);
    remove_file("/tmp/IMSI");
    remove_file("/tmp/ICCID");
    arm_search_again(ctx->loop);
}

} // namespace

void ril_settings_load(ModemContext *ctx, unsigned groups) {
    nvram_init(NVRAM_CONFIG_SECTION);
    for (const Setting &s : kSettings)
        if (s.group & groups) load_setting(ctx, s);
    nvram_close(NVRAM_CONFIG_SECTION);
}

void RIL_Init(ModemContext *ctx) {
    ril_context = ctx;
    reset_status(ctx);
    ril_settings_load(ctx, RIL_SETTINGS_ALL);
    cmd_server_init(ctx);
    ctx->ping_sock = -1;
    if (ctx->wan_mode_3g == 1 && ctx->ping_server[0])
        __event_add_time_callback(ctx->loop, &kNoConnectionReboot, 0, ril_data_disconnect_callback,
                                  nullptr);
    __event_add_time_callback(ctx->loop, &kSearchPeriod, EVENT_TIME_NOW | EVENT_TIME_REPEAT,
                              ril_reinit_callback, nullptr);
    __event_add_time_callback(ctx->loop, &kInitSystemFallback, 0, init_system_timer_callback,
                              nullptr);
    ril_auto_reboot_init(ctx);
}

void ril_reinit_callback(EventLoop *loop, void *) {
    auto *ctx = static_cast<ModemContext *>(event_userdata(loop));
    __log_str("lted: %s:\n", "ril_reinit_callback");
    at_set_on_reader_closed(at_closed_callback);
    at_set_on_timeout(at_timeout_callback);

    if (modem_scan_usb(ctx) < 0) return;
    __log_str("lted: %s: cmd_dev: %s data_dev: %s mdm_ifname: %s mdm_type: 0x%x\n",
              "ril_reinit_callback", ctx->cmd_dev, ctx->data_dev, ctx->ifname,
              static_cast<unsigned>(ctx->modem_type));
    if (!ctx->cmd_dev[0]) return;

    // close-on-exec: the service scripts and the DHCP client must not hold the modem's tty
    int fd = tty_open_raw(ctx->cmd_dev, &kCommandTty);
    if (fd < 0) {
        __log_str("lted: %s: open %s failed: %s\n", "ril_at_init", ctx->cmd_dev, strerror(errno));
        return;
    }
    modem_phase_opening(ctx);
    const ModemDialect *dialect = modem_dialect(ctx->modem_type);
    if (dialect && dialect->connection.dhcp_from_open && ctx->wan_mode_3g == 1)
        dhcp_poll_start(ctx, 0);
    if (at_open(fd, unsolicited_handler) < 0) {
        __log_str("lted: %s: at_open failed\n", "ril_reinit_callback");
        close(fd);
        return;
    }
    RIL_requestTimedCallback(ril_at_init, ctx, &kAtInitDelay);
    event_add("modem found: %s, AT port %s, second port %s, interface %s",
              modem_type_name(ctx->modem_type), ctx->cmd_dev,
              ctx->data_dev[0] ? ctx->data_dev : "none", ctx->ifname);
    event_del_time_callback(loop, ril_reinit_callback);
    event_del_time_callback(loop, init_system_timer_callback);
    // A tty that died at once is already in the recovery, which may have armed
    // the search before the deletion above: the search must go on.
    if (modem_phase(ctx) == MODEM_LOST) arm_search_again(loop);
    if (ctx->init_system_started)
        do_system_call("init_system restart");
    else
        init_system_start(ctx);
}

void ril_at_init(void *arg) {
    auto *ctx = static_cast<ModemContext *>(arg);
    setRadioState(RADIO_STATE_OFF);
    at_handshake();
    for (const char *c : {"ATE0", "ATV1", "ATS0=0", "AT+CMEE=1"})
        at_send_command(c, nullptr);

    AtReply *reply = nullptr;
    int rc = at_send_command("AT+CREG=2", &reply);
    if (!at_succeeded(rc, reply)) at_send_command("AT+CREG=1", nullptr);
    at_response_free(reply);

    for (const char *c : {"AT+CGREG=1", "AT+CCWA=1", "AT+CMOD=0", "AT+CMUT=0", "AT+CSSN=0,1",
                          "AT+COLP=0", "AT+CUSD=1", "AT+CGEREP=1,0", "AT+CMGF=0", "ATI"})
        at_send_command(c, nullptr);

    rc = at_send_command_singleline("AT^IMEI?", "^IMEI:", &reply);
    char *fields = at_reply_fields(rc, reply);
    char *imei;
    if (at_tok_nextstr(&fields, &imei) == 0) write_file_string("/tmp/IMEI", imei);
    at_response_free(reply);

    const ModemDialect *dialect = modem_dialect(ctx->modem_type);
    if (dialect && dialect->at_init) dialect->at_init();

    // A channel lost on the way (possibly right now, on the reader thread)
    // has configured nothing: the modem is not ready, the recovery runs.
    reset_status(ctx);
    if (!modem_phase_ready(ctx)) return;
    if (ctx->recovering.exchange(false)) event_add("modem answers again after the power cycle");

    rc = at_send_command_singleline("AT+CFUN?", "+CFUN:", &reply);
    fields = at_reply_fields(rc, reply);
    char on = 0;
    if (at_tok_nextbool(&fields, &on) == 0 && on > 0) setRadioState(RADIO_STATE_ON);
    at_response_free(reply);
}

void setRadioState(int state) {
    __log_str("lted: setRadioState(%d)\n", state);
    ModemContext *ctx = ril_context;
    if (!ctx) return;
    pthread_mutex_lock(&ctx->radio_state_mutex);
    int old = ctx->radio_state.load();
    bool lost = ctx->at_channel_lost.load() != 0;
    if (lost) state = RADIO_STATE_UNAVAILABLE;
    if (state != old || lost) ctx->radio_state.store(state);
    pthread_mutex_unlock(&ctx->radio_state_mutex);
    if (state != old && state == RADIO_STATE_ON) {
        sim_pin_autoverify(ctx);
        getSIMStatus(ctx);
        pollNetState(ctx);
    }
}

void at_timeout_callback() {
    channel_lost("lted: AT channel timeout; closing\n", kPowerOffAfterTimeout);
}

void at_closed_callback() {
    channel_lost("lted: AT channel closed\n", kPowerOffAfterClose);
}

void init_system_timer_callback(EventLoop *loop, void *) {
    auto *ctx = static_cast<ModemContext *>(event_userdata(loop));
    if (!ctx->init_system_started) init_system_start(ctx);
}

void init_system_start(ModemContext *ctx) {
    ctx->init_system_started = 1;
    do_system_call("init_system start");
    nvram_init(NVRAM_CONFIG_SECTION);
    bool telnetd = atoi(nvram_bufget(NVRAM_CONFIG_SECTION, "telnetdEnabled")) != 0;
    nvram_close(NVRAM_CONFIG_SECTION);
    if (telnetd) do_system_call("telnetd");
}
