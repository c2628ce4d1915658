// The command socket "/var/run/RIL_CMD" on which the web back end asks the
// daemon for modem state and hands it AT commands. One request is one frame
// of 1 to 20 items (4-byte host-order length, then the text and its NUL,
// counted in the length), item 0 the command word; the answer is one frame of
// "SUCCESS:\n" and one "\n"-ended line per value. Any failure closes the
// connection without an answer. Everything runs on the loop thread.
#pragma once

#include "event_loop.h"

#include <cstddef>

struct ModemContext;

constexpr int CMD_ITEMS_MAX = 20;
constexpr size_t CMD_REQUEST_MAX = 4095;
constexpr int CMD_READ_LIMIT_MS = 500;
// The answer must be taken within the time the web back end waits for it;
// a peer that does not read loses its connection instead of stalling the loop.
constexpr int CMD_WRITE_LIMIT_MS = 4000;

// GETSIMINFO's first two lines ("card_state" and "pin_state" of "sim.cgi"),
// 0 up in the order given. The browser's SIM screen reads them with constants
// of the same names (www/js/pages/cellular.js).
enum CardState {
    CARD_STATE_ABSENT,
    CARD_STATE_PRESENT,
    CARD_STATE_ERROR, // the card or the modem did not answer as expected
};
enum PinState {
    PIN_STATE_UNKNOWN,      // no card, or an error
    PIN_STATE_PIN_REQUIRED, // the card waits for its PIN
    PIN_STATE_LOCK_ON,      // the PIN lock is on and the card unlocked
    PIN_STATE_LOCK_OFF,
    PIN_STATE_PUK_REQUIRED, // the PIN is blocked: the card waits for its PUK
};

// RIL_Init's step: creates, binds and listens on the socket (backlog 5) and
// watches it on the context's loop. When a step fails the daemon runs without
// a command server.
void cmd_server_init(ModemContext *context);

// Loop callbacks: accepts a connection (non-blocking) and watches it; serves
// one request of a connection (the connection stays open for the next one).
void cmd_accept_callback(EventLoop *loop, int fd, int events, void *userdata);
void ril_cmd_data_callback(EventLoop *loop, int fd, int events, void *userdata);

// --- the pieces of the answers, for the tests ---

// Splits a payload into its items, which must fill it exactly and each end
// in a NUL: the number of items (1 to 20), or -1.
int cmd_split_items(char *payload, size_t length, char *items[CMD_ITEMS_MAX]);
// Signal bars of a "+CSQ:" rssi; 99 (not known) shows none.
int signal_bars(int rssi);
// SIM state text of the GETHOMEINFO (home) or GETSTATINFO answer.
const char *sim_state_text(int state, bool home);
// Name of a system mode (0 and unknown values: "").
const char *network_type_text(int mode);
