#include "page_table.h"

#include "pages_device.h"
#include "pages_events.h"
#include "pages_firewall.h"
#include "pages_modem.h"
#include "pages_network.h"
#include "pages_upgrade.h"
#include "session.h"

#include <array>
#include <cstring>

namespace {

// name, session needed, stops services, handler[, takes an upload]
constexpr std::array<PageEntry, PAGE_COUNT> kPages = {{
    {"login.cgi", false, false, page_login},
    {"state.cgi", true, false, page_state},
    {"home.cgi", true, false, page_home},
    {"wan.cgi", true, false, page_wan},
    {"lan.cgi", true, false, page_lan},
    {"mobilenet.cgi", true, false, page_mobilenet},
    {"wifi.cgi", true, false, page_wifi},
    {"client.cgi", true, false, page_client},
    {"user.cgi", true, false, page_user},
    {"time.cgi", true, false, page_time},
    {"telnetd.cgi", true, false, page_telnetd},
    {"diag.cgi", true, false, page_diag},
    {"upgradefirmware.cgi", true, true, page_upgrade_firmware, true},
    {"upgradebootloader.cgi", true, false, page_upgrade_bootloader, true},
    {"reboot.cgi", true, false, page_reboot},
    {"ping.cgi", true, false, page_ping},
    {"checkconn.cgi", true, false, page_checkconn},
    {"dtu.cgi", true, false, page_dtu},
    {"autoreboot.cgi", true, false, page_autoreboot},
    {"macfilter.cgi", true, false, page_macfilter},
    {"portforward.cgi", true, false, page_portforward},
    {"porttrigger.cgi", true, false, page_porttrigger},
    {"dmz.cgi", true, false, page_dmz},
    {"secure.cgi", true, false, page_secure},
    {"ipportfilter.cgi", true, false, page_ipportfilter},
    {"gps.cgi", false, false, page_gps},
    {"sim.cgi", true, false, page_sim},
    {"events.cgi", true, false, page_events},
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
