#include "command_server.h"

#include "at_channel.h"
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
    const char *first_line() const { return r && r->lines ? r->lines->text : nullptr; }
};

// The first line of a one-line reply tokenised in a private copy.
struct Tokens {
    char copy[512];
    char *cursor;
    explicit Tokens(const char *line) {
        snprintf(copy, sizeof copy, "%s", line ? line : "");
        cursor = copy;
        if (!line || at_tok_start(&cursor) < 0) cursor = nullptr;
    }
};

void copy_text(char *out, size_t size, const char *text) {
    snprintf(out, size, "%s", text);
}

// A one-line file of the daemon or the DHCP client, "" when missing.
void file_value(const char *path, char *out, size_t size) {
    if (read_file_string(path, out, size) != 0) out[0] = '\0';
}

// --- GETHOMEINFO ---

// Skips two integers and takes the next field ("+RSRP: 101,1850,-95").
bool third_field(const char *command, const char *prefix, char *out, size_t size) {
    Reply reply;
    int rc = at_send_command_singleline(command, prefix, &reply.r);
    if (!at_succeeded(rc, reply.r)) return false;
    Tokens t(reply.first_line());
    int skip;
    char *value;
    if (at_tok_nextint(&t.cursor, &skip) < 0 || at_tok_nextint(&t.cursor, &skip) < 0 ||
        at_tok_nextstr(&t.cursor, &value) < 0)
        return false;
    copy_text(out, size, value);
    return true;
}

// First integer of a one-line reply; false when the query or the parse failed.
bool first_int(const char *command, const char *prefix, int *value) {
    Reply reply;
    int rc = at_send_command_singleline(command, prefix, &reply.r);
    if (!at_succeeded(rc, reply.r)) return false;
    Tokens t(reply.first_line());
    return at_tok_nextint(&t.cursor, value) == 0;
}

// The signal lines of the modem's dialect; "" where it reports none.
void home_signal(const ModemDialect *dialect, char rsrp[16], char rsrq[16], char rscp[16]) {
    rsrp[0] = rsrq[0] = rscp[0] = '\0';
    if (!dialect) return;
    char *out[] = {rsrp, rsrq};
    const SignalQueries &signal = dialect->signal;
    const AtQuery *queries[] = {&signal.rsrp, &signal.rsrq};
    for (int i = 0; i < 2; ++i) {
        char value[16];
        if (!third_field(queries[i]->command, queries[i]->prefix, value, sizeof value)) continue;
        if (signal.clean)
            signal.clean(value, out[i], 16);
        else
            copy_text(out[i], 16, value);
    }
    int dbm;
    if (signal.rscp && signal.rscp(&dbm)) snprintf(rscp, 16, "%d", dbm);
}

bool get_home_info(ModemContext *ctx, Answer *a) {
    const ModemDialect *dialect = modem_dialect(ctx->modem_type);
    WanAddress wan{};
    if (dialect && !dialect->home_address(ctx, &wan)) return false;
    char version[256] = "";
    {
        Reply reply;
        int rc = at_send_command_noprefix("AT+CGMR", &reply.r);
        if (at_succeeded(rc, reply.r) && reply.first_line())
            copy_text(version, sizeof version, reply.first_line());
    }
    char imei[16], imsi[20], cnum[30];
    file_value("/tmp/IMEI", imei, sizeof imei);
    file_value("/tmp/IMSI", imsi, sizeof imsi);
    file_value("/tmp/CNUM", cnum, sizeof cnum);
    char csq[16] = "";
    int rssi;
    if (first_int("AT+CSQ", "+CSQ:", &rssi)) snprintf(csq, sizeof csq, "%d", rssi);
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

void get_sim_info(const ModemContext *ctx, Answer *a) {
    int card = 2, pin_state = 0, pin_tries = 0, puk_tries = 0; // the error answer
    [&] {
        Reply cpin;
        if (at_send_command_singleline("AT+CPIN?", "+CPIN:", &cpin.r) < 0) return;
        int cme = at_get_cme_error(cpin.r);
        if (cme == 10) {
            card = 0;
            return;
        }
        if (cme != 0) return;
        Tokens t(cpin.first_line());
        char *text;
        if (at_tok_nextstr(&t.cursor, &text) < 0) return;
        int s;
        if (strcmp(text, "READY") == 0)
            s = SIM_READY;
        else if (strcmp(text, "SIM PIN") == 0)
            s = SIM_PIN;
        else if (strcmp(text, "SIM PUK") == 0)
            s = SIM_PUK;
        else
            return;

        Reply clck;
        int rc = at_send_command_singleline("AT+CLCK=\"SC\",2", "+CLCK:", &clck.r);
        if (rc < 0) return;
        if (clck.r && clck.r->success) {
            Tokens l(clck.first_line());
            int lock;
            if (at_tok_nextint(&l.cursor, &lock) < 0) return;
            if (s == SIM_READY) {
                if (lock != 0 && lock != 1) return;
                pin_state = lock == 1 ? 2 : 3;
            }
        } else if (s == SIM_READY) {
            return;
        }
        if (s == SIM_PIN) pin_state = 1;
        if (s == SIM_PUK) pin_state = 4;

        int pin, puk;
        if (!sim_attempts_left(ctx, &pin, &puk)) return;
        card = 1;
        pin_tries = pin;
        puk_tries = puk;
    }();
    if (card != 1) pin_state = pin_tries = puk_tries = 0;
    answer_line(a, "%d", card);
    answer_line(a, "%d", pin_state);
    answer_line(a, "%d", pin_tries);
    answer_line(a, "%d", puk_tries);
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

bool get_stat_info(const ModemContext *ctx, Answer *a) {
    // the state before the queries: the channel may be lost on their way
    const char *sim = sim_state_text(ctx->status.sim_state, false);
    int sysinfo[4] = {0, 0, 0, 0};
    {
        Reply reply;
        int rc = at_send_command_singleline("AT^SYSINFO", "^SYSINFO:", &reply.r);
        if (at_succeeded(rc, reply.r)) {
            Tokens t(reply.first_line());
            for (int &v : sysinfo)
                if (at_tok_nextint(&t.cursor, &v) < 0) break;
        }
    }
    // a failed query is "not known", not the best signal
    int rssi = 99;
    if (!first_int("AT+CSQ", "+CSQ:", &rssi)) rssi = 99;
    char plmn[32] = "";
    {
        Reply reply;
        int rc = at_send_command_singleline("AT+COPS=3,2;+COPS?", "+COPS:", &reply.r);
        Tokens t(at_succeeded(rc, reply.r) ? reply.first_line() : nullptr);
        int skip;
        char *id;
        if (at_tok_nextint(&t.cursor, &skip) == 0 && at_tok_nextint(&t.cursor, &skip) == 0 &&
            at_tok_nextstr(&t.cursor, &id) == 0)
            copy_text(plmn, sizeof plmn, id);
    }
    char name[256];
    if (!operator_name(plmn, name, sizeof name)) return false;

    answer_line(a, "%s", sim);
    answer_line(a, "%d", sysinfo[0]);
    answer_line(a, "%d", sysinfo[1]);
    answer_line(a, "%d", sysinfo[3]);
    answer_line(a, "%d", rssi);
    answer_line(a, "%s", plmn);
    answer_line(a, "%s", name);
    answer_line(a, "%s", ctx->connected == 1 ? "connected" : "disconnected");
    answer_line(a, "%d", signal_bars(rssi));
    answer_line(a, "%s", network_type_text(sysinfo[3]));
    answer_line(a, "%s", name);
    return true;
}

// --- one request ---

void close_connection(EventLoop *loop, int fd) {
    event_del_file_callback(loop, fd);
    close(fd);
}

bool is_at_text(const char *text) {
    return strncasecmp(text, "AT", 2) == 0;
}

// Performs the command: false when the connection is to be closed unanswered.
bool perform(ModemContext *ctx, char *items[], int count, Answer *a) {
    const char *cmd = items[0];
    struct Need {
        const char *name;
        int items;
    };
    static constexpr Need kNeeds[] = {{"ATTEST", 2},       {"AT", 2},          {"ATALL", 2},
                                      {"ATSINGLELINE", 3}, {"ATMULTILINE", 3}, {"SETNETCFG", 2}};
    for (const Need &n : kNeeds)
        if (strcmp(cmd, n.name) == 0 &&
            (count < n.items || (strncmp(cmd, "AT", 2) == 0 && !is_at_text(items[1]))))
            return false;

    // A modem whose channel was just opened may not listen yet (real ones
    // ignore their first seconds): a page's command would wait out the 30-s
    // time-out and have it power-cycled again, over and over while a browser
    // polls the status pages. Without a modem, or with its channel closed,
    // every send fails at once and the pages get what is known.
    // SETSIM only restarts the SIM poll, which waits by itself.
    if (modem_phase(ctx) == MODEM_INITIALISING && strcmp(cmd, "SETSIM") != 0) return false;

    answer_start(a);
    Reply reply;
    if (strcmp(cmd, "ATTEST") == 0) return at_send_command(items[1], nullptr) >= 0;
    if (strcmp(cmd, "AT") == 0) {
        if (at_send_command(items[1], &reply.r) < 0) return false;
        event_sim_command(items[1], reply.r);
        answer_line(a, "%s", reply.r->final_line ? reply.r->final_line : "");
        return true;
    }
    if (strcmp(cmd, "ATALL") == 0 || strcmp(cmd, "ATSINGLELINE") == 0 ||
        strcmp(cmd, "ATMULTILINE") == 0) {
        int rc = cmd[2] == 'A'   ? at_send_command_allline(items[1], &reply.r)
                 : cmd[2] == 'S' ? at_send_command_singleline(items[1], items[2], &reply.r)
                                 : at_send_command_multiline(items[1], items[2], &reply.r);
        if (rc < 0) return false;
        answer_reply(a, reply.r);
        return true;
    }
    if (strcmp(cmd, "GETHOMEINFO") == 0) return get_home_info(ctx, a);
    if (strcmp(cmd, "GETSIMINFO") == 0) {
        get_sim_info(ctx, a);
        return true;
    }
    if (strcmp(cmd, "SETSIM") == 0) {
        getSIMStatus(ctx);
        return true;
    }
    if (strcmp(cmd, "GETSTATINFO") == 0) return get_stat_info(ctx, a);
    if (strcmp(cmd, "GETNETCFG") == 0) {
        int mode = 0;
        if (!first_int("AT^MODECONFIG?", "^MODECONFIG:", &mode)) mode = 0;
        answer_line(a, "%d", mode);
        return true;
    }
    if (strcmp(cmd, "SETNETCFG") == 0) {
        char at[32];
        snprintf(at, sizeof at, "AT^MODECONFIG=%d", atoi(items[1]));
        return at_send_command(at, nullptr) >= 0; // a failed send closes, as for ATTEST
    }
    return false; // not a command of this socket
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
    if (!perform(ctx, items, count, &answer) ||
        socket_write_size_within(fd, answer.text, answer.length, CMD_WRITE_LIMIT_MS) != 0)
        close_connection(loop, fd);
}
