#include "radio_hooks.h"

void ril_services_init(ModemContext *) {}
