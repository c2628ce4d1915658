// modemsim: a simulated USB cellular modem for a router root, so that the
// modem daemon can be run and tested on a machine without a modem.
#include "modemsim.h"

#include "platform.h"

#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <strings.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kGpioPollMs = 20;
constexpr int kModemPowerPin = 2;
constexpr long kMaxGarbageLines = 10000;
constexpr long kMaxLongLine = 1 << 20;

volatile sig_atomic_t stop_requested = 0;

void on_stop_signal(int) {
    stop_requested = 1;
}

void usage(FILE *f) {
    fputs("usage: modemsim --root DIR --model asr|902d|9025|9091 [options]\n"
          "       modemsim --root DIR --replay LOG [--model ...] [options]\n"
          "       modemsim --replay LOG --check\n"
          "\n"
          "Simulates the router's USB cellular modem under the router root DIR: its\n"
          "sysfs entry, a pty per serial interface linked from DIR/dev/ttyUSB<k>, and\n"
          "the answers to AT commands. Follows the modem power line (pin 2) in\n"
          "DIR/dev/gpio and takes faults through the FIFO DIR/sim/modem.ctl.\n"
          "\n"
          "  --usb NAME          sysfs device directory name (default 1-1)\n"
          "  --tty-base N        number of the first ttyUSB (default 0)\n"
          "  --enum-ms N         boot-clock ms from power-on to the device on the bus (default "
          "1500)\n"
          "  --tty-late-ms N     the AT tty appears N boot-clock ms after the device (default 0)\n"
          "  --powered 0|1       powered at start (default 1)\n"
          "  --sim ready|pin|puk|absent   SIM state at start (default ready)\n"
          "  --pin CODE          the SIM's PIN (default 1234)\n"
          "  --pin-tries N       PIN attempts left at start (default 3)\n"
          "  --cfun N            functionality at power-on: 0, 1 or 4 (default 1)\n"
          "  --imei DIGITS       (default 861234567890123)\n"
          "  --echo 0|1          command echo at power-on (default 1, as modems start)\n"
          "  --addr A.B.C.D      context 1's address while active (default 10.64.12.34)\n"
          "  --data-hook CMD     shell command run as 'CMD up ADDR' / 'CMD down' when the\n"
          "                      data call comes up, goes down or changes its address\n"
          "  --id NAME           names the files modem-NAME.log, modem-NAME.ctl and\n"
          "                      modemsim-NAME.pid, for a second modem in the same root\n"
          "Wire habits of real modems (all off by default):\n"
          "  --deaf-ms N         the AT ttys ignore input N boot-clock ms after they appear\n"
          "  --boot-noise 0|1    then send RDY and the card's +CPIN: line\n"
          "  --split N           answers leave in pieces of at most N bytes\n"
          "  --latency TEXT=MS   answers to command lines containing TEXT leave MS later\n"
          "                      (repeatable, up to 8)\n"
          "  --interleave TEXT   the unsolicited line TEXT inside every answer of two lines\n"
          "                      or more, after its first line\n"
          "  --realistic         --deaf-ms 5000 --boot-noise 1 --split 7\n"
          "                      --latency +COPS=2000 --latency +CFUN=1500\n"
          "Replay of a modem daemon's log (LOG.1 is read first when it exists):\n"
          "  --replay LOG        the AT tty answers as the modem of LOG did; its lines\n"
          "                      without a command and its losses come as long after the\n"
          "                      command before them as in LOG; the model is the one the\n"
          "                      log names unless --model is given\n"
          "  --check             print what LOG holds and exit\n"
          "  --help\n"
          "\n"
          "Files: DIR/sim/modem.log (the log), DIR/sim/modem.ctl (control FIFO),\n"
          "DIR/sim/modemsim.pid (written once set up). See sim/README.md.\n",
          f);
}

bool all_digits(const char *s, size_t lo, size_t hi) {
    size_t n = strlen(s);
    if (n < lo || n > hi) return false;
    for (size_t i = 0; i < n; i++)
        if (!isdigit(static_cast<unsigned char>(s[i]))) return false;
    return true;
}

bool number_arg(const char *text, long lo, long hi, long *out) {
    char *end;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (errno || end == text || *end || v < lo || v > hi) return false;
    *out = v;
    return true;
}

// A non-empty text that fits out, copied into it.
template <size_t N> bool text_arg(const char *arg, char (&out)[N]) {
    size_t n = strlen(arg);
    if (n == 0 || n >= N) return false;
    memcpy(out, arg, n + 1);
    return true;
}

// "TEXT=MS"
bool latency_arg(WireHabits *h, const char *arg) {
    const char *eq = strrchr(arg, '=');
    long ms;
    if (!eq || !number_arg(eq + 1, 1, 3600000, &ms)) return false;
    char text[sizeof h->latency[0].text];
    size_t n = static_cast<size_t>(eq - arg);
    if (n == 0 || n >= sizeof text) return false;
    memcpy(text, arg, n);
    text[n] = '\0';
    return habits_set_latency(h, text, ms) == 0;
}

int parse_options(int argc, char **argv, Options *o) {
    enum {
        kRoot = 1,
        kModel,
        kUsb,
        kTtyBase,
        kEnumMs,
        kTtyLate,
        kPowered,
        kSimOpt,
        kPin,
        kPinTries,
        kCfun,
        kImei,
        kEcho,
        kId,
        kAddr,
        kDataHook,
        kDeaf,
        kBootNoise,
        kSplit,
        kLatency,
        kInterleave,
        kRealistic,
        kReplay,
        kCheck,
        kHelp
    };
    static const option longopts[] = {
        {"root", required_argument, nullptr, kRoot},
        {"model", required_argument, nullptr, kModel},
        {"usb", required_argument, nullptr, kUsb},
        {"tty-base", required_argument, nullptr, kTtyBase},
        {"enum-ms", required_argument, nullptr, kEnumMs},
        {"tty-late-ms", required_argument, nullptr, kTtyLate},
        {"powered", required_argument, nullptr, kPowered},
        {"sim", required_argument, nullptr, kSimOpt},
        {"pin", required_argument, nullptr, kPin},
        {"pin-tries", required_argument, nullptr, kPinTries},
        {"cfun", required_argument, nullptr, kCfun},
        {"imei", required_argument, nullptr, kImei},
        {"echo", required_argument, nullptr, kEcho},
        {"id", required_argument, nullptr, kId},
        {"addr", required_argument, nullptr, kAddr},
        {"data-hook", required_argument, nullptr, kDataHook},
        {"deaf-ms", required_argument, nullptr, kDeaf},
        {"boot-noise", required_argument, nullptr, kBootNoise},
        {"split", required_argument, nullptr, kSplit},
        {"latency", required_argument, nullptr, kLatency},
        {"interleave", required_argument, nullptr, kInterleave},
        {"realistic", no_argument, nullptr, kRealistic},
        {"replay", required_argument, nullptr, kReplay},
        {"check", no_argument, nullptr, kCheck},
        {"help", no_argument, nullptr, kHelp},
        {nullptr, 0, nullptr, 0},
    };
    *o = Options{};
    snprintf(o->usb, sizeof o->usb, "1-1");
    o->enum_ms = 1500;
    o->powered = true;
    o->sim = SimCard::Ready;
    snprintf(o->pin, sizeof o->pin, "1234");
    o->pin_tries = 3;
    o->cfun = 1;
    snprintf(o->imei, sizeof o->imei, "861234567890123");
    o->echo = true;
    const char *root = nullptr;
    int c;
    long v;
    while ((c = getopt_long(argc, argv, "", longopts, nullptr)) != -1) {
        switch (c) {
        case kRoot:
            root = optarg;
            break;
        case kModel:
            o->model = model_find(optarg);
            if (!o->model) {
                fprintf(stderr, "modemsim: unknown model %s (asr, 902d, 9025, 9091)\n", optarg);
                return 2;
            }
            break;
        case kUsb:
            if (strchr(optarg, '/') || !text_arg(optarg, o->usb)) goto bad_value;
            break;
        case kTtyBase:
            if (!number_arg(optarg, 0, 250, &v)) goto bad_value;
            o->tty_base = static_cast<int>(v);
            break;
        case kEnumMs:
            if (!number_arg(optarg, 0, 3600000, &o->enum_ms)) goto bad_value;
            break;
        case kTtyLate:
            if (!number_arg(optarg, 0, 3600000, &o->tty_late_ms)) goto bad_value;
            break;
        case kPowered:
            if (!number_arg(optarg, 0, 1, &v)) goto bad_value;
            o->powered = v == 1;
            break;
        case kSimOpt:
            if (!strcmp(optarg, "ready"))
                o->sim = SimCard::Ready;
            else if (!strcmp(optarg, "pin"))
                o->sim = SimCard::Pin;
            else if (!strcmp(optarg, "puk"))
                o->sim = SimCard::Puk;
            else if (!strcmp(optarg, "absent"))
                o->sim = SimCard::Absent;
            else {
                fprintf(stderr, "modemsim: --sim ready|pin|puk|absent\n");
                return 2;
            }
            break;
        case kPin:
            if (!all_digits(optarg, 4, 8)) {
                fprintf(stderr, "modemsim: --pin takes 4 to 8 digits\n");
                return 2;
            }
            snprintf(o->pin, sizeof o->pin, "%s", optarg);
            break;
        case kPinTries:
            if (!number_arg(optarg, 0, 3, &v)) goto bad_value;
            o->pin_tries = static_cast<int>(v);
            break;
        case kCfun:
            if (!number_arg(optarg, 0, 4, &v) || v == 2 || v == 3) goto bad_value;
            o->cfun = static_cast<int>(v);
            break;
        case kImei:
            if (!all_digits(optarg, 1, sizeof o->imei - 1)) {
                fprintf(stderr, "modemsim: --imei takes up to %zu digits\n", sizeof o->imei - 1);
                return 2;
            }
            snprintf(o->imei, sizeof o->imei, "%s", optarg);
            break;
        case kEcho:
            if (!number_arg(optarg, 0, 1, &v)) goto bad_value;
            o->echo = v == 1;
            break;
        case kId:
            for (const char *p = optarg; *p; p++)
                if (!isalnum(static_cast<unsigned char>(*p)) && *p != '-' && *p != '_') {
                    fprintf(stderr, "modemsim: --id takes letters, digits, - and _\n");
                    return 2;
                }
            if (!text_arg(optarg, o->id)) goto bad_value;
            break;
        case kAddr: {
            in_addr a;
            if (strlen(optarg) >= sizeof o->addr || inet_pton(AF_INET, optarg, &a) != 1) {
                fprintf(stderr, "modemsim: --addr takes a dotted IPv4 address\n");
                return 2;
            }
            snprintf(o->addr, sizeof o->addr, "%s", optarg);
            break;
        }
        case kDataHook:
            if (!text_arg(optarg, o->data_hook)) goto bad_value;
            break;
        case kDeaf:
            if (!number_arg(optarg, 0, 3600000, &o->habits.deaf_ms)) goto bad_value;
            break;
        case kBootNoise:
            if (!number_arg(optarg, 0, 1, &v)) goto bad_value;
            o->habits.boot_noise = v == 1;
            break;
        case kSplit:
            if (!number_arg(optarg, 0, 4096, &v)) goto bad_value;
            o->habits.split = static_cast<size_t>(v);
            break;
        case kLatency:
            if (!latency_arg(&o->habits, optarg)) {
                fprintf(stderr, "modemsim: --latency TEXT=MS (up to %d)\n", kMaxLatencies);
                return 2;
            }
            break;
        case kInterleave:
            if (!text_arg(optarg, o->habits.interleave)) goto bad_value;
            break;
        case kRealistic:
            o->habits.deaf_ms = 5000;
            o->habits.boot_noise = true;
            o->habits.split = 7;
            latency_arg(&o->habits, "+COPS=2000");
            latency_arg(&o->habits, "+CFUN=1500");
            break;
        case kReplay:
            if (!text_arg(optarg, o->replay)) goto bad_value;
            break;
        case kCheck:
            o->check = true;
            break;
        case kHelp:
            usage(stdout);
            return 0;
        default:
            usage(stderr);
            return 2;
        }
        continue;
    bad_value:
        fprintf(stderr, "modemsim: bad value for %s: %s\n", argv[optind - 1], optarg);
        return 2;
    }
    // a replay's model may come from its log
    if (optind < argc || (!root && !o->check) || (!o->model && !o->replay[0]) ||
        (o->check && !o->replay[0])) {
        usage(stderr);
        return 2;
    }
    if (!root) return -1;
    if (mkdir(root, 0755) != 0 && errno != EEXIST) {
        fprintf(stderr, "modemsim: %s: %s\n", root, strerror(errno));
        return 1;
    }
    char real[PATH_MAX];
    if (!realpath(root, real) || strlen(real) >= sizeof o->root - 64) {
        fprintf(stderr, "modemsim: %s: unusable root\n", root);
        return 1;
    }
    memcpy(o->root, real, strlen(real) + 1);
    return -1;
}

void make_dirs(const char *path) {
    char buf[600];
    snprintf(buf, sizeof buf, "%s", path);
    for (char *p = buf + 1; *p; p++) {
        if (*p != '/') continue;
        *p = '\0';
        mkdir(buf, 0755);
        *p = '/';
    }
    mkdir(buf, 0755);
}

void sim_file(const Sim *s, char *out, size_t size, const char *stem, const char *ext) {
    if (s->opt.id[0])
        snprintf(out, size, "%s/sim/%s-%s.%s", s->opt.root, stem, s->opt.id, ext);
    else
        snprintf(out, size, "%s/sim/%s.%s", s->opt.root, stem, ext);
}

// ---- power line ----

struct GpioFollower {
    char path[512];
    ino_t ino;
    off_t offset;
    char partial[128];
    size_t partial_len;
    int notify_fd; // changes in the file's directory wake the loop at once; -1: polling only
};

void power_set(Sim *s, bool on) {
    sim_log(s, on ? "power on" : "power off");
    if (on == s->powered) return;
    s->powered = on;
    if (!on) {
        s->enum_at = 0;
        device_remove(s);
    } else if (s->plugged && !s->present) {
        s->enum_at = boot_now_ns() + s->opt.enum_ms * 1000000;
    }
}

void gpio_line(Sim *s, const char *line) {
    int pin, on, off, blinks, rests, times;
    if (sscanf(line, "%d %d %d %d %d %d", &pin, &on, &off, &blinks, &rests, &times) != 6) return;
    if (pin != kModemPowerPin) return;
    if (on > 0 && off == 0)
        power_set(s, true);
    else if (on == 0 && off > 0)
        power_set(s, false);
}

// Only lines added after the start count; a file that is replaced or cut
// is read again from its beginning.
void gpio_init(Sim *s, GpioFollower *g) {
    RouterPath p("/dev/gpio");
    snprintf(g->path, sizeof g->path, "%s", p.c_str());
    struct stat st;
    if (stat(g->path, &st) == 0) {
        g->ino = st.st_ino;
        g->offset = st.st_size;
    }
    RouterPath dev("/dev");
    g->notify_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (g->notify_fd >= 0 &&
        inotify_add_watch(g->notify_fd, dev.c_str(),
                          IN_MODIFY | IN_CREATE | IN_MOVED_TO | IN_CLOSE_WRITE) < 0) {
        close(g->notify_fd);
        g->notify_fd = -1;
    }
    if (g->notify_fd < 0) sim_log(s, "gpio: no inotify, polling every %d ms", kGpioPollMs);
}

void gpio_drain_notify(const GpioFollower *g) {
    char buf[4096] __attribute__((aligned(__alignof__(inotify_event))));
    while (read(g->notify_fd, buf, sizeof buf) > 0) {
    }
}

void gpio_poll(Sim *s, GpioFollower *g) {
    struct stat st;
    if (stat(g->path, &st) != 0) {
        g->ino = 0;
        g->offset = 0;
        g->partial_len = 0;
        return;
    }
    if (st.st_ino != g->ino || st.st_size < g->offset) {
        g->ino = st.st_ino;
        g->offset = 0;
        g->partial_len = 0;
    }
    if (st.st_size == g->offset) return;
    int fd = open(g->path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    char buf[4096];
    ssize_t n;
    while ((n = pread(fd, buf, sizeof buf, g->offset)) > 0) {
        g->offset += n;
        for (ssize_t i = 0; i < n; i++) {
            if (buf[i] != '\n') {
                if (g->partial_len + 1 < sizeof g->partial) g->partial[g->partial_len++] = buf[i];
                continue;
            }
            g->partial[g->partial_len] = '\0';
            gpio_line(s, g->partial);
            g->partial_len = 0;
        }
    }
    close(fd);
}

// ---- control FIFO ----

uint32_t next_random(Sim *s) {
    uint32_t x = s->rng;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    s->rng = x;
    return x;
}

// Printable noise that starts with a small letter, so it never reads as a
// final result or as the answer to a pending command.
void send_garbage(Sim *s, Port *p, long lines) {
    char line[96];
    for (long i = 0; i < lines && p->open; i++) {
        size_t len = 8 + next_random(s) % 60;
        line[0] = static_cast<char>('a' + next_random(s) % 26);
        for (size_t k = 1; k < len; k++)
            line[k] = static_cast<char>(' ' + next_random(s) % 95);
        line[len] = '\0';
        port_send_line(s, p, line);
    }
}

void send_long_line(Sim *s, Port *p, long bytes) {
    char *data = static_cast<char *>(malloc(static_cast<size_t>(bytes) + 2));
    if (!data) return;
    for (long i = 0; i < bytes; i++)
        data[i] = static_cast<char>('a' + next_random(s) % 26);
    data[bytes] = '\r';
    data[bytes + 1] = '\n';
    sim_log_data(s, p, '<', data, static_cast<size_t>(bytes));
    port_send_raw(s, p, data, static_cast<size_t>(bytes) + 2);
    free(data);
}

void ctl_error(Sim *s, const char *why) {
    sim_log(s, "ctl error: %s", why);
}

void ctl_command(Sim *s, char *line) {
    size_t len = strlen(line);
    while (len > 0 && isspace(static_cast<unsigned char>(line[len - 1])))
        line[--len] = '\0';
    while (isspace(static_cast<unsigned char>(*line)))
        line++;
    if (!*line) return;
    sim_log(s, "ctl %s", line);

    char *rest = line;
    while (*rest && !isspace(static_cast<unsigned char>(*rest)))
        rest++;
    if (*rest) *rest++ = '\0';
    while (isspace(static_cast<unsigned char>(*rest)))
        rest++;
    const char *word = line;
    long v;
    Port *at = device_at_port(s);

    if (!strcmp(word, "silent")) {
        if (strcmp(rest, "on") && strcmp(rest, "off")) return ctl_error(s, "silent on|off");
        s->silent = !strcmp(rest, "on");
    } else if (!strcmp(word, "slow")) {
        if (!number_arg(rest, 0, 3600000, &v)) return ctl_error(s, "slow MS");
        s->slow_ms = v;
    } else if (!strcmp(word, "split")) {
        if (!number_arg(rest, 0, 4096, &v)) return ctl_error(s, "split N");
        s->habits.split = static_cast<size_t>(v);
    } else if (!strcmp(word, "latency")) {
        // "latency TEXT MS"; MS 0 ends it
        char *ms = rest;
        while (*ms && !isspace(static_cast<unsigned char>(*ms)))
            ms++;
        if (*ms) *ms++ = '\0';
        if (!*rest || !number_arg(ms, 0, 3600000, &v)) return ctl_error(s, "latency TEXT MS");
        if (habits_set_latency(&s->habits, rest, v) != 0) return ctl_error(s, "latency: no room");
    } else if (!strcmp(word, "interleave")) {
        // the next answer of two lines or more carries TEXT after its first line
        if (!text_arg(rest, s->habits.interleave)) return ctl_error(s, "interleave TEXT");
        s->habits.interleave_once = true;
    } else if (!strcmp(word, "unplug")) {
        device_unplug(s);
    } else if (!strcmp(word, "plug")) {
        device_plug(s, boot_now_ns());
    } else if (!strcmp(word, "power")) {
        if (strcmp(rest, "on") && strcmp(rest, "off")) return ctl_error(s, "power on|off");
        power_set(s, !strcmp(rest, "on"));
    } else if (!strcmp(word, "ttygone")) {
        if (!at) return ctl_error(s, "no AT tty");
        device_tty_gone(s);
    } else if (!strcmp(word, "garbage")) {
        if (!number_arg(rest, 1, kMaxGarbageLines, &v)) return ctl_error(s, "garbage N");
        if (!at) return ctl_error(s, "no AT tty");
        send_garbage(s, at, v);
    } else if (!strcmp(word, "longline")) {
        if (!number_arg(rest, 1, kMaxLongLine, &v)) return ctl_error(s, "longline N");
        if (!at) return ctl_error(s, "no AT tty");
        send_long_line(s, at, v);
    } else if (!strcmp(word, "urc")) {
        if (!*rest) return ctl_error(s, "urc TEXT");
        if (!at) return ctl_error(s, "no AT tty");
        port_send_line(s, at, rest);
    } else if (!strcmp(word, "set")) {
        char *value = rest;
        while (*value && !isspace(static_cast<unsigned char>(*value)))
            value++;
        if (*value) *value++ = '\0';
        while (isspace(static_cast<unsigned char>(*value)))
            value++;
        char why[128];
        if (!*rest || !*value) return ctl_error(s, "set KEY VALUE");
        if (world_set(s, rest, value, why, sizeof why) != 0) return ctl_error(s, why);
    } else {
        ctl_error(s, "unknown command");
    }
}

struct Control {
    char path[512];
    int fd;
    int keep_open; // our own writer: the FIFO never reports end of file
    char buf[16384];
    size_t len;
    bool discarding; // inside a line too long for the buffer
};

int control_open(Sim *s, Control *c) {
    sim_file(s, c->path, sizeof c->path, "modem", "ctl");
    unlink(c->path);
    if (mkfifo(c->path, 0666) != 0) {
        fprintf(stderr, "modemsim: mkfifo %s: %s\n", c->path, strerror(errno));
        return -1;
    }
    c->fd = open(c->path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    c->keep_open = open(c->path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (c->fd < 0 || c->keep_open < 0) {
        fprintf(stderr, "modemsim: %s: %s\n", c->path, strerror(errno));
        return -1;
    }
    return 0;
}

void control_read(Sim *s, Control *c) {
    for (;;) {
        ssize_t n = read(c->fd, c->buf + c->len, sizeof c->buf - 1 - c->len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        c->len += static_cast<size_t>(n);
        size_t start = 0;
        for (size_t i = 0; i < c->len; i++) {
            if (c->buf[i] != '\n') continue;
            c->buf[i] = '\0';
            if (!c->discarding) ctl_command(s, c->buf + start);
            c->discarding = false;
            start = i + 1;
        }
        memmove(c->buf, c->buf + start, c->len - start);
        c->len -= start;
        if (c->len == sizeof c->buf - 1) {
            ctl_error(s, "line too long");
            c->len = 0;
            c->discarding = true;
        }
    }
}

// ---- timers and the loop ----

void run_timers(Sim *s) {
    int64_t now = boot_now_ns();
    if (s->enum_at && s->enum_at <= now) {
        s->enum_at = 0;
        if (s->powered && s->plugged && !s->present) device_enumerate(s);
    }
    if (s->tty_late_at && s->tty_late_at <= now) device_show_late_tty(s);
    if (s->reset_at && s->reset_at <= now) {
        s->reset_at = 0;
        sim_log(s, "reset");
        device_remove(s);
        if (s->powered && s->plugged) s->enum_at = boot_now_ns() + s->opt.enum_ms * 1000000;
    }
    if (s->location_at && s->location_at <= now) modem_send_location(s);
    if (s->ready_at && s->ready_at <= now) port_become_ready(s);
    if (s->replay) replay_timers(s, now);
    for (int i = 0; i < s->port_count; i++)
        port_release_due(s, &s->ports[i], now);
}

// Real milliseconds to the next boot-clock deadline, at most the GPIO period.
int poll_timeout(const Sim *s) {
    int64_t next = 0;
    int64_t deadlines[] = {s->enum_at,     s->tty_late_at, s->reset_at,
                           s->location_at, s->ready_at,    s->replay ? replay_next_due(s) : 0};
    for (int64_t d : deadlines)
        if (d && (!next || d < next)) next = d;
    for (int i = 0; i < s->port_count; i++) {
        int64_t d = port_next_due(&s->ports[i]);
        if (d && (!next || d < next)) next = d;
    }
    if (!next) return kGpioPollMs;
    int64_t left = next - boot_now_ns();
    if (left <= 0) return 0;
    timespec boot{static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
    timespec real;
    boot_clock_to_real(&boot, &real);
    int64_t ms = (static_cast<int64_t>(real.tv_sec) * 1000000000 + real.tv_nsec + 999999) / 1000000;
    return ms < kGpioPollMs ? static_cast<int>(ms) : kGpioPollMs;
}

void write_pid_file(const Sim *s, char *path, size_t size) {
    char tmp[560], text[32];
    sim_file(s, path, size, "modemsim", "pid");
    snprintf(tmp, sizeof tmp, "%s.new", path);
    int n = snprintf(text, sizeof text, "%ld\n", static_cast<long>(getpid()));
    int fd = open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    bool ok = write(fd, text, static_cast<size_t>(n)) == n;
    close(fd);
    if (!ok || rename(tmp, path) != 0) unlink(tmp);
}

Sim sim; // large: kept out of the stack

} // namespace

int main(int argc, char **argv) {
    Sim *s = &sim;
    int rc = parse_options(argc, argv, &s->opt);
    if (rc >= 0) return rc;
    char described[1024] = "";
    if (s->opt.replay[0]) {
        char why[640] = "";
        if (replay_open(s, why, sizeof why) != 0) {
            fprintf(stderr, "modemsim: %s\n", why);
            return 1;
        }
        if (!s->opt.model) s->opt.model = replay_model(s);
        if (!s->opt.model) {
            fprintf(stderr, "modemsim: %s names no modem type: give --model\n", s->opt.replay);
            return 1;
        }
        replay_describe(s, described, sizeof described);
        if (s->opt.check) {
            fputs(described, stdout);
            return 0;
        }
    }

    // every system path below, and the boot clock, are the root's
    setenv("ROUTER_ROOT", s->opt.root, 1);
    char dir[sizeof s->opt.root + 8];
    // always fits (the root's length was checked); the result is looked at so
    // that GCC at -Os, which takes the whole record as the root's bound, does
    // not report a truncation
    if (snprintf(dir, sizeof dir, "%s/sim", s->opt.root) >= static_cast<int>(sizeof dir)) return 1;
    make_dirs(dir);
    make_dirs(RouterPath("/dev").c_str());
    make_dirs(RouterPath("/sys/bus/usb/devices").c_str());

    s->log_fd = -1;
    s->at_port = -1;
    s->rng = static_cast<uint32_t>(getpid()) * 2654435761u | 1u;
    sim_file(s, s->log_path, sizeof s->log_path, "modem", "log");
    sim_log_open(s);
    sim_log(s, "start model %s usb %s", s->opt.model->name, s->opt.usb);
    if (s->replay) {
        sim_log(s, "replay %s", s->opt.replay);
        for (char *line = strtok(described, "\n"); line; line = strtok(nullptr, "\n"))
            sim_log(s, "replay: %s", line);
    }

    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    s->habits = s->opt.habits;
    world_init(s);
    modem_reset(s);
    device_cleanup_stale(s);
    static Control ctl;
    if (control_open(s, &ctl) != 0) return 1;
    static GpioFollower gpio;
    gpio_init(s, &gpio);
    s->powered = s->opt.powered;
    s->plugged = true;
    if (s->powered) device_enumerate(s);
    char pid_path[512];
    write_pid_file(s, pid_path, sizeof pid_path);

    while (!stop_requested) {
        run_timers(s);
        pollfd fds[2 + kMaxInterfaces];
        int port_of[2 + kMaxInterfaces];
        int nfds = 0;
        fds[nfds++] = {ctl.fd, POLLIN, 0};
        fds[nfds++] = {gpio.notify_fd, POLLIN, 0}; // ignored by poll() when -1
        for (int i = 0; i < s->port_count; i++) {
            Port *p = &s->ports[i];
            if (!p->open) continue;
            port_of[nfds] = i;
            bool more = p->out_len && !port_holds_output(p);
            fds[nfds++] = {p->master, static_cast<short>(POLLIN | (more ? POLLOUT : 0)), 0};
        }
        int n = poll(fds, static_cast<nfds_t>(nfds), poll_timeout(s));
        if (n < 0 && errno != EINTR) {
            fprintf(stderr, "modemsim: poll: %s\n", strerror(errno));
            break;
        }
        if (n > 0) {
            if (fds[0].revents & POLLIN) control_read(s, &ctl);
            if (fds[1].revents & POLLIN) gpio_drain_notify(&gpio);
            for (int k = 2; k < nfds; k++) {
                Port *p = &s->ports[port_of[k]];
                // an earlier handler may have closed or replaced the port
                if (!p->open || p->master != fds[k].fd) continue;
                if (fds[k].revents & POLLOUT) port_flush(s, p);
                if (fds[k].revents & (POLLIN | POLLHUP | POLLERR)) port_read(s, p);
            }
        }
        gpio_poll(s, &gpio);
        carrier_sync(s); // power and plug changes end the data call too
    }

    device_remove(s);
    carrier_finish(s);
    sim_log(s, "stop");
    unlink(ctl.path);
    unlink(pid_path);
    return 0;
}
