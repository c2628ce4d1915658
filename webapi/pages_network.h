// The network settings pages: each maps a flat JSON object to keys of the
// configuration store. GET answers the stored values; POST checks the keys in
// a fixed order, answers {"result":-1} at the first missing or mistyped one
// (or when the store refuses a write), else stores them and answers
// {"result":0}. Methods other than GET and POST answer {"result":-1}.
#pragma once

#include "cgi.h"

// "lan.cgi": LAN address, DHCP server, UPnP and DNS proxy. The DHCP keys are
// needed and stored only when "dhcpEnabled" is 1 (and are stored before the
// UPnP and DNS proxy switches are checked). Success restarts the services.
int page_lan(const PageRequest &req);
// "wan.cgi": connection mode "3G", "DHCP" or "STATIC", static addressing and
// MAC cloning. Every POST that passes its checks signals the modem daemon to
// re-read the mode (an unknown mode stores nothing) and restarts the services.
int page_wan(const PageRequest &req);
// "wifi.cgi": the access point. "WiFiOff" non-zero stores only that switch;
// "EncrypType" follows "AuthMode". Success restarts the services.
int page_wifi(const PageRequest &req);
// "user.cgi" (any method): the login account; the password is never
// answered. Success restarts the services.
int page_user(const PageRequest &req);
// "time.cgi": time zone, NTP server and period ("NTPSync" 0 is stored as the
// empty text). Success restarts the services.
int page_time(const PageRequest &req);
// "telnetd.cgi": the telnet service switch, read by the modem daemon when it
// starts the services; an empty stored switch shows as 1. No follow-up.
int page_telnetd(const PageRequest &req);
