// The SIM card: the stored start-up PIN, the card's state poll, and what is
// done each time the card becomes ready (identity files, the access point
// name in the modem's dialect).
#pragma once

struct ModemContext;

// When the card asks for its PIN with exactly 3 attempts left, enters the
// stored "siminitpin" once. Run when the radio turns on.
void sim_pin_autoverify(ModemContext *context);
// Reads the card's state into sim_state, runs sim_ready_setup on the change
// to READY, and polls again after 10 s (60 s while READY). The chain ends
// while the modem is not ready, when the card is absent, or when it answers
// a state it does not know.
void getSIMStatus(ModemContext *context);
// SMS delivery, "/tmp/ICCID", "/tmp/IMSI", "/tmp/CNUM", and the configured
// access point name (manual APN mode only).
void sim_ready_setup(ModemContext *context);

// The sim_state that a "+CPIN:" answer names ("READY", "SIM PIN", "SIM PUK",
// "PH-NET PIN"); -1 for any other.
int sim_state_of_cpin(const char *text);
// The attempts left for the PIN and, when puk is not null, for the PUK, as
// the modem's dialect reports them; false when not known (no modem, a failed
// query, an answer that does not parse).
bool sim_attempts_left(const ModemContext *context, int *pin, int *puk);
