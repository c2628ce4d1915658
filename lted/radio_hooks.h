// The points where the daemon's SIM, network and watchdog work joins the
// start-up and channel code. Each is empty until its module arrives.
#pragma once

struct ModemContext;

// RIL_Init: the reboot timer for a data connection that never comes up is
// armed here.
void ril_services_init(ModemContext *context);
// RIL_Init and SIGUSR2: (re)plans the scheduled reboot.
void ril_auto_reboot_init(ModemContext *context);
// The DHCP supervisor of the modem's network interface; first run at once
// when now is 1, else after 5 s.
void dhcp_poll_start(ModemContext *context, int now);
// The radio turned on: the stored PIN, the SIM poll and the network poll start here.
void ril_radio_on(ModemContext *context);
// Lines the modem sends on its own (registration changes, location reports, SMS).
void unsolicited_handler(const char *line, const char *pdu);
// At exit: stops the DHCP client.
void RIL_Deinit(ModemContext *context);
