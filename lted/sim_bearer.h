// The SIM card: the stored start-up PIN, the card's state poll, and what is
// done each time the card becomes ready (identity files, the access point
// name in the modem type's dialect).
#pragma once

#include <cstddef>

struct ModemContext;

// When the card asks for its PIN with exactly 3 attempts left, enters the
// stored "siminitpin" once. Run when the radio turns on.
void sim_pin_autoverify(ModemContext *context);
// Reads the card's state into sim_state, runs sim_ready_setup on the change
// to READY, and polls again after 10 s (60 s while READY). The chain ends
// while the channel is not ready, when the card is absent, or when it answers
// a state it does not know.
void getSIMStatus(ModemContext *context);
// SMS delivery, "/tmp/ICCID", "/tmp/IMSI", "/tmp/CNUM", and the configured
// access point name (manual APN mode only).
void sim_ready_setup(ModemContext *context);

// A configuration value that goes into an AT command line: true when it can
// neither end the line nor its quoted field ('"' or a control character),
// and, for a bare (unquoted) field, can neither chain another command (';')
// nor end its field (',').
bool at_value_ok(const char *value, bool bare);
// snprintf for a command line; false (and nothing to send) when the command
// does not fit, so that a cut line never reaches the modem.
bool at_format(char *buf, size_t size, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
// at_value_ok, logging a refusal once per setting name and daemon run (the
// names logged are kept in the context).
bool at_setting_usable(ModemContext *context, const char *name, const char *value,
                       bool bare = false);
