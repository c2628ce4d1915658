#include "ril_init.h"

#include "at_channel.h"
#include "at_tok.h"
#include "log.h"
#include "modem_discovery.h"
#include "modem_status.h"
#include "network_poll.h"
#include "nvram_env.h"
#include "platform.h"
#include "radio_hooks.h"
#include "ril_context.h"
#include "sim_bearer.h"
#include "sys_utils.h"
#include "watchdog.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int kConfigSection = 1; // "2860"
constexpr EventTime kSearchPeriod{2, 0};
constexpr EventTime kResearchPeriod{4, 0};
constexpr EventTime kInitSystemFallback{15, 0};
constexpr EventTime kAtInitDelay{4, 0};
constexpr EventTime kNoConnectionReboot{300, 0};
constexpr unsigned kPowerOffAfterTimeout = 3;
constexpr unsigned kPowerOffAfterClose = 1;

// Copies a setting that fits; a longer one is ignored.
void copy_setting(char *dst, size_t size, const char *value) {
    if (strlen(value) < size) memcpy(dst, value, strlen(value) + 1);
}

void load_settings(ModemContext *ctx) {
    nvram_init(kConfigSection);
    auto get = [](const char *key) { return nvram_bufget(kConfigSection, key); };
    if (strcmp(get("wanConnectionMode"), "3G") == 0) ctx->wan_mode_3g = 1;
    ctx->wan_3g_apnmode = atoi(get("wan_3g_apnmode"));
    copy_setting(ctx->wan_3g_apn, sizeof ctx->wan_3g_apn, get("wan_3g_apn"));
    copy_setting(ctx->wan_3g_user, sizeof ctx->wan_3g_user, get("wan_3g_user"));
    copy_setting(ctx->wan_3g_pass, sizeof ctx->wan_3g_pass, get("wan_3g_pass"));
    ctx->wan_3g_authtype = atoi(get("wan_3g_authtype"));
    copy_setting(ctx->wan_3g_apn_reg, sizeof ctx->wan_3g_apn_reg, get("wan_3g_apn_reg"));
    copy_setting(ctx->wan_3g_user_reg, sizeof ctx->wan_3g_user_reg, get("wan_3g_user_reg"));
    copy_setting(ctx->wan_3g_pass_reg, sizeof ctx->wan_3g_pass_reg, get("wan_3g_pass_reg"));
    ctx->wan_3g_authtype_reg = atoi(get("wan_3g_authtype_reg"));
    copy_setting(ctx->ping_server, sizeof ctx->ping_server, get("ping_server"));
    ctx->ping_timeout = atoi(get("ping_timeout"));
    ctx->ping_interval = atoi(get("ping_interval"));
    ctx->ping_count = atoi(get("ping_count"));
    ctx->auto_reboot_mode = atoi(get("auto_reboot_mode"));
    ctx->auto_reboot_time = atoi(get("auto_reboot_time"));
    const char *pin = get("siminitpin");
    if (pin[0]) copy_setting(ctx->siminitpin, sizeof ctx->siminitpin, pin);
    nvram_close(kConfigSection);
}

// 115200 8N1 with RTS/CTS, raw, no echo.
void configure_tty(int fd) {
    termios t;
    if (tcgetattr(fd, &t) != 0) return;
    t.c_iflag = IGNBRK | IGNPAR;
    t.c_oflag = 0;
    t.c_cflag = B115200 | CS8 | CREAD | CLOCAL | CRTSCTS;
    t.c_lflag = 0;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    tcsetattr(fd, TCSANOW, &t);
}

bool succeeded(int rc, const AtReply *reply) {
    return rc >= 0 && reply && reply->success == 1;
}

void send(const char *command) {
    at_send_command(command, nullptr);
}

void remove_file(const char *system_path) {
    RouterPath p(system_path);
    unlink(p.c_str());
}

void channel_lost(const char *message, unsigned power_off_seconds) {
    __log_str("%s", message);
    at_close();
    pthread_mutex_lock(&radio_state_mutex);
    at_channel_lost = 1;
    at_ready = 0;
    pthread_mutex_unlock(&radio_state_mutex);
    ModemContext *ctx = ril_context;
    reset_status(ctx);
    modem_power_set(0);
    boot_clock_sleep(power_off_seconds);
    modem_power_set(1);
    setRadioState(RADIO_STATE_UNAVAILABLE);
    remove_file("/tmp/IMSI");
    remove_file("/tmp/ICCID");
    if (ctx)
        __event_add_time_callback(ctx->loop, &kResearchPeriod,
                                  EVENT_TIME_REPEAT | EVENT_TIME_REPLACE, ril_reinit_callback,
                                  nullptr);
}

} // namespace

void RIL_Init(ModemContext *ctx) {
    ril_context = ctx;
    reset_status(ctx);
    load_settings(ctx);
    ril_services_init(ctx);
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

    RouterPath dev(ctx->cmd_dev);
    // close-on-exec: the service scripts and the DHCP client must not hold the modem's tty
    int fd = open(dev.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        __log_str("lted: %s: open %s failed: %s\n", "ril_at_init", ctx->cmd_dev, strerror(errno));
        return;
    }
    configure_tty(fd);
    at_channel_lost = 0;
    at_ready = 0;
    if (ctx->modem_type == MODEM_MDM_902D && ctx->wan_mode_3g == 1) dhcp_poll_start(ctx, 0);
    if (at_open(fd, unsolicited_handler) < 0) {
        __log_str("lted: %s: at_open failed\n", "ril_reinit_callback");
        close(fd);
        return;
    }
    RIL_requestTimedCallback(ril_at_init, ctx, &kAtInitDelay);
    event_del_time_callback(loop, ril_reinit_callback);
    event_del_time_callback(loop, init_system_timer_callback);
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
        send(c);

    AtReply *reply = nullptr;
    int rc = at_send_command("AT+CREG=2", &reply);
    if (!succeeded(rc, reply)) send("AT+CREG=1");
    at_response_free(reply);

    for (const char *c : {"AT+CGREG=1", "AT+CCWA=1", "AT+CMOD=0", "AT+CMUT=0", "AT+CSSN=0,1",
                          "AT+COLP=0", "AT+CUSD=1", "AT+CGEREP=1,0", "AT+CMGF=0", "ATI"})
        send(c);

    rc = at_send_command_singleline("AT^IMEI?", "^IMEI:", &reply);
    if (rc == 0 && succeeded(rc, reply)) {
        char *cursor = reply->lines->text;
        char *imei;
        if (at_tok_start(&cursor) == 0 && at_tok_nextstr(&cursor, &imei) == 0)
            write_file_string("/tmp/IMEI", imei);
    }
    at_response_free(reply);

    if (ctx->modem_type == MODEM_ASR) {
        rc = at_send_command_singleline("AT+PMODS?", "+PMODS:", &reply);
        if (!(rc == 0 && succeeded(rc, reply))) {
            send("AT*LWIPCTRL=mode,0,1");
        } else {
            char *cursor = reply->lines->text;
            int mode;
            if (at_tok_start(&cursor) == 0 && at_tok_nextint(&cursor, &mode) == 0 && mode == 1)
                send("AT+PMODS=0");
        }
        at_response_free(reply);
    }

    // A channel lost on the way (possibly right now, on the reader thread)
    // has configured nothing: the modem is not ready, the recovery runs.
    reset_status(ctx);
    pthread_mutex_lock(&radio_state_mutex);
    bool lost = at_channel_lost != 0;
    if (!lost) at_ready = 1;
    pthread_mutex_unlock(&radio_state_mutex);
    if (lost) return;

    rc = at_send_command_singleline("AT+CFUN?", "+CFUN:", &reply);
    if (succeeded(rc, reply)) {
        char *cursor = reply->lines->text;
        char on = 0;
        if (at_tok_start(&cursor) == 0 && at_tok_nextbool(&cursor, &on) == 0 && on > 0)
            setRadioState(RADIO_STATE_ON);
    }
    at_response_free(reply);
}

void setRadioState(int state) {
    __log_str("lted: setRadioState(%d)\n", state);
    pthread_mutex_lock(&radio_state_mutex);
    int old = radio_state.load();
    bool lost = at_channel_lost.load() != 0;
    if (lost) state = RADIO_STATE_UNAVAILABLE;
    if (state != old || lost) radio_state.store(state);
    pthread_mutex_unlock(&radio_state_mutex);
    if (state != old && state == RADIO_STATE_ON && ril_context) {
        sim_pin_autoverify(ril_context);
        getSIMStatus(ril_context);
        pollNetState(ril_context);
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
    nvram_init(kConfigSection);
    bool telnetd = atoi(nvram_bufget(kConfigSection, "telnetdEnabled")) != 0;
    nvram_close(kConfigSection);
    if (telnetd) do_system_call("telnetd");
}
