// The point where the web interface's command server joins the daemon's
// start. Empty until its module arrives.
#pragma once

struct ModemContext;

// RIL_Init: the web interface's command socket opens here.
void ril_services_init(ModemContext *context);
