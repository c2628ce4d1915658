// The firewall and forwarding pages. Rule lists are texts that the web client
// composes and the firewall script reads: they are stored and answered
// exactly as posted. GET answers the stored values (no "result"); POST checks
// its keys in order and answers {"result":-1} at the first missing or
// mistyped one (or when the store refuses a write), else {"result":0} with
// the firewall rebuilt after the answer. Methods other than GET and POST
// answer {"result":-1}.
#pragma once

#include "cgi.h"

// "portforward.cgi": port-range and single-port forwarding. The range
// forwarding is stored before the single-port rules are checked.
int page_portforward(const PageRequest &req);
// "porttrigger.cgi": port triggering.
int page_porttrigger(const PageRequest &req);
// "dmz.cgi": the exposed host.
int page_dmz(const PageRequest &req);
// "secure.cgi": remote management, WAN ping, stateful inspection, scan and
// SYN-flood protection, WAN forwarding restriction. Every key is optional
// (an absent or empty "wanForwardRestrict" shows as 1); every POST rebuilds
// the firewall.
int page_secure(const PageRequest &req);
// "ipportfilter.cgi": the address/port filter and its default policy.
int page_ipportfilter(const PageRequest &req);
// "macfilter.cgi": access control by MAC address; success restarts the
// services instead of rebuilding the firewall.
int page_macfilter(const PageRequest &req);
