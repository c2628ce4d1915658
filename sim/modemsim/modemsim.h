// The modem simulator: one simulated USB modem under a router root, its
// sysfs entry, one pty per serial interface, and the AT command model.
#pragma once

#include <cstddef>
#include <cstdint>

enum class ModelId { Asr, Mdm902d, Mdm9025, Mdm9091 };

// What a serial interface does with what it is sent.
enum class PortRole {
    At,     // the command port: answers, gets the unsolicited lines and the faults
    Second, // answers AT commands too, with the same modem behind it
    Diag,   // returns every frame that ends in 0x7E as it came
    Quiet,  // takes everything, sends nothing
};

struct InterfaceDef {
    int number;
    bool tty;
    PortRole role;
    bool net; // carries the modem's network interface
};

constexpr int kMaxInterfaces = 6;

struct ModelDef {
    const char *name; // as given to --model
    ModelId id;
    const char *vendor;  // idVendor
    const char *product; // idProduct
    const char *ifname;  // the modem's network interface
    const char *product_name;
    const char *revision; // +CGMR
    const char *rsrp;     // default signal texts in the model's own notation
    const char *rsrq;
    bool autoconnect; // brings its data context up by itself once attached
    int iface_count;
    InterfaceDef ifaces[kMaxInterfaces];
};

const ModelDef *model_find(const char *name);
bool model_is_asr(const ModelDef *m);

enum class SimCard { Ready, Pin, Puk, Absent, Blocked, PhNet };

// How this modem spells its answers: real modems differ in blanks, padding,
// quoting and extra fields. Each flag is one habit; all false is the plain form.
struct Spelling {
    bool comma_space;    // "+CREG: 2, 1"
    bool no_colon_space; // "+CREG:2,1"
    bool zero_pad;       // "+CREG: 02,01": one-digit numbers get a leading zero
    bool bare_location;  // location fields (lac, ci, +CLOCATION) unquoted
    bool extra_fields;   // registration answers carry RAC / access technology fields
    bool empty_fields;   // registration answers end in empty fields
    bool quoted_cpin;    // +CPIN: "READY"
    bool cnum_bare;      // +CNUM: alpha tag unquoted (empty: nothing before the comma)
    bool cnum_lines;     // +CNUM: a second line (a fax number)
    bool qcrmcall_tight; // "$QCRMCALL: 1,V4"
};

constexpr int kMaxContexts = 16;

struct PdpContext {
    bool defined;
    bool active;
    char type[8];
    char apn[64];
    int auth; // authentication as last programmed
    char user[64];
    char pass[64];
};

// A remembered setting of a command that only stores its value.
struct StoredSetting {
    const char *name;
    const char *initial;
    char value[48];
};
constexpr int kStoredSettings = 12;

// The SIM card and the network around the modem: they survive a power cycle
// and change only through the control FIFO (and PIN operations on the card).
struct World {
    bool card_present;
    bool lock; // PIN check enabled
    char pin[9];
    char puk[9];
    int pin_tries;
    int puk_tries;
    int creg; // what the network grants once the modem can register
    int cgreg;
    int csq;
    int ber;
    int sysmode;
    char lac[8];
    char ci[12];
    char oper_long[32];
    char oper_short[16];
    char plmn[8];
    bool creg2_error;
    bool dial_error;
    bool autoconnect;
    char addr[16];
    char iccid[24];
    char imsi[20];
    char cnum[24];
    char imei[20];
    char version[64];
    char rsrp[16];
    char rsrq[16];
    int rscp;
    char lat[24];
    char lon[24];
    char cnum_alpha[24];
    bool phnet_lock; // the modem is locked to another network: "PH-NET PIN"
    Spelling spell;
};

// The modem's own state: back to its start values at every power-on.
struct ModemState {
    SimCard sim;
    int cfun;
    int cmee;
    int creg_n;
    int cgreg_n;
    int cereg_n;
    int cops_format;
    int modeconfig;
    int pmods;
    bool call_active;                 // the 9x07 data call
    PdpContext ctx[kMaxContexts + 1]; // index = context id
    StoredSetting settings[kStoredSettings];
    int sreg[16]; // S-registers
};

// Registration as the modem reports it, for change detection.
struct RegSnapshot {
    int creg;
    int cgreg;
    int sysmode;
};

struct Delayed; // an answer waiting for its time

struct Port {
    bool open;
    int master;
    int slave; // kept open so the master never sees a hang-up of its own
    int iface; // interface number
    PortRole role;
    char name[16]; // "ttyUSB3"
    bool echo;
    bool verbose;
    char in[2048];
    size_t in_len;
    bool in_overflow;
    unsigned char *out; // bytes not yet taken by the pty
    size_t out_len;
    size_t out_cap;
    int64_t hold_until; // split answers: no more bytes before this boot-clock time (ns)
    Delayed *delayed;
};

// An answer that leaves later than others: to every command line that
// contains text (case ignored).
struct CommandLatency {
    char text[24];
    long ms;
};
constexpr int kMaxLatencies = 8;

// How the modem's ports behave beyond its AT model: what real modems do on
// the wire.
struct WireHabits {
    long deaf_ms;         // after the AT tty appears, input is ignored this long
    bool boot_noise;      // then "RDY" and the card's "+CPIN:" line
    size_t split;         // answers leave in pieces of at most this many bytes; 0: whole
    char interleave[96];  // an unsolicited line after the first line of answers with more
    bool interleave_once; // ... of the next such answer only
    CommandLatency latency[kMaxLatencies];
};

struct Options {
    char root[400];
    const ModelDef *model;
    char usb[32];
    int tty_base;
    long enum_ms;
    long tty_late_ms;
    bool powered;
    SimCard sim;
    char pin[9];
    int pin_tries;
    int cfun;
    char imei[20];
    bool echo;
    char id[32];
    char addr[16];       // context 1's address when active
    char data_hook[512]; // shell command run with "up ADDR" / "down" as the data call changes
    WireHabits habits;   // at start; the control FIFO changes them
    char replay[512];    // the daemon's log whose modem this one plays; "" none
    bool check;          // only say what the log holds
};

struct Replay; // the modem of a log

struct Sim {
    Options opt;
    World world;
    ModemState m;
    bool powered;
    bool plugged;
    bool present; // on the bus
    bool silent;
    long slow_ms;
    WireHabits habits;
    int64_t ready_at; // the AT ports are deaf until this boot-clock time (ns), 0: not
    int port_count;
    Port ports[kMaxInterfaces];
    int at_port; // index into ports, -1 when the model has none
    // boot-clock deadlines in ns, 0 = not armed
    int64_t enum_at;
    int64_t tty_late_at;
    int64_t reset_at;
    int64_t location_at;
    uint32_t rng;
    char log_path[512];
    int log_fd;
    bool carrier_up; // what the data hook was last told
    char carrier_addr[16];
    int hook_pid; // a hook still running, 0 none
    char hook_args[64];
    unsigned enumerations; // appearances of the device on the bus
    Replay *replay;        // null unless --replay
};

// sim_log.cpp
int64_t boot_now_ns();
void sim_log_open(Sim *s);
void sim_log(Sim *s, const char *format, ...) __attribute__((format(printf, 2, 3)));
// "ttyUSB2 > AT" / "ttyUSB2 < OK" with unprintable bytes escaped and long data shortened
void sim_log_data(Sim *s, const Port *p, char direction, const char *data, size_t len);
// data as the log shows it: bytes outside printable ASCII, and the backslash,
// as \xNN; cut to what fits into out (size > 0). The length written.
size_t sim_escape(char *out, size_t size, const char *data, size_t len);

// usb_device.cpp
void device_enumerate(Sim *s);
void device_remove(Sim *s);
// Pulled from the bus: gone now, and not found again until plugged.
void device_unplug(Sim *s);
// Put back: found again enum_ms after now when powered.
void device_plug(Sim *s, int64_t now);
void device_show_late_tty(Sim *s);
void device_tty_gone(Sim *s);
void device_cleanup_stale(Sim *s);
Port *device_at_port(Sim *s);

// port_io.cpp
void port_send_raw(Sim *s, Port *p, const char *data, size_t len);
void port_send_line(Sim *s, Port *p, const char *text); // "\r\nTEXT\r\n", logged
void port_flush(Sim *s, Port *p);
void port_read(Sim *s, Port *p);
void port_release_due(Sim *s, Port *p, int64_t now);
int64_t port_next_due(const Port *p);
// A split answer waits before its next piece.
bool port_holds_output(const Port *p);
void port_close(Sim *s, Port *p);
void port_queue_answer(Sim *s, Port *p, const char *wire, size_t wire_len, const char *log_text,
                       size_t log_len, int64_t due);
// The AT tty is there: deaf for habits.deaf_ms, then the boot noise.
void port_start_deaf(Sim *s);
// At ready_at: the ports listen again and the boot noise goes out.
void port_become_ready(Sim *s);
// Answers to command lines containing text leave ms later (0: no longer).
// 0, or -1 when the table is full or the text too long.
int habits_set_latency(WireHabits *h, const char *text, long ms);

// at_model.cpp
void world_init(Sim *s);
void modem_reset(Sim *s);
// one command line from a port; overflow: it was longer than the line buffer
void at_handle_line(Sim *s, Port *p, char *line, bool overflow);
RegSnapshot reg_snapshot(const Sim *s);
void reg_notify(Sim *s, RegSnapshot before);
void modem_send_location(Sim *s);
// "set KEY VALUE": 0, or -1 with the reason in why
int world_set(Sim *s, const char *key, const char *value, char *why, size_t why_size);
// An answer or unsolicited line as this modem spells it, in place (size: room of line).
void spell_line(const Spelling *sp, char *line, size_t size);

// replay.cpp
// Loads the log named by opt.replay (its ".1" generation first): 0, or -1
// with the reason in why.
int replay_open(Sim *s, char *why, size_t why_size);
// The model of the modem that the log names, or null.
const ModelDef *replay_model(const Sim *s);
// What the log holds, one "key value" line each (for --check and the log).
void replay_describe(const Sim *s, char *out, size_t size);
// A command line on the AT tty: answered as in the log.
void replay_command(Sim *s, Port *p, const char *line);
// Lines and losses of the log that are due, and the modem's return.
void replay_timers(Sim *s, int64_t now);
int64_t replay_next_due(const Sim *s); // boot-clock ns, 0 none
// The data call as the log tells it, for the data hook.
bool replay_call_up(const Sim *s);

// carrier.cpp
// Runs the data hook when the data call came up, went down or changed its address.
void carrier_sync(Sim *s);
// Notes the end of a hook still running; block: waits for it.
void carrier_wait(Sim *s, bool block);
// The carrier as the modem now is, once every hook has ended.
void carrier_finish(Sim *s);
