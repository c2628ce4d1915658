// What the router did and why it last restarted, as the modem daemon records
// it; and the reason of a reboot that a page starts, kept across the reboot.
#pragma once

#include "cgi.h"

// "events.cgi" (any method, answered as GET): "lastRestart" and
// "lastRestartTime" from "/tmp/lted.restart" (both "" until the daemon has
// started in this boot; the time "" when none was kept), then "events", the
// daemon's history newest first, each {"time","uptime","text"}. Lines of the
// history that are damaged are left out; an unreadable history is [].
int page_events(const PageRequest &req);

// Sets the store key of the restart reason to the time now and the reason,
// for a page that reboots the router afterwards; the request entry commits
// it with the rest of the page's changes. 0 or -1.
int restart_reason_store(const char *reason);
