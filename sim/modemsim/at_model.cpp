// The modem behind the AT ports: command line parsing, the state the answers
// come from, and the unsolicited lines that state changes cause.
#include "modemsim.h"

#include "platform.h"

#include <cctype>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <strings.h>

namespace {

enum class Kind { Exec, Read, Test, Set };

// results of a command: OK, a plain ERROR, or a CME error number (> 0)
constexpr int kOk = 0;
constexpr int kError = -1;

constexpr int kCmeNotAllowed = 3;
constexpr int kCmeNotSupported = 4;
constexpr int kCmeSimNotInserted = 10;
constexpr int kCmeSimPin = 11;
constexpr int kCmeSimPuk = 12;
constexpr int kCmeSimFailure = 13;
constexpr int kCmeWrongPassword = 16;
constexpr int kCmeNoService = 30;
constexpr int kCmePhNetPin = 40;
constexpr int kCmeBadParam = 50;
constexpr int kCmeGprsUnspecified = 148;

struct CmeText {
    int code;
    const char *text;
};
constexpr CmeText kCmeTexts[] = {
    {kCmeNotAllowed, "operation not allowed"},
    {kCmeNotSupported, "operation not supported"},
    {kCmeSimNotInserted, "SIM not inserted"},
    {kCmeSimPin, "SIM PIN required"},
    {kCmeSimPuk, "SIM PUK required"},
    {kCmeSimFailure, "SIM failure"},
    {kCmeWrongPassword, "incorrect password"},
    {kCmeNoService, "no network service"},
    {kCmePhNetPin, "network personalization PIN required"},
    {kCmeBadParam, "Incorrect parameters"},
    {kCmeGprsUnspecified, "unspecified GPRS error"},
};

constexpr int kPinTriesMax = 3;
constexpr int kPukTriesMax = 10;
constexpr int64_t kResetDelayNs = 200 * 1000000LL;
constexpr int64_t kLocationDelayNs = 1000 * 1000000LL;

constexpr StoredSetting kSettings[kStoredSettings] = {
    {"+CCWA", "0", {}},       {"+CMOD", "0", {}}, {"+CMUT", "0", {}},
    {"+CSSN", "0,0", {}},     {"+COLP", "0", {}}, {"+CUSD", "0", {}},
    {"+CGEREP", "0,0", {}},   {"+CMGF", "0", {}}, {"+CNMI", "1,0,0,0,0", {}},
    {"+CSCS", "\"IRA\"", {}}, {"+CLIP", "0", {}}, {"+CRC", "0", {}},
};

// One command line's answer: the bytes for the pty and the lines for the log.
struct Answer {
    char wire[8192];
    size_t wire_len;
    char log_text[8192];
    size_t log_len;
    bool reset_after;
    bool locate_after;
};
constexpr size_t kFinalRoom = 96;

Answer current_answer; // one line is handled at a time

struct Cmd {
    Sim *s;
    Port *p;
    Answer *a;
    Kind kind;
    const char *name; // upper case, with its prefix character
    char raw[256];    // the arguments as given
    int argc;
    char *argv[32];
};

void append(char *buf, size_t *len, size_t size, const char *text, size_t n) {
    if (*len + n > size) return;
    memcpy(buf + *len, text, n);
    *len += n;
}

void answer_text(Port *p, Answer *a, const char *text) {
    size_t n = strlen(text);
    if (a->wire_len + n + 4 + kFinalRoom > sizeof a->wire ||
        a->log_len + n + 1 + kFinalRoom > sizeof a->log_text)
        return;
    if (p->verbose) append(a->wire, &a->wire_len, sizeof a->wire, "\r\n", 2);
    append(a->wire, &a->wire_len, sizeof a->wire, text, n);
    append(a->wire, &a->wire_len, sizeof a->wire, "\r\n", 2);
    append(a->log_text, &a->log_len, sizeof a->log_text, text, n);
    append(a->log_text, &a->log_len, sizeof a->log_text, "\n", 1);
}

__attribute__((format(printf, 2, 3))) void out(Cmd *c, const char *format, ...) {
    char text[1024];
    va_list ap;
    va_start(ap, format);
    vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    spell_line(&c->s->world.spell, text, sizeof text);
    answer_text(c->p, c->a, text);
}

void answer_final(const Sim *s, Port *p, Answer *a, int result) {
    char text[80];
    int code = 4; // numeric form of ERROR
    if (result == kOk) {
        snprintf(text, sizeof text, "OK");
        code = 0;
    } else if (result == kError || s->m.cmee == 0) {
        snprintf(text, sizeof text, "ERROR");
    } else if (s->m.cmee == 1) {
        snprintf(text, sizeof text, "+CME ERROR: %d", result);
        code = -1;
    } else {
        const char *t = "unknown";
        for (const CmeText &e : kCmeTexts)
            if (e.code == result) t = e.text;
        snprintf(text, sizeof text, "+CME ERROR: %s", t);
        code = -1;
    }
    size_t n = strlen(text);
    if (p->verbose) {
        append(a->wire, &a->wire_len, sizeof a->wire, "\r\n", 2);
        append(a->wire, &a->wire_len, sizeof a->wire, text, n);
        append(a->wire, &a->wire_len, sizeof a->wire, "\r\n", 2);
    } else if (code >= 0) {
        char num[8];
        int m = snprintf(num, sizeof num, "%d\r", code);
        append(a->wire, &a->wire_len, sizeof a->wire, num, static_cast<size_t>(m));
    } else {
        append(a->wire, &a->wire_len, sizeof a->wire, text, n);
        append(a->wire, &a->wire_len, sizeof a->wire, "\r\n", 2);
    }
    append(a->log_text, &a->log_len, sizeof a->log_text, text, n);
    append(a->log_text, &a->log_len, sizeof a->log_text, "\n", 1);
}

// ---- arguments ----

bool parse_int(const char *text, long *v) {
    if (!text || !*text) return false;
    char *end;
    *v = strtol(text, &end, 10);
    return *end == '\0';
}

const char *arg(const Cmd *c, int i) {
    return i < c->argc ? c->argv[i] : "";
}

bool arg_int(const Cmd *c, int i, int *v, int lo, int hi) {
    long n;
    if (i >= c->argc || !parse_int(c->argv[i], &n) || n < lo || n > hi) return false;
    *v = static_cast<int>(n);
    return true;
}

// Splits at commas outside quotes and drops the quotes.
int split_args(char *text, char **argv, int max) {
    int argc = 0;
    if (!text || !*text) return 0;
    char *q = text;
    for (;;) {
        if (argc == max) return argc;
        if (*q == '"') {
            argv[argc++] = ++q;
            while (*q && *q != '"')
                q++;
            if (*q) *q++ = '\0';
            while (*q && *q != ',')
                q++;
        } else {
            argv[argc++] = q;
            while (*q && *q != ',')
                q++;
        }
        if (*q != ',') return argc;
        *q++ = '\0';
    }
}

// Blanks between the parts of a command mean nothing; inside quotes they stay.
void compact(char *line) {
    bool quoted = false;
    char *w = line;
    for (char *r = line; *r; r++) {
        if (*r == '"') quoted = !quoted;
        if (!quoted && (*r == ' ' || *r == '\t')) continue;
        *w++ = *r;
    }
    *w = '\0';
}

bool valid_pin(const char *pin) {
    size_t n = strlen(pin);
    if (n < 4 || n > 8) return false;
    for (size_t i = 0; i < n; i++)
        if (!isdigit(static_cast<unsigned char>(pin[i]))) return false;
    return true;
}

// ---- the state behind the answers ----

bool registered(int stat) {
    return stat == 1 || stat == 5;
}
bool can_register(const Sim *s) {
    return s->m.cfun == 1 && s->m.sim == SimCard::Ready;
}
int eff_creg(const Sim *s) {
    return can_register(s) ? s->world.creg : 0;
}
int eff_cgreg(const Sim *s) {
    return can_register(s) ? s->world.cgreg : 0;
}
bool attached(const Sim *s) {
    return registered(eff_cgreg(s));
}
int eff_sysmode(const Sim *s) {
    return registered(eff_creg(s)) || registered(eff_cgreg(s)) ? s->world.sysmode : 0;
}

int access_tech(int sysmode) {
    switch (sysmode) {
    case 3:
        return 0; // GSM
    case 5:
        return 2; // UTRAN
    default:
        return 7; // E-UTRAN
    }
}

int sub_mode(int sysmode) {
    switch (sysmode) {
    case 3:
        return 3;
    case 5:
        return 4;
    case 9:
        return 17;
    default:
        return 0;
    }
}

const char *sim_text(SimCard sim) {
    switch (sim) {
    case SimCard::Pin:
        return "SIM PIN";
    case SimCard::Puk:
        return "SIM PUK";
    case SimCard::PhNet:
        return "PH-NET PIN";
    default:
        return "READY";
    }
}

SimCard card_state_at_power_on(const World *w) {
    if (!w->card_present) return SimCard::Absent;
    if (w->puk_tries <= 0) return SimCard::Blocked;
    if (w->pin_tries <= 0) return SimCard::Puk;
    if (w->lock) return SimCard::Pin;
    return w->phnet_lock ? SimCard::PhNet : SimCard::Ready;
}

// 0 when the card can be used for the command, else the CME error
int sim_gate(const Sim *s, bool need_unlocked) {
    switch (s->m.sim) {
    case SimCard::Absent:
        return kCmeSimNotInserted;
    case SimCard::Blocked:
        return kCmeSimFailure;
    case SimCard::Pin:
        return need_unlocked ? kCmeSimPin : 0;
    case SimCard::Puk:
        return need_unlocked ? kCmeSimPuk : 0;
    case SimCard::PhNet:
        return need_unlocked ? kCmePhNetPin : 0;
    case SimCard::Ready:
        break;
    }
    return 0;
}

int pin_wrong(Sim *s) {
    if (--s->world.pin_tries <= 0) {
        s->world.pin_tries = 0;
        s->m.sim = SimCard::Puk;
    }
    return kCmeWrongPassword;
}

void ctx_define(PdpContext *ctx, const char *type, const char *apn) {
    ctx->defined = true;
    snprintf(ctx->type, sizeof ctx->type, "%s", type);
    snprintf(ctx->apn, sizeof ctx->apn, "%s", apn);
}

const char *ctx_addr(const Sim *s, int cid, char *buf, size_t size) {
    if (!s->m.ctx[cid].active) return "0.0.0.0";
    if (cid == 1) return s->world.addr;
    snprintf(buf, size, "10.64.13.%d", cid);
    return buf;
}

void data_drop(Sim *s) {
    for (PdpContext &ctx : s->m.ctx)
        ctx.active = false;
    s->m.call_active = false;
}

// The network takes the bearers down on detach; a modem that connects by
// itself brings its default context up on attach.
void data_follow_attach(Sim *s) {
    if (!attached(s)) {
        data_drop(s);
        return;
    }
    PdpContext *ctx = &s->m.ctx[1];
    if (s->world.autoconnect && !s->world.dial_error && ctx->defined) ctx->active = true;
}

// ---- commands of every model ----

int cmd_cfun(Cmd *c) {
    int fun, rst = 0;
    switch (c->kind) {
    case Kind::Read:
        out(c, "+CFUN: %d", c->s->m.cfun);
        return kOk;
    case Kind::Test:
        out(c, "+CFUN: (0,1,4),(0-1)");
        return kOk;
    case Kind::Set:
        if (!arg_int(c, 0, &fun, 0, 4) || fun == 2 || fun == 3) return kCmeBadParam;
        if (c->argc > 1 && !arg_int(c, 1, &rst, 0, 1)) return kCmeBadParam;
        c->s->m.cfun = fun;
        if (rst) c->a->reset_after = true;
        return kOk;
    default:
        return kError;
    }
}

// A setting of the modem that reads back as one number from 0 to hi.
int int_setting(Cmd *c, const char *name, int *field, int hi) {
    switch (c->kind) {
    case Kind::Read:
        out(c, "%s: %d", name, *field);
        return kOk;
    case Kind::Test:
        if (hi == 1)
            out(c, "%s: (0,1)", name);
        else
            out(c, "%s: (0-%d)", name, hi);
        return kOk;
    case Kind::Set:
        return arg_int(c, 0, field, 0, hi) ? kOk : kCmeBadParam;
    default:
        return kError;
    }
}

int cmd_cmee(Cmd *c) {
    return int_setting(c, "+CMEE", &c->s->m.cmee, 2);
}

// "+CREG: n,stat[,lac,ci,act]" (the unsolicited form without n) in this modem's spelling
void format_registration(const World *w, char *buf, size_t size, const char *name, int n, int stat,
                         bool unsolicited) {
    const Spelling &sp = w->spell;
    const char *q = sp.bare_location ? "" : "\"";
    char head[16] = "";
    if (!unsolicited) snprintf(head, sizeof head, "%d,", n);
    char tail[80] = "";
    if (n == 2 && registered(stat))
        snprintf(tail, sizeof tail, ",%s%s%s,%s%s%s,%d%s%s%s", q, w->lac, q, q, w->ci, q,
                 access_tech(w->sysmode), sp.extra_fields ? "," : "", sp.extra_fields ? q : "",
                 sp.extra_fields ? "01" : "");
    else if (sp.extra_fields && registered(stat))
        snprintf(tail, sizeof tail, ",%d", access_tech(w->sysmode));
    if (sp.extra_fields && n == 2 && registered(stat) && q[0]) strcat(tail, q);
    snprintf(buf, size, "%s: %s%d%s%s", name, head, stat, tail, sp.empty_fields ? ",," : "");
    spell_line(&sp, buf, size);
}

int registration(Cmd *c, int *n, int stat, bool refuse_extended) {
    const World *w = &c->s->world;
    int v;
    char line[160];
    switch (c->kind) {
    case Kind::Read:
        format_registration(w, line, sizeof line, c->name, *n, stat, false);
        answer_text(c->p, c->a, line);
        return kOk;
    case Kind::Test:
        out(c, "%s: (0-2)", c->name);
        return kOk;
    case Kind::Set:
        if (!arg_int(c, 0, &v, 0, 2)) return kCmeBadParam;
        if (v == 2 && refuse_extended) return kError;
        *n = v;
        return kOk;
    default:
        return kError;
    }
}

int cmd_creg(Cmd *c) {
    return registration(c, &c->s->m.creg_n, eff_creg(c->s), c->s->world.creg2_error);
}
int cmd_cgreg(Cmd *c) {
    return registration(c, &c->s->m.cgreg_n, eff_cgreg(c->s), false);
}
int cmd_cereg(Cmd *c) {
    return registration(c, &c->s->m.cereg_n, eff_cgreg(c->s), false);
}

int cmd_csq(Cmd *c) {
    if (c->kind == Kind::Test) {
        out(c, "+CSQ: (0-31,99),(0-7,99)");
        return kOk;
    }
    if (c->kind != Kind::Exec) return kError;
    if (c->s->m.cfun == 1)
        out(c, "+CSQ: %d,%d", c->s->world.csq, c->s->world.ber);
    else
        out(c, "+CSQ: 99,99");
    return kOk;
}

int cmd_cops(Cmd *c) {
    Sim *s = c->s;
    const World *w = &s->world;
    int mode, format;
    switch (c->kind) {
    case Kind::Read:
        if (eff_sysmode(s) != 0) {
            const char *names[] = {w->oper_long, w->oper_short, w->plmn};
            out(c, "+COPS: 0,%d,\"%s\",%d", s->m.cops_format, names[s->m.cops_format],
                access_tech(w->sysmode));
        } else {
            out(c, "+COPS: 0");
        }
        return kOk;
    case Kind::Test:
        if (s->m.cfun == 1)
            out(c, "+COPS: (2,\"%s\",\"%s\",\"%s\",%d),,(0,1,2,3,4),(0,1,2)", w->oper_long,
                w->oper_short, w->plmn, access_tech(w->sysmode));
        else
            out(c, "+COPS: ,,(0,1,2,3,4),(0,1,2)");
        return kOk;
    case Kind::Set:
        if (!arg_int(c, 0, &mode, 0, 4)) return kCmeBadParam;
        if (c->argc > 1 && !arg_int(c, 1, &format, 0, 2)) return kCmeBadParam;
        if (mode == 3) {
            if (c->argc < 2) return kCmeBadParam;
            s->m.cops_format = format;
        }
        return kOk;
    default:
        return kError;
    }
}

int cmd_cpin(Cmd *c) {
    Sim *s = c->s;
    World *w = &s->world;
    int gate;
    switch (c->kind) {
    case Kind::Read:
        if ((gate = sim_gate(s, false)) != 0) return gate;
        if (s->world.spell.quoted_cpin)
            out(c, "+CPIN: \"%s\"", sim_text(s->m.sim));
        else
            out(c, "+CPIN: %s", sim_text(s->m.sim));
        return kOk;
    case Kind::Test:
        return kOk;
    case Kind::Set:
        if ((gate = sim_gate(s, false)) != 0) return gate;
        if (s->m.sim == SimCard::Ready || s->m.sim == SimCard::PhNet) return kCmeNotAllowed;
        if (s->m.sim == SimCard::Pin) {
            if (c->argc != 1) return kCmeNotAllowed;
            if (strcmp(arg(c, 0), w->pin) != 0) return pin_wrong(s);
            w->pin_tries = kPinTriesMax;
            s->m.sim = SimCard::Ready;
            return kOk;
        }
        if (c->argc < 2) return kCmeSimPuk;
        if (strcmp(arg(c, 0), w->puk) != 0) {
            if (--w->puk_tries <= 0) {
                w->puk_tries = 0;
                s->m.sim = SimCard::Blocked;
            }
            return kCmeWrongPassword;
        }
        if (!valid_pin(arg(c, 1))) return kCmeBadParam;
        snprintf(w->pin, sizeof w->pin, "%s", arg(c, 1));
        w->pin_tries = kPinTriesMax;
        w->puk_tries = kPukTriesMax;
        s->m.sim = SimCard::Ready;
        return kOk;
    default:
        return kError;
    }
}

int cmd_clck(Cmd *c) {
    Sim *s = c->s;
    int mode, gate;
    if (c->kind == Kind::Test) {
        out(c, "+CLCK: (\"SC\")");
        return kOk;
    }
    if (c->kind != Kind::Set) return kError;
    if (strcasecmp(arg(c, 0), "SC") != 0) return kCmeNotSupported;
    if (!arg_int(c, 1, &mode, 0, 2)) return kCmeBadParam;
    if ((gate = sim_gate(s, true)) != 0) return gate;
    if (mode == 2) {
        out(c, "+CLCK: %d", s->world.lock ? 1 : 0);
        return kOk;
    }
    if (strcmp(arg(c, 2), s->world.pin) != 0) return pin_wrong(s);
    s->world.pin_tries = kPinTriesMax;
    s->world.lock = mode == 1;
    return kOk;
}

int cmd_cpwd(Cmd *c) {
    Sim *s = c->s;
    int gate;
    if (c->kind == Kind::Test) {
        out(c, "+CPWD: (\"SC\",8)");
        return kOk;
    }
    if (c->kind != Kind::Set) return kError;
    if (strcasecmp(arg(c, 0), "SC") != 0) return kCmeNotSupported;
    if ((gate = sim_gate(s, true)) != 0) return gate;
    if (!s->world.lock) return kCmeNotAllowed;
    if (strcmp(arg(c, 1), s->world.pin) != 0) return pin_wrong(s);
    if (!valid_pin(arg(c, 2))) return kCmeBadParam;
    snprintf(s->world.pin, sizeof s->world.pin, "%s", arg(c, 2));
    s->world.pin_tries = kPinTriesMax;
    return kOk;
}

int cmd_iccid(Cmd *c) {
    if (c->kind == Kind::Test) return kOk;
    if (c->kind == Kind::Set) return kError;
    int gate = sim_gate(c->s, false);
    if (gate) return gate;
    out(c, "%s: %s", c->name, c->s->world.iccid);
    return kOk;
}

int cmd_cimi(Cmd *c) {
    if (c->kind == Kind::Test) return kOk;
    if (c->kind != Kind::Exec) return kError;
    int gate = sim_gate(c->s, true);
    if (gate) return gate;
    out(c, "%s", c->s->world.imsi);
    return kOk;
}

int cmd_cnum(Cmd *c) {
    if (c->kind == Kind::Test) return kOk;
    if (c->kind != Kind::Exec) return kError;
    int gate = sim_gate(c->s, true);
    if (gate) return gate;
    const World *w = &c->s->world;
    const char *num = w->cnum;
    const char *q = w->spell.cnum_bare ? "" : "\"";
    if (*num)
        out(c, "+CNUM: %s%s%s,\"%s\",%d", q, w->cnum_alpha, q, num, num[0] == '+' ? 145 : 129);
    if (*num && w->spell.cnum_lines) out(c, "+CNUM: %sFax%s,\"%s9\",129", q, q, num);
    return kOk;
}

// identity commands answered with a bare line
int identity(Cmd *c, const char *text) {
    if (c->kind == Kind::Test) return kOk;
    if (c->kind != Kind::Exec) return kError;
    out(c, "%s", text);
    return kOk;
}
int cmd_cgsn(Cmd *c) {
    return identity(c, c->s->world.imei);
}
int cmd_cgmi(Cmd *c) {
    return identity(c, "modemsim");
}
int cmd_cgmm(Cmd *c) {
    return identity(c, c->s->opt.model->product_name);
}
int cmd_cgmr(Cmd *c) {
    return identity(c, c->s->world.version);
}

int cmd_imei(Cmd *c) {
    if (c->kind == Kind::Test) return kOk;
    if (c->kind == Kind::Set) return kError;
    out(c, "^IMEI: %s", c->s->world.imei);
    return kOk;
}

int cmd_sysinfo(Cmd *c) {
    Sim *s = c->s;
    if (c->kind == Kind::Test) return kOk;
    if (c->kind != Kind::Exec) return kError;
    int creg = eff_creg(s), cgreg = eff_cgreg(s);
    bool cs = registered(creg), ps = registered(cgreg);
    int sim = s->m.sim == SimCard::Ready ? 1 : s->m.sim == SimCard::Absent ? 255 : 0;
    out(c, "^SYSINFO: %d,%d,%d,%d,%d", cs || ps ? 2 : 0, (cs ? 1 : 0) | (ps ? 2 : 0),
        creg == 5 || cgreg == 5 ? 1 : 0, eff_sysmode(s), sim);
    return kOk;
}

int cmd_modeconfig(Cmd *c) {
    return int_setting(c, "^MODECONFIG", &c->s->m.modeconfig, 255);
}

// What a profile holds now, for the log: tests read what was programmed.
void profile_log(Sim *s, const char *command, int cid) {
    const PdpContext *ctx = &s->m.ctx[cid];
    sim_log(s, "profile %s cid %d apn \"%s\" auth %d user \"%s\" pass \"%s\"", command, cid,
            ctx->apn, ctx->auth, ctx->user, ctx->pass);
}

int set_auth(Cmd *c, int cid, int auth, const char *user, const char *pass) {
    PdpContext *ctx = &c->s->m.ctx[cid];
    if (strlen(user) >= sizeof ctx->user || strlen(pass) >= sizeof ctx->pass) return kCmeBadParam;
    ctx->auth = auth;
    snprintf(ctx->user, sizeof ctx->user, "%s", user);
    snprintf(ctx->pass, sizeof ctx->pass, "%s", pass);
    profile_log(c->s, c->name, cid);
    return kOk;
}

int cmd_cgdcont(Cmd *c) {
    Sim *s = c->s;
    int cid;
    char buf[16];
    switch (c->kind) {
    case Kind::Read:
        for (cid = 1; cid <= kMaxContexts; cid++) {
            const PdpContext *ctx = &s->m.ctx[cid];
            if (ctx->defined)
                out(c, "+CGDCONT: %d,\"%s\",\"%s\",\"%s\",0,0", cid, ctx->type, ctx->apn,
                    ctx_addr(s, cid, buf, sizeof buf));
        }
        return kOk;
    case Kind::Test:
        out(c, "+CGDCONT: (1-%d),\"IP\",,,(0-2),(0-4)", kMaxContexts);
        out(c, "+CGDCONT: (1-%d),\"IPV6\",,,(0-2),(0-4)", kMaxContexts);
        out(c, "+CGDCONT: (1-%d),\"IPV4V6\",,,(0-2),(0-4)", kMaxContexts);
        return kOk;
    case Kind::Set: {
        if (!arg_int(c, 0, &cid, 1, kMaxContexts)) return kCmeBadParam;
        PdpContext *ctx = &s->m.ctx[cid];
        if (c->argc == 1) {
            *ctx = PdpContext{};
            return kOk;
        }
        const char *type = *arg(c, 1) ? arg(c, 1) : "IP";
        if (strcasecmp(type, "IP") != 0 && strcasecmp(type, "IPV6") != 0 &&
            strcasecmp(type, "IPV4V6") != 0)
            return kCmeBadParam;
        if (strlen(arg(c, 2)) >= sizeof ctx->apn) return kCmeBadParam;
        char upper[8];
        size_t i = 0;
        for (; type[i] && i + 1 < sizeof upper; i++)
            upper[i] = static_cast<char>(toupper(static_cast<unsigned char>(type[i])));
        upper[i] = '\0';
        ctx_define(ctx, upper, arg(c, 2));
        profile_log(s, c->name, cid);
        return kOk;
    }
    default:
        return kError;
    }
}

int cmd_cgact(Cmd *c) {
    Sim *s = c->s;
    int state, cid;
    switch (c->kind) {
    case Kind::Read:
        for (cid = 1; cid <= kMaxContexts; cid++)
            if (s->m.ctx[cid].defined) out(c, "+CGACT: %d,%d", cid, s->m.ctx[cid].active ? 1 : 0);
        return kOk;
    case Kind::Test:
        out(c, "+CGACT: (0,1)");
        return kOk;
    case Kind::Set: {
        if (!arg_int(c, 0, &state, 0, 1)) return kCmeBadParam;
        bool listed[kMaxContexts + 1] = {};
        if (c->argc < 2) {
            for (cid = 1; cid <= kMaxContexts; cid++)
                listed[cid] = s->m.ctx[cid].defined;
        }
        for (int i = 1; i < c->argc; i++) {
            if (!arg_int(c, i, &cid, 1, kMaxContexts)) return kCmeBadParam;
            if (!s->m.ctx[cid].defined) return kCmeNotAllowed;
            listed[cid] = true;
        }
        if (state == 1 && !attached(s)) return kCmeNoService;
        if (state == 1 && s->world.dial_error) return kCmeGprsUnspecified;
        for (cid = 1; cid <= kMaxContexts; cid++)
            if (listed[cid]) s->m.ctx[cid].active = state == 1;
        return kOk;
    }
    default:
        return kError;
    }
}

int cmd_cgpaddr(Cmd *c) {
    Sim *s = c->s;
    char buf[16];
    int cid;
    if (c->kind == Kind::Test) {
        out(c, "+CGPADDR: (1-%d)", kMaxContexts);
        return kOk;
    }
    if (c->kind == Kind::Read) return kError;
    if (c->kind == Kind::Exec || c->argc == 0) {
        for (cid = 1; cid <= kMaxContexts; cid++)
            if (s->m.ctx[cid].defined)
                out(c, "+CGPADDR: %d,\"%s\"", cid, ctx_addr(s, cid, buf, sizeof buf));
        return kOk;
    }
    for (int i = 0; i < c->argc; i++) {
        if (!arg_int(c, i, &cid, 1, kMaxContexts)) return kCmeBadParam;
        if (s->m.ctx[cid].defined)
            out(c, "+CGPADDR: %d,\"%s\"", cid, ctx_addr(s, cid, buf, sizeof buf));
    }
    return kOk;
}

int cmd_cgatt(Cmd *c) {
    int v;
    switch (c->kind) {
    case Kind::Read:
        out(c, "+CGATT: %d", attached(c->s) ? 1 : 0);
        return kOk;
    case Kind::Test:
        out(c, "+CGATT: (0,1)");
        return kOk;
    case Kind::Set:
        return arg_int(c, 0, &v, 0, 1) ? kOk : kCmeBadParam;
    default:
        return kError;
    }
}

int cmd_csms(Cmd *c) {
    int v;
    switch (c->kind) {
    case Kind::Read:
        out(c, "+CSMS: 0,1,1,1");
        return kOk;
    case Kind::Test:
        out(c, "+CSMS: (0,1)");
        return kOk;
    case Kind::Set:
        if (!arg_int(c, 0, &v, 0, 1)) return kCmeBadParam;
        out(c, "+CSMS: 1,1,1");
        return kOk;
    default:
        return kError;
    }
}

int cmd_cclk(Cmd *c) {
    if (c->kind == Kind::Set || c->kind == Kind::Test) return kOk;
    if (c->kind != Kind::Read) return kError;
    // the network's time: the simulated router's wall clock
    timespec now{};
    wall_clock_now(&now);
    tm t;
    localtime_r(&now.tv_sec, &t);
    out(c, "+CCLK: \"%02d/%02d/%02d,%02d:%02d:%02d%+03ld\"", t.tm_year % 100, t.tm_mon + 1,
        t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, static_cast<long>(t.tm_gmtoff / 900));
    return kOk;
}

int cmd_clocation(Cmd *c) {
    if (c->kind != Kind::Exec) return c->kind == Kind::Test ? kOk : kError;
    c->a->locate_after = true;
    return kOk;
}

// commands that only keep what they are given and show it again
int cmd_setting(Cmd *c) {
    for (StoredSetting &st : c->s->m.settings) {
        if (strcmp(st.name, c->name) != 0) continue;
        if (c->kind == Kind::Read) out(c, "%s: %s", st.name, st.value);
        if (c->kind == Kind::Set) { // cut to what fits
            size_t n = strnlen(c->raw, sizeof st.value - 1);
            memcpy(st.value, c->raw, n);
            st.value[n] = '\0';
        }
        return kOk;
    }
    return kError;
}

// ---- the asr family ----

int cmd_pmods(Cmd *c) {
    return int_setting(c, "+PMODS", &c->s->m.pmods, 1);
}

int cmd_accept(Cmd *c) {
    return c->kind == Kind::Exec ? kError : kOk;
}

int cmd_epin(Cmd *c) {
    if (c->kind == Kind::Test) return kOk;
    if (c->kind != Kind::Read) return kError;
    int gate = sim_gate(c->s, false);
    if (gate) return gate;
    out(c, "+EPIN: %d,%d,%d,%d", c->s->world.pin_tries, kPinTriesMax, c->s->world.puk_tries,
        kPukTriesMax);
    return kOk;
}

int cmd_cgdflt(Cmd *c) {
    PdpContext *ctx = &c->s->m.ctx[1];
    if (c->kind == Kind::Read) {
        out(c, "*CGDFLT: \"%s\",\"%s\"", ctx->type, ctx->apn);
        return kOk;
    }
    if (c->kind != Kind::Set) return c->kind == Kind::Test ? kOk : kError;
    if (c->argc < 3 || strlen(arg(c, 2)) >= sizeof ctx->apn) return kCmeBadParam;
    ctx_define(ctx, *arg(c, 1) ? arg(c, 1) : "IP", arg(c, 2));
    profile_log(c->s, c->name, 1);
    return kOk;
}

// *CGDFAUTH=cid,auth[,user,pass], *AUTHREQ=cid,auth,user,pass, $QCPDPP=cid,auth[,pass,user]
int cmd_auth(Cmd *c) {
    if (c->kind != Kind::Set) return c->kind == Kind::Test ? kOk : kError;
    int cid, auth;
    if (!arg_int(c, 0, &cid, 1, kMaxContexts) || !arg_int(c, 1, &auth, 0, 255)) return kCmeBadParam;
    bool pass_first = strcmp(c->name, "$QCPDPP") == 0;
    return set_auth(c, cid, auth, arg(c, pass_first ? 3 : 2), arg(c, pass_first ? 2 : 3));
}

// ^NETCFG=0,32774,,,4,,,"",auth,"user","pass"
int cmd_netcfg(Cmd *c) {
    if (c->kind != Kind::Set) return c->kind == Kind::Test ? kOk : kError;
    int auth;
    if (c->argc < 11 || !arg_int(c, 8, &auth, 0, 255)) return kCmeBadParam;
    return set_auth(c, 1, auth, arg(c, 9), arg(c, 10));
}

int cmd_netact(Cmd *c) {
    int cid;
    if (c->kind != Kind::Set) return c->kind == Kind::Test ? kOk : kError;
    if (!arg_int(c, 1, &cid, 1, kMaxContexts)) return kCmeBadParam;
    return c->s->m.ctx[cid].active ? kOk : kCmeNotAllowed;
}

bool lte_measured(const Sim *s) {
    return eff_sysmode(s) == 9;
}

int cmd_lte_signal(Cmd *c) {
    if (c->kind == Kind::Test) return kOk;
    if (c->kind != Kind::Read) return kError;
    const char *value = strcmp(c->name, "+RSRP") == 0 ? c->s->world.rsrp : c->s->world.rsrq;
    if (lte_measured(c->s)) out(c, "%s: 101,1850,%s", c->name, value);
    return kOk;
}

int cmd_cesq(Cmd *c) {
    const Sim *s = c->s;
    if (c->kind == Kind::Test) return kOk;
    if (c->kind != Kind::Exec) return kError;
    if (s->m.cfun != 1) {
        out(c, "+CESQ: 99,99,255,255,255,255");
        return kOk;
    }
    int rsrq = 255, rsrp = 255;
    if (lte_measured(s)) {
        rsrq = atoi(s->world.rsrq) * 2 + 40;
        rsrp = atoi(s->world.rsrp) + 141;
        if (rsrq < 0) rsrq = 0;
        if (rsrq > 34) rsrq = 34;
        if (rsrp < 0) rsrp = 0;
        if (rsrp > 97) rsrp = 97;
    }
    out(c, "+CESQ: 99,99,%d,255,%d,%d", s->world.rscp, rsrq, rsrp);
    return kOk;
}

// ---- the 9x07 family ----

int cmd_cpinex(Cmd *c) {
    if (c->kind == Kind::Test) return kOk;
    if (c->kind != Kind::Read) return kError;
    int gate = sim_gate(c->s, false);
    if (gate) return gate;
    out(c, "+CPINEX: \"%s\",\"READY\",%d,%d", sim_text(c->s->m.sim), c->s->world.puk_tries,
        c->s->world.pin_tries);
    return kOk;
}

int cmd_qcrmcall(Cmd *c) {
    Sim *s = c->s;
    int action, instance = 1;
    switch (c->kind) {
    case Kind::Read:
        if (s->m.call_active) out(c, "$QCRMCALL: 1,%sV4", s->world.spell.qcrmcall_tight ? "" : " ");
        return kOk;
    case Kind::Test:
        out(c, "$QCRMCALL: (0-1),(1-2),(1-3),(1-3),(1-24)");
        return kOk;
    case Kind::Set:
        if (!arg_int(c, 0, &action, 0, 1)) return kCmeBadParam;
        if (c->argc > 1 && !arg_int(c, 1, &instance, 1, 2)) return kCmeBadParam;
        if (action == 0) {
            s->m.call_active = false;
            s->m.ctx[1].active = false;
            return kOk;
        }
        if (!attached(s)) return kCmeNoService;
        if (s->world.dial_error) return kCmeGprsUnspecified;
        if (!s->m.ctx[1].defined) ctx_define(&s->m.ctx[1], "IP", "");
        s->m.ctx[1].active = true;
        s->m.call_active = true;
        out(c, "$QCRMCALL: %d,%sV4", instance, s->world.spell.qcrmcall_tight ? "" : " ");
        return kOk;
    default:
        return kError;
    }
}

int cmd_qc_signal(Cmd *c) {
    if (c->kind == Kind::Test) return kOk;
    if (c->kind != Kind::Read) return kError;
    const char *value = strcmp(c->name, "$QCRSRP") == 0 ? c->s->world.rsrp : c->s->world.rsrq;
    if (lte_measured(c->s)) out(c, "%s: 101,1850,\"%s\"", c->name, value);
    return kOk;
}

// ---- the command table ----

constexpr unsigned kAsr = 1;
constexpr unsigned kMdm = 2;
constexpr unsigned kEvery = kAsr | kMdm;

struct CmdDef {
    const char *name;
    unsigned models;
    int (*fn)(Cmd *);
};

constexpr CmdDef kCommands[] = {
    {"+CFUN", kEvery, cmd_cfun},
    {"+CMEE", kEvery, cmd_cmee},
    {"+CREG", kEvery, cmd_creg},
    {"+CGREG", kEvery, cmd_cgreg},
    {"+CEREG", kEvery, cmd_cereg},
    {"+CSQ", kEvery, cmd_csq},
    {"+COPS", kEvery, cmd_cops},
    {"+CPIN", kEvery, cmd_cpin},
    {"+CLCK", kEvery, cmd_clck},
    {"+CPWD", kEvery, cmd_cpwd},
    {"+ICCID", kEvery, cmd_iccid},
    {"+CCID", kEvery, cmd_iccid},
    {"+CIMI", kEvery, cmd_cimi},
    {"+CNUM", kEvery, cmd_cnum},
    {"+CGSN", kEvery, cmd_cgsn},
    {"+GSN", kEvery, cmd_cgsn},
    {"+CGMI", kEvery, cmd_cgmi},
    {"+GMI", kEvery, cmd_cgmi},
    {"+CGMM", kEvery, cmd_cgmm},
    {"+GMM", kEvery, cmd_cgmm},
    {"+CGMR", kEvery, cmd_cgmr},
    {"+GMR", kEvery, cmd_cgmr},
    {"^IMEI", kEvery, cmd_imei},
    {"^SYSINFO", kEvery, cmd_sysinfo},
    {"^MODECONFIG", kEvery, cmd_modeconfig},
    {"+CGDCONT", kEvery, cmd_cgdcont},
    {"+CGACT", kEvery, cmd_cgact},
    {"+CGPADDR", kEvery, cmd_cgpaddr},
    {"+CGATT", kEvery, cmd_cgatt},
    {"+CSMS", kEvery, cmd_csms},
    {"+CCLK", kEvery, cmd_cclk},
    {"+CLOCATION", kEvery, cmd_clocation},
    {"+CCWA", kEvery, cmd_setting},
    {"+CMOD", kEvery, cmd_setting},
    {"+CMUT", kEvery, cmd_setting},
    {"+CSSN", kEvery, cmd_setting},
    {"+COLP", kEvery, cmd_setting},
    {"+CUSD", kEvery, cmd_setting},
    {"+CGEREP", kEvery, cmd_setting},
    {"+CMGF", kEvery, cmd_setting},
    {"+CNMI", kEvery, cmd_setting},
    {"+CSCS", kEvery, cmd_setting},
    {"+CLIP", kEvery, cmd_setting},
    {"+CRC", kEvery, cmd_setting},
    {"+PMODS", kAsr, cmd_pmods},
    {"*LWIPCTRL", kAsr, cmd_accept},
    {"+EPIN", kAsr, cmd_epin},
    {"*CGDFLT", kAsr, cmd_cgdflt},
    {"*CGDFAUTH", kAsr, cmd_auth},
    {"*AUTHREQ", kAsr, cmd_auth},
    {"*NETACT", kAsr, cmd_netact},
    {"+RSRP", kAsr, cmd_lte_signal},
    {"+RSRQ", kAsr, cmd_lte_signal},
    {"+CESQ", kAsr, cmd_cesq},
    {"+CPINEX", kMdm, cmd_cpinex},
    {"$QCRMCALL", kMdm, cmd_qcrmcall},
    {"$QCPDPP", kMdm, cmd_auth},
    {"^NETCFG", kMdm, cmd_netcfg},
    {"$QCRSRP", kMdm, cmd_qc_signal},
    {"$QCRSRQ", kMdm, cmd_qc_signal},
};

int run_extended(Sim *s, Port *p, Answer *a, char **cursor) {
    char *q = *cursor;
    char name[24];
    size_t n = 0;
    name[n++] = *q++;
    while (isalnum(static_cast<unsigned char>(*q)) || *q == '_') {
        if (n + 1 < sizeof name)
            name[n++] = static_cast<char>(toupper(static_cast<unsigned char>(*q)));
        q++;
    }
    name[n] = '\0';

    Cmd c{};
    c.s = s;
    c.p = p;
    c.a = a;
    c.name = name;
    char *args = nullptr;
    if (q[0] == '=' && q[1] == '?') {
        c.kind = Kind::Test;
        q += 2;
    } else if (q[0] == '?') {
        c.kind = Kind::Read;
        q++;
    } else if (q[0] == '=') {
        c.kind = Kind::Set;
        args = ++q;
        bool quoted = false;
        while (*q && (quoted || *q != ';')) {
            if (*q == '"') quoted = !quoted;
            q++;
        }
    } else {
        c.kind = Kind::Exec;
    }
    if (*q != ';' && *q != '\0') return kError;
    if (*q == ';') *q++ = '\0';
    *cursor = q;

    unsigned family = model_is_asr(s->opt.model) ? kAsr : kMdm;
    for (const CmdDef &d : kCommands) {
        if (strcmp(d.name, name) != 0) continue;
        if (!(d.models & family)) return kError;
        if (args) {
            snprintf(c.raw, sizeof c.raw, "%s", args);
            c.argc = split_args(args, c.argv, 32);
        }
        return d.fn(&c);
    }
    return kError;
}

void show_info(Sim *s, Port *p, Answer *a) {
    char line[128];
    snprintf(line, sizeof line, "Manufacturer: modemsim");
    answer_text(p, a, line);
    snprintf(line, sizeof line, "Model: %s", s->opt.model->product_name);
    answer_text(p, a, line);
    snprintf(line, sizeof line, "Revision: %s", s->world.version);
    answer_text(p, a, line);
    snprintf(line, sizeof line, "IMEI: %s", s->world.imei);
    answer_text(p, a, line);
}

// E V Q S I Z H X &F ... one letter (after '&' for the ampersand ones) and a number
int run_basic(Sim *s, Port *p, Answer *a, char **cursor) {
    char *q = *cursor;
    bool amp = *q == '&';
    if (amp) q++;
    char letter = static_cast<char>(toupper(static_cast<unsigned char>(*q)));
    if (!isalpha(static_cast<unsigned char>(letter))) return kError;
    q++;
    if (!amp && letter == 'S') {
        if (!isdigit(static_cast<unsigned char>(*q))) return kError;
        long reg = strtol(q, &q, 10);
        if (reg >= 16) return kError;
        if (*q == '?') {
            q++;
            char line[8];
            snprintf(line, sizeof line, "%03d", s->m.sreg[reg]);
            answer_text(p, a, line);
        } else if (*q == '=') {
            q++;
            if (!isdigit(static_cast<unsigned char>(*q))) return kError;
            long v = strtol(q, &q, 10);
            if (v > 255) return kError;
            s->m.sreg[reg] = static_cast<int>(v);
        } else {
            return kError;
        }
        *cursor = q;
        return kOk;
    }
    if (!amp && (letter == 'D' || letter == 'A')) return kError; // no voice or data calls here
    long v = 0;
    if (isdigit(static_cast<unsigned char>(*q))) v = strtol(q, &q, 10);
    *cursor = q;
    if (amp)
        return letter == 'F' || letter == 'C' || letter == 'D' || letter == 'W' || letter == 'K' ||
                       letter == 'V'
                   ? kOk
                   : kError;
    switch (letter) {
    case 'E':
        if (v > 1) return kError;
        p->echo = v == 1;
        return kOk;
    case 'V':
        if (v > 1) return kError;
        p->verbose = v == 1;
        return kOk;
    case 'Q':
        return v == 0 ? kOk : kError;
    case 'Z':
        p->echo = s->opt.echo;
        p->verbose = true;
        return kOk;
    case 'I':
        if (v == 0) show_info(s, p, a);
        return kOk;
    case 'H':
    case 'X':
    case 'L':
    case 'M':
        return kOk;
    default:
        return kError;
    }
}

int run_line(Sim *s, Port *p, Answer *a, char *body) {
    compact(body);
    char *q = body;
    while (*q) {
        int r;
        if (strchr("+^$*%#", *q)) {
            r = run_extended(s, p, a, &q);
        } else if (*q == ';') {
            q++;
            continue;
        } else if (*q == '&' || isalpha(static_cast<unsigned char>(*q))) {
            r = run_basic(s, p, a, &q);
        } else {
            r = kError;
        }
        if (r != kOk) return r;
    }
    return kOk;
}

void send_registration_urc(Sim *s, Port *p, const char *name, int n, int stat) {
    char line[160];
    format_registration(&s->world, line, sizeof line, name, n, stat, true);
    port_send_line(s, p, line);
}

struct StringKey {
    const char *key;
    size_t offset;
    size_t size;
};
#define WORLD_STRING(key, field)                                                                   \
    { key, offsetof(World, field), sizeof(World::field) }
constexpr StringKey kStringKeys[] = {
    WORLD_STRING("lac", lac),
    WORLD_STRING("ci", ci),
    WORLD_STRING("operator", oper_long),
    WORLD_STRING("shortname", oper_short),
    WORLD_STRING("plmn", plmn),
    WORLD_STRING("addr", addr),
    WORLD_STRING("iccid", iccid),
    WORLD_STRING("imsi", imsi),
    WORLD_STRING("cnum", cnum),
    WORLD_STRING("imei", imei),
    WORLD_STRING("version", version),
    WORLD_STRING("rsrp", rsrp),
    WORLD_STRING("rsrq", rsrq),
    WORLD_STRING("puk", puk),
    WORLD_STRING("cnumalpha", cnum_alpha),
};
#undef WORLD_STRING

struct IntKey {
    const char *key;
    int lo;
    int hi;
};
constexpr IntKey kIntKeys[] = {
    {"creg", 0, 11},
    {"cgreg", 0, 11},
    {"reg", 0, 11},
    {"csq", 0, 99},
    {"ber", 0, 99},
    {"sysmode", 0, 255},
    {"cfun", 0, 4},
    {"rscp", 0, 255},
    {"modeconfig", 0, 255},
    {"pmods", 0, 1},
    {"pintries", 0, kPinTriesMax},
    {"puktries", 0, kPukTriesMax},
    {"lock", 0, 1},
    {"autoconnect", 0, 1},
    {"echo", 0, 1},
};

int set_int(Sim *s, const char *key, int v) {
    World *w = &s->world;
    if (!strcmp(key, "creg"))
        w->creg = v;
    else if (!strcmp(key, "cgreg"))
        w->cgreg = v;
    else if (!strcmp(key, "reg"))
        w->creg = w->cgreg = v;
    else if (!strcmp(key, "csq"))
        w->csq = v;
    else if (!strcmp(key, "ber"))
        w->ber = v;
    else if (!strcmp(key, "sysmode"))
        w->sysmode = v;
    else if (!strcmp(key, "cfun"))
        s->m.cfun = v;
    else if (!strcmp(key, "rscp"))
        w->rscp = v;
    else if (!strcmp(key, "modeconfig"))
        s->m.modeconfig = v;
    else if (!strcmp(key, "pmods"))
        s->m.pmods = v;
    else if (!strcmp(key, "lock"))
        w->lock = v == 1;
    else if (!strcmp(key, "autoconnect"))
        w->autoconnect = v == 1;
    else if (!strcmp(key, "echo")) {
        for (int i = 0; i < s->port_count; i++)
            s->ports[i].echo = v == 1;
    } else if (!strcmp(key, "pintries") || !strcmp(key, "puktries")) {
        if (key[1] == 'i')
            w->pin_tries = v;
        else
            w->puk_tries = v;
        // a card that asks for a code follows its counters at once
        if (s->m.sim == SimCard::Pin || s->m.sim == SimCard::Puk || s->m.sim == SimCard::Blocked)
            s->m.sim = w->puk_tries <= 0   ? SimCard::Blocked
                       : w->pin_tries <= 0 ? SimCard::Puk
                                           : SimCard::Pin;
    } else {
        return -1;
    }
    return 0;
}

int set_sim(Sim *s, const char *value) {
    World *w = &s->world;
    if (!strcmp(value, "absent")) {
        w->card_present = false;
        s->m.sim = SimCard::Absent;
        return 0;
    }
    if (!strcmp(value, "phnet")) { // a card of another network in a locked modem
        w->card_present = true;
        w->phnet_lock = true;
        s->m.sim = SimCard::PhNet;
        return 0;
    }
    w->phnet_lock = false;
    if (!strcmp(value, "ready") || !strcmp(value, "pin") || !strcmp(value, "puk") ||
        !strcmp(value, "blocked")) {
        w->card_present = true;
        if (w->pin_tries <= 0) w->pin_tries = kPinTriesMax;
        if (w->puk_tries <= 0) w->puk_tries = kPukTriesMax;
        s->m.sim = SimCard::Ready;
        if (!strcmp(value, "pin")) {
            w->lock = true;
            s->m.sim = SimCard::Pin;
        } else if (!strcmp(value, "puk")) {
            w->lock = true;
            w->pin_tries = 0;
            s->m.sim = SimCard::Puk;
        } else if (!strcmp(value, "blocked")) {
            w->pin_tries = 0;
            w->puk_tries = 0;
            s->m.sim = SimCard::Blocked;
        }
        return 0;
    }
    return -1;
}

struct SpellingFlag {
    const char *name;
    bool Spelling::*flag;
};
constexpr SpellingFlag kSpellingFlags[] = {
    {"commaspace", &Spelling::comma_space}, {"nocolonspace", &Spelling::no_colon_space},
    {"zeropad", &Spelling::zero_pad},       {"bareloc", &Spelling::bare_location},
    {"extra", &Spelling::extra_fields},     {"empty", &Spelling::empty_fields},
    {"quotedcpin", &Spelling::quoted_cpin}, {"cnumbare", &Spelling::cnum_bare},
    {"cnumlines", &Spelling::cnum_lines},   {"qctight", &Spelling::qcrmcall_tight},
};

// "plain", or flags separated by commas; replaces the whole spelling
int set_spelling(World *w, const char *value, char *why, size_t why_size) {
    Spelling sp{};
    char list[160];
    snprintf(list, sizeof list, "%s", value);
    char *save = nullptr;
    for (char *name = strtok_r(list, ",", &save); name; name = strtok_r(nullptr, ",", &save)) {
        if (!strcmp(name, "plain")) continue;
        bool known = false;
        for (const SpellingFlag &f : kSpellingFlags)
            if (!strcmp(f.name, name)) {
                sp.*f.flag = true;
                known = true;
            }
        if (!known) {
            snprintf(why, why_size, "spelling: unknown habit %s", name);
            return -1;
        }
    }
    w->spell = sp;
    return 0;
}

int apply_set(Sim *s, const char *key, const char *value, char *why, size_t why_size) {
    World *w = &s->world;
    for (const StringKey &k : kStringKeys) {
        if (strcmp(k.key, key) != 0) continue;
        if (strlen(value) >= k.size) {
            snprintf(why, why_size, "%s: at most %zu characters", key, k.size - 1);
            return -1;
        }
        snprintf(reinterpret_cast<char *>(w) + k.offset, k.size, "%s", value);
        return 0;
    }
    for (const IntKey &k : kIntKeys) {
        if (strcmp(k.key, key) != 0) continue;
        long v;
        if (!parse_int(value, &v) || v < k.lo || v > k.hi) {
            snprintf(why, why_size, "%s: a number from %d to %d", key, k.lo, k.hi);
            return -1;
        }
        return set_int(s, key, static_cast<int>(v));
    }
    if (!strcmp(key, "pin")) {
        if (!valid_pin(value)) {
            snprintf(why, why_size, "pin: 4 to 8 digits");
            return -1;
        }
        snprintf(w->pin, sizeof w->pin, "%s", value);
        return 0;
    }
    if (!strcmp(key, "sim")) {
        if (set_sim(s, value) == 0) return 0;
        snprintf(why, why_size, "sim: ready, pin, puk, absent, blocked or phnet");
        return -1;
    }
    if (!strcmp(key, "creg2") || !strcmp(key, "dial")) {
        bool error = !strcmp(value, "error");
        if (!error && strcmp(value, "ok") != 0) {
            snprintf(why, why_size, "%s: ok or error", key);
            return -1;
        }
        if (key[0] == 'c')
            w->creg2_error = error;
        else
            w->dial_error = error;
        return 0;
    }
    if (!strcmp(key, "data")) {
        if (!strcmp(value, "down")) {
            data_drop(s);
            return 0;
        }
        if (!strcmp(value, "up") && attached(s)) {
            if (!s->m.ctx[1].defined) ctx_define(&s->m.ctx[1], "IP", "");
            s->m.ctx[1].active = true;
            if (!model_is_asr(s->opt.model)) s->m.call_active = true;
            return 0;
        }
        snprintf(why, why_size, "data: down, or up while attached");
        return -1;
    }
    if (!strcmp(key, "spelling")) return set_spelling(w, value, why, why_size);
    if (!strcmp(key, "location")) {
        const char *comma = strchr(value, ',');
        if (!comma || static_cast<size_t>(comma - value) >= sizeof w->lat ||
            strlen(comma + 1) >= sizeof w->lon) {
            snprintf(why, why_size, "location: LATITUDE,LONGITUDE");
            return -1;
        }
        snprintf(w->lat, sizeof w->lat, "%.*s", static_cast<int>(comma - value), value);
        snprintf(w->lon, sizeof w->lon, "%s", comma + 1);
        return 0;
    }
    snprintf(why, why_size, "unknown key %s", key);
    return -1;
}

} // namespace

void world_init(Sim *s) {
    World *w = &s->world;
    const Options *o = &s->opt;
    *w = World{};
    w->card_present = o->sim != SimCard::Absent;
    w->lock = o->sim == SimCard::Pin || o->sim == SimCard::Puk;
    snprintf(w->pin, sizeof w->pin, "%s", o->pin);
    snprintf(w->puk, sizeof w->puk, "12345678");
    w->pin_tries = o->sim == SimCard::Puk ? 0 : o->pin_tries;
    w->puk_tries = kPukTriesMax;
    w->creg = 1;
    w->cgreg = 1;
    w->csq = 20;
    w->ber = 99;
    w->sysmode = 9;
    snprintf(w->lac, sizeof w->lac, "1A2B");
    snprintf(w->ci, sizeof w->ci, "01C3D4E5");
    snprintf(w->oper_long, sizeof w->oper_long, "Simulated Network");
    snprintf(w->oper_short, sizeof w->oper_short, "SimNet");
    snprintf(w->plmn, sizeof w->plmn, "00101");
    w->autoconnect = o->model->autoconnect;
    snprintf(w->addr, sizeof w->addr, "%s", o->addr[0] ? o->addr : "10.64.12.34");
    snprintf(w->iccid, sizeof w->iccid, "89860012345678901234");
    snprintf(w->imsi, sizeof w->imsi, "001010123456789");
    snprintf(w->cnum, sizeof w->cnum, "+15550100123");
    snprintf(w->imei, sizeof w->imei, "%s", o->imei);
    snprintf(w->version, sizeof w->version, "%s", o->model->revision);
    snprintf(w->rsrp, sizeof w->rsrp, "%s", o->model->rsrp);
    snprintf(w->rsrq, sizeof w->rsrq, "%s", o->model->rsrq);
    w->rscp = 255;
    snprintf(w->lat, sizeof w->lat, "31.230416");
    snprintf(w->lon, sizeof w->lon, "121.473701");
}

void modem_reset(Sim *s) {
    ModemState *m = &s->m;
    *m = ModemState{};
    m->sim = card_state_at_power_on(&s->world);
    m->cfun = s->opt.cfun;
    m->modeconfig = 2;
    m->pmods = model_is_asr(s->opt.model) ? 1 : 0;
    ctx_define(&m->ctx[1], "IP", "");
    for (int i = 0; i < kStoredSettings; i++) {
        m->settings[i] = kSettings[i];
        snprintf(m->settings[i].value, sizeof m->settings[i].value, "%s", kSettings[i].initial);
    }
    m->sreg[3] = 13;
    m->sreg[4] = 10;
    m->sreg[5] = 8;
    for (int i = 0; i < s->port_count; i++) {
        s->ports[i].echo = s->opt.echo;
        s->ports[i].verbose = true;
    }
    data_follow_attach(s);
}

RegSnapshot reg_snapshot(const Sim *s) {
    return {eff_creg(s), eff_cgreg(s), eff_sysmode(s)};
}

void reg_notify(Sim *s, RegSnapshot before) {
    data_follow_attach(s);
    RegSnapshot now = reg_snapshot(s);
    Port *p = device_at_port(s);
    // a replay's AT tty says only what the log holds
    if (!p || s->silent || s->replay) return;
    if (now.creg != before.creg && s->m.creg_n > 0)
        send_registration_urc(s, p, "+CREG", s->m.creg_n, now.creg);
    if (now.cgreg != before.cgreg && s->m.cgreg_n > 0)
        send_registration_urc(s, p, "+CGREG", s->m.cgreg_n, now.cgreg);
    if (now.cgreg != before.cgreg && s->m.cereg_n > 0)
        send_registration_urc(s, p, "+CEREG", s->m.cereg_n, now.cgreg);
    if (now.sysmode != before.sysmode) {
        char line[32];
        snprintf(line, sizeof line, "^MODE: %d,%d", now.sysmode, sub_mode(now.sysmode));
        spell_line(&s->world.spell, line, sizeof line);
        port_send_line(s, p, line);
    }
}

void modem_send_location(Sim *s) {
    s->location_at = 0;
    Port *p = device_at_port(s);
    if (!p || s->silent || s->replay) return;
    char line[96];
    const char *q = s->world.spell.bare_location ? "" : "\"";
    snprintf(line, sizeof line, "+CLOCATION: %s%s%s,%s%s%s", q, s->world.lat, q, q, s->world.lon,
             q);
    spell_line(&s->world.spell, line, sizeof line);
    port_send_line(s, p, line);
}

void at_handle_line(Sim *s, Port *p, char *line, bool overflow) {
    size_t len = strlen(line);
    sim_log_data(s, p, '>', line, len);
    if (s->silent) return;
    if (s->replay && p->role == PortRole::At) return replay_command(s, p, line);
    if (p->echo) {
        sim_log_data(s, p, '<', line, len);
        port_send_raw(s, p, line, len);
        port_send_raw(s, p, "\r", 1);
    }
    bool is_at = len >= 2 && toupper(static_cast<unsigned char>(line[0])) == 'A' &&
                 toupper(static_cast<unsigned char>(line[1])) == 'T';
    if (!is_at && !overflow) return; // modems pass over what is not a command

    Answer *a = &current_answer;
    a->wire_len = a->log_len = 0;
    a->reset_after = a->locate_after = false;
    RegSnapshot before = reg_snapshot(s);
    int result = overflow ? kError : run_line(s, p, a, line + 2);
    answer_final(s, p, a, result);
    carrier_sync(s); // the carrier side is ready before the modem says so
    int64_t due = boot_now_ns() + static_cast<int64_t>(s->slow_ms) * 1000000;
    port_queue_answer(s, p, a->wire, a->wire_len, a->log_text, a->log_len, due);
    reg_notify(s, before);
    if (a->reset_after) s->reset_at = due + kResetDelayNs;
    if (a->locate_after) s->location_at = due + kLocationDelayNs;
}

int world_set(Sim *s, const char *key, const char *value, char *why, size_t why_size) {
    RegSnapshot before = reg_snapshot(s);
    int rc = apply_set(s, key, value, why, why_size);
    if (rc == 0) reg_notify(s, before);
    carrier_sync(s);
    return rc;
}

void spell_line(const Spelling *sp, char *line, size_t size) {
    if (!strchr("+^$*%#", line[0]) || !line[0]) return;
    char *colon = strchr(line, ':');
    if (!colon) return;
    char out[512];
    size_t n = 0;
    auto put = [&](char ch) {
        if (n + 1 < sizeof out) out[n++] = ch;
    };
    for (char *p = line; p <= colon; ++p)
        put(*p);
    const char *r = colon + 1;
    while (*r == ' ')
        ++r;
    if (!sp->no_colon_space) put(' ');
    bool quoted = false;
    bool field_start = true;
    while (*r) {
        if (field_start) {
            while (*r == ' ')
                put(*r++);
            if (sp->zero_pad && isdigit(static_cast<unsigned char>(r[0])) &&
                (r[1] == ',' || r[1] == '\0'))
                put('0');
            field_start = false;
            if (!*r) break;
        }
        char ch = *r++;
        put(ch);
        if (ch == '"') quoted = !quoted;
        if (ch == ',' && !quoted) {
            if (sp->comma_space && *r != ' ') put(' ');
            field_start = true;
        }
    }
    out[n] = '\0';
    snprintf(line, size, "%s", out);
}
