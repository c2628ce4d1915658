#include "page_table.h"

#include "pages_device.h"
#include "pages_modem.h"
#include "session.h"

#include <array>
#include <cstring>

namespace {

// name, session needed, stops services, handler
constexpr std::array<PageEntry, PAGE_COUNT> kPages = {{
    {"login.cgi", false, false, page_login},
    {"state.cgi", true, false, page_state},
    {"home.cgi", true, false, page_home},
    {"wan.cgi", true, false, nullptr},
    {"lan.cgi", true, false, nullptr},
    {"mobilenet.cgi", true, false, page_mobilenet},
    {"wifi.cgi", true, false, nullptr},
    {"client.cgi", true, false, page_client},
    {"user.cgi", true, false, nullptr},
    {"time.cgi", true, false, nullptr},
    {"telnetd.cgi", true, false, nullptr},
    {"diag.cgi", true, false, page_diag},
    {"upgradefirmware.cgi", true, true, nullptr},
    {"upgradebootloader.cgi", true, false, nullptr},
    {"reboot.cgi", true, false, page_reboot},
    {"ping.cgi", true, false, page_ping},
    {"checkconn.cgi", true, false, page_checkconn},
    {"dtu.cgi", true, false, page_dtu},
    {"autoreboot.cgi", true, false, page_autoreboot},
    {"macfilter.cgi", true, false, nullptr},
    {"portforward.cgi", true, false, nullptr},
    {"porttrigger.cgi", true, false, nullptr},
    {"dmz.cgi", true, false, nullptr},
    {"secure.cgi", true, false, nullptr},
    {"ipportfilter.cgi", true, false, nullptr},
    {"gps.cgi", false, false, page_gps},
    {"sim.cgi", true, false, page_sim},
}};

} // namespace

const PageEntry *page_table() {
    return kPages.data();
}

const PageEntry *page_find(const char *name) {
    for (const PageEntry &entry : kPages)
        if (strcmp(entry.name, name) == 0) return &entry;
    return nullptr;
}
