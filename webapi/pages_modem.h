// The modem and status pages: they combine the modem daemon's answers, the
// files that the daemon and the DHCP clients keep, the store and the kernel.
#pragma once

#include "cgi.h"

// "home.cgi": WAN, modem, LAN, Wi-Fi, firmware, clock and memory figures.
int page_home(const PageRequest &req);
// "state.cgi": a short modem and Wi-Fi status.
int page_state(const PageRequest &req);
// "mobilenet.cgi": the modem's network mode and the access point settings.
// A POST refuses APN, user and password texts that could not stand inside a
// quoted modem command argument.
int page_mobilenet(const PageRequest &req);
// "sim.cgi": SIM card state, the stored PIN and PIN operations. PINs and PUKs
// are decimal digits only.
int page_sim(const PageRequest &req);
// "gps.cgi" (no session): the modem's clock and position.
int page_gps(const PageRequest &req);
