#include "sim_bearer.h"

// Stand-in until the SIM poll lands: the command server's "SETSIM" calls it.
void getSIMStatus(ModemContext *) {}
