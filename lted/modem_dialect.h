// What differs between the modem families: commands, response prefixes and
// parsers, one constant table per dialect (dialect_asr.cpp,
// dialect_mdm9x07.cpp). A modem's row in the supported-modem table
// (modem_discovery.cpp) names its dialect; code looks it up from the
// context's modem_type, so that the type found on the USB bus stays the one
// choice. docs/lted.md says how to add a modem type.
#pragma once

#include <cstddef>

struct AtLine;
struct ModemContext;

// A one-line query: the command and the prefix of its answer.
struct AtQuery {
    const char *command = nullptr;
    const char *prefix = nullptr;
};

// The address lines of GETHOMEINFO.
struct WanAddress {
    char ip[64];
    char netmask[64];
    char gateway[64];
    char dns[64];
    char dns2[64];
};

// The PIN attempts of sim_pin_autoverify and GETSIMINFO: the query, and the
// parser of its answer's fields that reads the PIN attempts and, when puk is
// not null, the PUK attempts (false when they do not parse).
struct AttemptsQuery {
    const char *command = nullptr;
    const char *prefix = nullptr;
    bool (*parse)(char *fields, int *pin, int *puk) = nullptr;
};

// How pollNetState keeps the data connection up in 3G mode.
struct DataDialect {
    // the DHCP supervisor runs from the channel's opening, not from the
    // first connection
    bool dhcp_from_open = false;
    // "AT+CGPADDR" on every poll, its answer unused, the 3G mode off too
    bool cgpaddr_every_poll = false;
    // Finds whether the connection is up (connection_up, connection_down)
    // and dials when it is not; false when a query failed (the poll's
    // failure step).
    bool (*keep_up)(ModemContext *context, int system_mode, int data_status) = nullptr;
};

// GETHOMEINFO's rsrp and rsrq (the field after two integers of the answer,
// shown through clean; null: as reported) and rscp in dBm (false when not
// known; null: never reported).
struct SignalQueries {
    AtQuery rsrp;
    AtQuery rsrq;
    void (*clean)(const char *value, char *out, size_t size) = nullptr;
    bool (*rscp)(int *dbm) = nullptr;
};

struct ModemDialect {
    // "/var/run/mdm_type": "asr" or "mdm9x07"
    const char *family = nullptr;
    // ril_at_init, after the common commands and before the radio's state is
    // asked; null: nothing more
    void (*at_init)() = nullptr;
    AttemptsQuery attempts;
    // sim_ready_setup in manual APN mode; null: the modem keeps its own APN
    void (*program_apn)(ModemContext *context) = nullptr;
    DataDialect connection;
    // GETHOMEINFO's address lines; false when the query failed (the request
    // is closed unanswered)
    bool (*home_address)(const ModemContext *context, WanAddress *out) = nullptr;
    SignalQueries signal;
};

extern const ModemDialect DIALECT_ASR;           // MODEM_ASR
extern const ModemDialect DIALECT_MDM_902D;      // MODEM_MDM_902D
extern const ModemDialect DIALECT_MDM_DATA_CALL; // MODEM_MDM_9025, MODEM_MDM_9091

// The dialect of a modem type; null for MODEM_NONE (no modem found).
const ModemDialect *modem_dialect(int modem_type);

// --- the dialects' parsers, for the tests ---

// Data calls in a "$QCRMCALL:" reply: lines holding an integer and a string.
int qcrmcall_count(const AtLine *lines);
// The 9025/9091 dial for the data status and system mode; null when the
// packet service is not registered (1 home, 5 roaming).
const char *qcrmcall_dial(int data_status, int system_mode, char *buf, size_t size);
// A "$QCRSRP:"/"$QCRSRQ:" value without leading zeros ("-095": "-95").
void qc_signal_clean(const char *value, char *out, size_t size);
// rscp in dBm from the third "+CESQ:" value; false when not known (255 and up).
bool cesq_rscp(int value, int *dbm);
