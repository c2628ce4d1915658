#include "command_server.h"

#include "at_channel.h"
#include "at_query.h"
#include "at_tok.h"
#include "events.h"
#include "local_socket.h"
#include "log.h"
#include "modem_dialect.h"
#include "modem_status.h"
#include "platform.h"
#include "ril_context.h"
#include "sim_bearer.h"
#include "sys_utils.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr char kSocketPath[] = "/var/run/RIL_CMD";
constexpr int kBacklog = 5;
constexpr size_t kAnswerSize = 4096;
constexpr char kOperators[] = "/etc_ro/operators.txt";

// The answer being built; text beyond 4095 bytes is cut.
struct Answer {
    char text[kAnswerSize];
    size_t length;
};

void answer_start(Answer *a) {
    a->length = static_cast<size_t>(snprintf(a->text, sizeof a->text, "SUCCESS:\n"));
}

__attribute__((format(printf, 2, 3))) void answer_line(Answer *a, const char *format, ...) {
    size_t room = sizeof a->text - a->length;
    if (room <= 1) return;
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(a->text + a->length, room, format, ap);
    va_end(ap);
    if (n < 0) return;
    a->length += static_cast<size_t>(n) < room ? static_cast<size_t>(n) : room - 1;
    if (a->length < sizeof a->text - 1) a->text[a->length++] = '\n';
}

// The reply's lines in order, then its final line.
void answer_reply(Answer *a, const AtReply *reply) {
    for (const AtLine *l = reply->lines; l; l = l->next)
        answer_line(a, "%s", l->text);
    answer_line(a, "%s", reply->final_line ? reply->final_line : "");
}

// Owns one AT reply.
struct Reply {
    AtReply *r = nullptr;
    ~Reply() { at_response_free(r); }
};

void copy_text(char *out, size_t size, const char *text) {
    snprintf(out, size, "%s", text);
}

// A one-line file of the daemon, "" when missing.
void file_value(const char *path, char *out, size_t size) {
    if (read_file_string(path, out, size) != 0) out[0] = '\0';
}

// --- GETHOMEINFO ---

// The signal lines of the modem's dialect; "" where it reports none.
void home_signal(const ModemDialect *dialect, char rsrp[16], char rsrq[16], char rscp[16]) {
    rsrp[0] = rsrq[0] = rscp[0] = '\0';
    if (!dialect) return;
    const SignalQueries &signal = dialect->signal;
    char *out[] = {rsrp, rsrq};
    const AtQuery *queries[] = {&signal.rsrp, &signal.rsrq};
    for (int i = 0; i < 2; ++i) {
        char value[16];
        if (!at_query_value_after_two_ints(queries[i]->command, queries[i]->prefix, value,
                                           sizeof value))
            continue;
        if (signal.clean)
            signal.clean(value, out[i], 16);
        else
            copy_text(out[i], 16, value);
    }
    int dbm;
    if (signal.rscp && signal.rscp(&dbm)) snprintf(rscp, 16, "%d", dbm);
}

bool get_home_info(ModemContext *ctx, char *const *, Answer *a) {
    const ModemDialect *dialect = modem_dialect(ctx->modem_type);
    WanAddress wan{};
    if (dialect && !dialect->home_address(ctx, &wan)) return false;
    char version[256] = "";
    {
        Reply reply;
        int rc = at_send_command_noprefix("AT+CGMR", &reply.r);
        if (at_succeeded(rc, reply.r) && reply.r->lines)
            copy_text(version, sizeof version, reply.r->lines->text);
    }
    char imei[16], imsi[20], cnum[30];
    file_value("/tmp/IMEI", imei, sizeof imei);
    file_value("/tmp/IMSI", imsi, sizeof imsi);
    file_value("/tmp/CNUM", cnum, sizeof cnum);
    char csq[16] = "";
    int rssi;
    if (at_query_ints("AT+CSQ", "+CSQ:", &rssi, 1)) snprintf(csq, sizeof csq, "%d", rssi);
    char rsrp[16], rsrq[16], rscp[16];
    home_signal(dialect, rsrp, rsrq, rscp);

    answer_line(a, "%s", dialect && ctx->connected == 1 ? "connected" : "disconnected");
    for (const char *v : {wan.ip, wan.netmask, wan.gateway, wan.dns, wan.dns2})
        answer_line(a, "%s", v);
    answer_line(a, "%s", version);
    answer_line(a, "%s", imei);
    const ModemStatus &status = ctx->status;
    answer_line(a, "%s", sim_state_text(status.sim_state, true));
    answer_line(a, "%s", imsi);
    answer_line(a, "%s", cnum);
    answer_line(a, "%d", status.voice_reg.load());
    answer_line(a, "%d", status.data_reg.load());
    answer_line(a, "%s", network_type_text(status.radio_tech));
    answer_line(a, "%s", csq);
    answer_line(a, "%s", rsrp);
    answer_line(a, "%s", rsrq);
    answer_line(a, "%s", rscp);
    return true;
}

// --- GETSIMINFO ---

constexpr int kCmeSimNotInserted = 10;

// GETSIMINFO's four lines.
struct SimInfo {
    int card_state;  // CARD_STATE_*
    int pin_state;   // PIN_STATE_*
    int pin_retries; // attempts left
    int puk_retries;
};

// The card's state from "AT+CPIN?": SIM_READY, SIM_PIN or SIM_PUK; SIM_ABSENT
// without a card; -1 for a failed query or any other state.
int card_query() {
    Reply cpin;
    int rc = at_send_command_singleline("AT+CPIN?", "+CPIN:", &cpin.r);
    if (rc < 0) return -1;
    int cme = at_get_cme_error(cpin.r);
    if (cme == kCmeSimNotInserted) return SIM_ABSENT;
    if (cme != 0) return -1;
    char *fields = at_reply_fields(rc, cpin.r);
    char *text;
    if (at_tok_nextstr(&fields, &text) < 0) return -1;
    int state = sim_state_of_cpin(text);
    return state == SIM_READY || state == SIM_PIN || state == SIM_PUK ? state : -1;
}

// The PIN_STATE_* of a card in that state, from its lock query; -1 on an
// error. A card that asks for its PIN or PUK says so whatever the lock.
int pin_state_query(int card) {
    Reply clck;
    int rc = at_send_command_singleline("AT+CLCK=\"SC\",2", "+CLCK:", &clck.r);
    if (rc < 0) return -1;
    if (clck.r && clck.r->success) {
        char *fields = at_reply_fields(rc, clck.r);
        int lock;
        if (at_tok_nextint(&fields, &lock) < 0) return -1;
        if (card == SIM_READY)
            return lock == 1 ? PIN_STATE_LOCK_ON : lock == 0 ? PIN_STATE_LOCK_OFF : -1;
    } else if (card == SIM_READY) {
        return -1;
    }
    return card == SIM_PIN ? PIN_STATE_PIN_REQUIRED : PIN_STATE_PUK_REQUIRED;
}

SimInfo sim_info_query(const ModemContext *ctx) {
    const SimInfo error{CARD_STATE_ERROR, PIN_STATE_UNKNOWN, 0, 0};
    int card = card_query();
    if (card == SIM_ABSENT) return SimInfo{CARD_STATE_ABSENT, PIN_STATE_UNKNOWN, 0, 0};
    if (card < 0) return error;
    int pin_state = pin_state_query(card);
    if (pin_state < 0) return error;
    int pin, puk;
    if (!sim_attempts_left(ctx, &pin, &puk)) return error;
    return SimInfo{CARD_STATE_PRESENT, pin_state, pin, puk};
}

bool get_sim_info(ModemContext *ctx, char *const *, Answer *a) {
    SimInfo info = sim_info_query(ctx);
    for (int v : {info.card_state, info.pin_state, info.pin_retries, info.puk_retries})
        answer_line(a, "%d", v);
    return true;
}

// --- GETSTATINFO ---

// The operator's name for a numeric id; false when the table cannot be read.
bool operator_name(const char *plmn, char *out, size_t size) {
    out[0] = '\0';
    RouterPath path(kOperators);
    FILE *f = fopen(path.c_str(), "re");
    if (!f) return false;
    char key[32]; // the id and ":", 31 characters at most
    size_t key_len = strnlen(plmn, sizeof key - 2);
    memcpy(key, plmn, key_len);
    key[key_len++] = ':';
    key[key_len] = '\0';
    char line[127];
    while (fgets(line, sizeof line, f)) {
        if (strncmp(line, key, key_len) != 0) continue;
        copy_text(out, size, line + key_len);
        size_t n = strlen(out);
        if (n > 0 && out[n - 1] == '\n') out[n - 1] = '\0';
        break;
    }
    fclose(f);
    return true;
}

bool get_stat_info(ModemContext *ctx, char *const *, Answer *a) {
    // the state before the queries: the channel may be lost on their way
    const char *sim = sim_state_text(ctx->status.sim_state, false);
    SysInfo sysinfo{};
    sysinfo_query(&sysinfo);
    // a failed query is "not known", not the best signal
    int rssi = 99;
    if (!at_query_ints("AT+CSQ", "+CSQ:", &rssi, 1)) rssi = 99;
    // the numeric operator id ("" when not known)
    char plmn[32] = "";
    at_query_value_after_two_ints("AT+COPS=3,2;+COPS?", "+COPS:", plmn, sizeof plmn);
    char name[256];
    if (!operator_name(plmn, name, sizeof name)) return false;

    answer_line(a, "%s", sim);
    answer_line(a, "%d", sysinfo.service_status);
    answer_line(a, "%d", sysinfo.service_domain);
    answer_line(a, "%d", sysinfo.system_mode);
    answer_line(a, "%d", rssi);
    answer_line(a, "%s", plmn);
    answer_line(a, "%s", name);
    answer_line(a, "%s", ctx->connected == 1 ? "connected" : "disconnected");
    answer_line(a, "%d", signal_bars(rssi));
    answer_line(a, "%s", network_type_text(sysinfo.system_mode));
    answer_line(a, "%s", name);
    return true;
}

// --- the AT pass-through and the rest ---

// A send that failed closes the connection; a reply, "ERROR" too, is answered.
bool answer_pass_through(int rc, const AtReply *reply, Answer *a) {
    if (rc < 0) return false;
    answer_reply(a, reply);
    return true;
}

bool at_test(ModemContext *, char *const *items, Answer *) {
    return at_send_command(items[1], nullptr) >= 0;
}

bool at_final_line(ModemContext *, char *const *items, Answer *a) {
    Reply reply;
    if (at_send_command(items[1], &reply.r) < 0) return false;
    event_sim_command(items[1], reply.r);
    answer_line(a, "%s", reply.r->final_line ? reply.r->final_line : "");
    return true;
}

bool at_all_lines(ModemContext *, char *const *items, Answer *a) {
    Reply reply;
    int rc = at_send_command_allline(items[1], &reply.r);
    return answer_pass_through(rc, reply.r, a);
}

bool at_single_line(ModemContext *, char *const *items, Answer *a) {
    Reply reply;
    int rc = at_send_command_singleline(items[1], items[2], &reply.r);
    return answer_pass_through(rc, reply.r, a);
}

bool at_multi_line(ModemContext *, char *const *items, Answer *a) {
    Reply reply;
    int rc = at_send_command_multiline(items[1], items[2], &reply.r);
    return answer_pass_through(rc, reply.r, a);
}

bool restart_sim_poll(ModemContext *ctx, char *const *, Answer *) {
    getSIMStatus(ctx);
    return true;
}

bool get_network_mode(ModemContext *, char *const *, Answer *a) {
    int mode = 0;
    if (!at_query_ints("AT^MODECONFIG?", "^MODECONFIG:", &mode, 1)) mode = 0;
    answer_line(a, "%d", mode);
    return true;
}

bool set_network_mode(ModemContext *, char *const *items, Answer *) {
    // a failed send closes, as for ATTEST
    return at_send_formatted(nullptr, "AT^MODECONFIG=%d", atoi(items[1])) >= 0;
}

// One command of the socket.
struct Command {
    const char *name;
    int items;               // at least, the command word included
    bool at_text;            // item 1 goes to the modem: it must begin with "AT"
    bool while_initialising; // may run before the modem has been set up
    // Builds the answer after "SUCCESS:"; false closes the connection
    // unanswered.
    bool (*run)(ModemContext *ctx, char *const *items, Answer *a);
};

constexpr Command kCommands[] = {
    {"ATTEST", 2, true, false, at_test},
    {"AT", 2, true, false, at_final_line},
    {"ATALL", 2, true, false, at_all_lines},
    {"ATSINGLELINE", 3, true, false, at_single_line},
    {"ATMULTILINE", 3, true, false, at_multi_line},
    {"GETHOMEINFO", 1, false, false, get_home_info},
    {"GETSIMINFO", 1, false, false, get_sim_info},
    // it only restarts the SIM poll, which waits for the modem by itself
    {"SETSIM", 1, false, true, restart_sim_poll},
    {"GETSTATINFO", 1, false, false, get_stat_info},
    {"GETNETCFG", 1, false, false, get_network_mode},
    {"SETNETCFG", 2, false, false, set_network_mode},
};

void close_connection(EventLoop *loop, int fd) {
    event_del_file_callback(loop, fd);
    close(fd);
}

bool is_at_text(const char *text) {
    return strncasecmp(text, "AT", 2) == 0;
}

const Command *find_command(const char *name) {
    for (const Command &c : kCommands)
        if (strcmp(name, c.name) == 0) return &c;
    return nullptr;
}

// Runs the request: false when the connection is to be closed unanswered.
bool run_command(ModemContext *ctx, char *const *items, int count, Answer *a) {
    const Command *command = find_command(items[0]);
    if (!command || count < command->items || (command->at_text && !is_at_text(items[1])))
        return false;
    // A modem whose channel was just opened may not listen yet (real ones
    // ignore their first seconds): a page's command would wait out the 30-s
    // time-out and have it power-cycled again, over and over while a browser
    // polls the status pages. Without a modem, or with its channel closed,
    // every send fails at once and the pages get what is known.
    if (!command->while_initialising && modem_phase(ctx) == MODEM_INITIALISING) return false;
    answer_start(a);
    return command->run(ctx, items, a);
}

} // namespace

int cmd_split_items(char *payload, size_t length, char *items[CMD_ITEMS_MAX]) {
    int count = 0;
    size_t at = 0;
    while (at < length) {
        if (count == CMD_ITEMS_MAX || length - at < sizeof(uint32_t)) return -1;
        uint32_t n;
        memcpy(&n, payload + at, sizeof n);
        at += sizeof n;
        // each item carries its own NUL, so it never runs into the next one
        if (n == 0 || n > length - at || payload[at + n - 1] != '\0') return -1;
        items[count++] = payload + at;
        at += n;
    }
    return count;
}

int signal_bars(int rssi) {
    if (rssi == 99) return 0;
    if (rssi >= 20 && rssi <= 31) return 4;
    if (rssi >= 17) return 3;
    if (rssi >= 14) return 2;
    if (rssi >= 7) return 1;
    return 0;
}

const char *sim_state_text(int state, bool home) {
    switch (state) {
    case SIM_ABSENT:
        return "ABSENT";
    case SIM_READY:
        return "READY";
    case SIM_PIN:
        return "PIN";
    case SIM_PUK:
        return "PUK";
    default:
        return home ? "NOT_READY" : "";
    }
}

const char *network_type_text(int mode) {
    static constexpr const char *kNames[] = {
        "",    "AMPS",      "CDMA",        "GSM", "EVDO",          "WCDMA",
        "GPS", "GSM|WCDMA", "CDMA Hybrid", "LTE", "GSM|WCDMA|LTE",
    };
    return mode >= 0 && mode < static_cast<int>(sizeof kNames / sizeof kNames[0]) ? kNames[mode]
                                                                                  : "";
}

void cmd_server_init(ModemContext *ctx) {
    int sock = socket_create(AF_UNIX, SOCK_STREAM);
    if (sock < 0) return;
    if (socket_unix_bind(sock, kSocketPath, sizeof kSocketPath - 1) != 0 ||
        listen(sock, kBacklog) != 0 ||
        __event_add_file_callback(ctx->loop, sock, EVENT_FILE_READ, cmd_accept_callback, nullptr) !=
            0)
        close(sock);
}

void cmd_accept_callback(EventLoop *loop, int fd, int, void *) {
    int conn = accept(fd, nullptr, nullptr);
    if (conn < 0) return;
    fcntl(conn, F_SETFD, FD_CLOEXEC);
    // the answer's write waits only as long as CMD_WRITE_LIMIT_MS allows
    fcntl(conn, F_SETFL, fcntl(conn, F_GETFL) | O_NONBLOCK);
    if (__event_add_file_callback(loop, conn, EVENT_FILE_READ, ril_cmd_data_callback, nullptr) != 0)
        close(conn);
}

void ril_cmd_data_callback(EventLoop *loop, int fd, int, void *) {
    auto *ctx = static_cast<ModemContext *>(event_userdata(loop));
    char payload[CMD_REQUEST_MAX + 1];
    int n = socket_read_size(fd, payload, CMD_REQUEST_MAX, CMD_READ_LIMIT_MS);
    if (n <= 0) {
        close_connection(loop, fd);
        return;
    }
    payload[n] = '\0';
    __log_str("lted: %s: data len: %d\n", "ril_cmd_data_callback", n);
    char *items[CMD_ITEMS_MAX];
    int count = cmd_split_items(payload, static_cast<size_t>(n), items);
    if (count < 0) {
        close_connection(loop, fd);
        return;
    }
    for (int i = 0; i < count; i++)
        __log_str("lted: %s: cmd: %s\n", "ril_cmd_data_callback", items[i]);

    Answer answer;
    if (!run_command(ctx, items, count, &answer) ||
        socket_write_size_within(fd, answer.text, answer.length, CMD_WRITE_LIMIT_MS) != 0)
        close_connection(loop, fd);
}
