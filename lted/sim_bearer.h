// SIM and bearer set-up: the SIM poll that follows the card's state.
#pragma once

struct ModemContext;

// One run of the SIM poll, which goes on rescheduling itself.
void getSIMStatus(ModemContext *context);
