// The device service pages: attached clients, the diagnostic bridges, the
// serial data terminal, the connectivity watchdog and reboot settings, and
// the reboot itself.
#pragma once

#include "cgi.h"

// "client.cgi" (any method): "dhcp" from the DHCP server's lease file, "arp"
// from the kernel's neighbour table and "sta" from the Wi-Fi driver's station
// table of "ra0", each left out when empty or unreadable; no "result".
int page_client(const PageRequest &req);

// "diag.cgi" (any method): "start" 0 stops the diagnostic bridge of the modem
// type in "/var/run/mdm_type", non-zero restarts it with the options in
// "param". "param" goes into a shell command line run as root, so it is
// accepted only when every character is a letter, a digit, a blank or one of
// ". - _ / : , =" and the command line fits its 255 characters, and every
// device the bridge would open (tracelink's -d or --device, sercat's second
// word) is a path that begins with "/dev/tty" and holds no "..": the
// bridges relay whatever they open. Anything else answers -1 before anything
// runs.
int page_diag(const PageRequest &req);

// "dtu.cgi": the 24 settings of the serial data terminal; a POST stores all
// of them or none and restarts "uartd".
int page_dtu(const PageRequest &req);

// "ping.cgi": the connectivity watchdog's server, interval, time-out and
// count (read by the modem daemon when it starts); a POST with a number
// outside its range (ping_settings.h) answers -1 and stores nothing.
int page_ping(const PageRequest &req);

// "checkconn.cgi": the reboot-on-disconnect time in minutes, up to a week; 0
// switches it off and keeps the stored time. Any other number answers -1.
int page_checkconn(const PageRequest &req);

// "autoreboot.cgi": the scheduled reboot's mode and time; a POST makes the
// modem daemon re-read them (SIGUSR2).
int page_autoreboot(const PageRequest &req);

// "reboot.cgi" (any method): answers {"result":0}, then the router reboots.
int page_reboot(const PageRequest &req);
