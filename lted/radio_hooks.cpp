#include "radio_hooks.h"

void ril_services_init(ModemContext *) {}

void ril_auto_reboot_init(ModemContext *) {}

void dhcp_poll_start(ModemContext *, int) {}

void ril_radio_on(ModemContext *) {}

void unsolicited_handler(const char *, const char *) {}

void RIL_Deinit(ModemContext *) {}
