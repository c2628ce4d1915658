#include "pages_network.h"

#include "page_util.h"
#include "sys_utils.h"

#include <cJSON.h>
#include <cstdlib>
#include <cstring>
#include <span>

namespace {

using F = FieldType;

bool equals(const char *a, const char *b) {
    return strcmp(a, b) == 0;
}

int refuse(const PageRequest &req) {
    return answer_result(req.answer, -1);
}

// --- lan.cgi ---

// The GET order; POST checks and stores it in the parts below.
constexpr StoreField kLan[] = {
    {"lan_ipaddr", "lan_ipaddr", F::Text},     {"lan_netmask", "lan_netmask", F::Text},
    {"HostName", "HostName", F::Text},         {"dhcpEnabled", "dhcpEnabled", F::Number},
    {"dhcpGateway", "dhcpGateway", F::Text},   {"dhcpStart", "dhcpStart", F::Text},
    {"dhcpEnd", "dhcpEnd", F::Text},           {"dhcpPriDns", "dhcpPriDns", F::Text},
    {"dhcpSecDns", "dhcpSecDns", F::Text},     {"dhcpLease", "dhcpLease", F::Number},
    {"dhcpStatic1", "dhcpStatic1", F::Text},   {"dhcpStatic2", "dhcpStatic2", F::Text},
    {"dhcpStatic3", "dhcpStatic3", F::Text},   {"upnpEnabled", "upnpEnabled", F::Number},
    {"dnsPEnabled", "dnsPEnabled", F::Number},
};
constexpr std::span<const StoreField> kLanHead = std::span(kLan).subspan(0, 4);
constexpr std::span<const StoreField> kLanDhcp = std::span(kLan).subspan(4, 9);
constexpr std::span<const StoreField> kLanTail = std::span(kLan).subspan(13, 2);

int lan_post(const PageRequest &req) {
    const cJSON *r = req.request;
    int dhcp;
    if (!request_has_fields(r, kLanHead)) return refuse(req);
    request_number(r, "dhcpEnabled", &dhcp);
    int rc = 0;
    if (dhcp == 1) {
        if (!request_has_fields(r, kLanDhcp)) return refuse(req);
        // the DHCP server's mask is the LAN's, stored after the lease time
        rc = store_fields(r, kLanDhcp.first(6));
        if (rc == 0) rc = store_set("dhcpMask", request_string(r, "lan_netmask"));
        if (rc == 0) rc = store_fields(r, kLanDhcp.subspan(6));
    }
    if (rc != 0) return refuse(req);
    if (!request_has_fields(r, kLanTail)) return refuse(req);
    rc = store_fields(r, kLanHead);
    if (rc == 0) rc = store_fields(r, kLanTail);
    return answer_change(req, rc, FollowUpAction::Restart);
}

// --- wan.cgi ---

constexpr StoreField kWanStaticView[] = {
    {"staticIp", "wan_ipaddr", F::Text},
    {"staticNetmask", "wan_netmask", F::Text},
    {"staticGateway", "wan_gateway", F::Text},
    {"staticPriDns", "wan_primary_dns", F::Text},
    {"staticSecDns", "wan_secondary_dns", F::Text},
};
constexpr StoreField kWanStaticPost[] = {
    {"ipaddr", "wan_ipaddr", F::Text},      {"netmask", "wan_netmask", F::Text},
    {"gateway", "wan_gateway", F::Text},    {"dns", "wan_primary_dns", F::Text},
    {"dns2", "wan_secondary_dns", F::Text},
};
constexpr char kWanReload[] = "killall -SIGUSR1 lted";

int wan_get(const PageRequest &req) {
    answer_string(req.answer, "netmode", store_get("wanConnectionMode"));
    if (equals(store_get("wanConnectionMode"), "STATIC")) answer_fields(req.answer, kWanStaticView);
    answer_number(req.answer, "macCloneEnabled", store_get_int("macCloneEnabled") != 0 ? 1 : 0);
    answer_string(req.answer, "macCloneMac", store_get("macCloneMac"));
    answer_string(req.answer, "wanmacaddr", store_get("WAN_MAC_ADDR"));
    return answer_result(req.answer, 0);
}

// The wired modes: MAC cloning, and for "STATIC" the addresses.
int wan_store_wired(const cJSON *r, const char *mode, int clone, const char *clone_mac) {
    int rc = 0;
    if (equals(mode, "STATIC")) rc = store_fields(r, kWanStaticPost);
    if (rc == 0) rc = store_set("macCloneEnabled", clone ? "1" : "0");
    if (rc == 0 && clone) rc = store_set("macCloneMac", clone_mac);
    if (rc == 0) rc = store_set("wanConnectionMode", mode);
    return rc;
}

int wan_post(const PageRequest &req) {
    const cJSON *r = req.request;
    const char *mode = request_string(r, "netmode");
    if (!mode) return refuse(req);
    int rc = 0;
    if (equals(mode, "3G")) {
        rc = store_set("wanConnectionMode", "3G");
    } else if (equals(mode, "DHCP") || equals(mode, "STATIC")) {
        int clone;
        if (!request_number(r, "macclone", &clone)) return refuse(req);
        const char *clone_mac = request_string(r, "macaddr");
        if (clone && !clone_mac) return refuse(req);
        if (equals(mode, "STATIC") && !request_has_fields(r, kWanStaticPost)) return refuse(req);
        rc = wan_store_wired(r, mode, clone, clone_mac);
    }
    // any other mode stores nothing but is still signalled and restarted
    if (rc != 0) return refuse(req);
    do_system_call(kWanReload); // the daemon re-reads the mode
    return answer_change(req, 0, FollowUpAction::Restart);
}

// --- wifi.cgi ---

constexpr StoreField kWifi[] = {
    {"WiFiOff", "WiFiOff", F::Number},   {"SSID1", "SSID1", F::Text},
    {"HideSSID", "HideSSID", F::Number}, {"HT_BW", "HT_BW", F::Number},
    {"Channel", "Channel", F::Number},   {"AuthMode", "AuthMode", F::Text},
    {"WPAPSK1", "WPAPSK1", F::Text},     {"WscModeOption", "WscModeOption", F::Number},
    {"TxPower", "TxPower", F::Number},
};
constexpr std::span<const StoreField> kWifiRadio = std::span(kWifi).subspan(1, 5);
constexpr std::span<const StoreField> kWifiKey = std::span(kWifi).subspan(6, 1);
constexpr std::span<const StoreField> kWifiTail = std::span(kWifi).subspan(7, 2);

int wifi_post(const PageRequest &req) {
    const cJSON *r = req.request;
    int off;
    if (!request_number(r, "WiFiOff", &off)) return refuse(req);
    if (off != 0) return answer_change(req, store_set_int("WiFiOff", off), FollowUpAction::Restart);

    if (!request_has_fields(r, kWifiRadio)) return refuse(req);
    const char *auth = request_string(r, "AuthMode");
    bool wpa2 = equals(auth, "WPA2PSK");
    if (wpa2 && !request_has_fields(r, kWifiKey)) return refuse(req);
    if (!request_has_fields(r, kWifiTail)) return refuse(req);

    int rc = store_set("WiFiOff", "0");
    if (rc == 0) rc = store_fields(r, kWifiRadio);
    if (rc == 0 && wpa2) {
        rc = store_fields(r, kWifiKey);
        if (rc == 0) rc = store_set("EncrypType", "AES");
    } else if (rc == 0 && equals(auth, "OPEN")) {
        rc = store_set("EncrypType", "NONE"); // the stored key stays for later
    }
    if (rc == 0) rc = store_fields(r, kWifiTail);
    return answer_change(req, rc, FollowUpAction::Restart);
}

// --- user.cgi ---

constexpr StoreField kUser[] = {
    {"username", "Login", F::Text},
    {"userpassword", "Password", F::Text},
};

// --- time.cgi ---

constexpr StoreField kTime[] = {
    {"TZ", "TZ", F::Text},
    {"NTPServerIP", "NTPServerIP", F::Text},
    {"NTPSync", "NTPSync", F::Number},
};

int time_post(const PageRequest &req) {
    const cJSON *r = req.request;
    if (!request_has_fields(r, kTime)) return refuse(req);
    int sync;
    request_number(r, "NTPSync", &sync);
    int rc = store_fields(r, std::span(kTime).first(2));
    // 0 (no periodic synchronisation) is kept as the empty text
    if (rc == 0)
        rc = sync != 0 ? store_set_uint("NTPSync", static_cast<unsigned>(sync))
                       : store_set("NTPSync", "");
    return answer_change(req, rc, FollowUpAction::Restart);
}

// --- telnetd.cgi ---

int telnetd_get(const PageRequest &req) {
    const char *enabled = store_get("telnetdEnabled");
    answer_number(req.answer, "telnetd", enabled[0] ? atoi(enabled) : 1);
    return cgi_send_json(req.answer);
}

int telnetd_post(const PageRequest &req) {
    int enabled;
    if (!request_number(req.request, "telnetd", &enabled)) return refuse(req);
    // read by the modem daemon when it starts the services: no follow-up
    return answer_change(req, store_set_uint("telnetdEnabled", static_cast<unsigned>(enabled)),
                         FollowUpAction::None);
}

} // namespace

int page_lan(const PageRequest &req) {
    return page_by_method(req, flat_get<kLan>, lan_post);
}

int page_wan(const PageRequest &req) {
    return page_by_method(req, wan_get, wan_post);
}

int page_wifi(const PageRequest &req) {
    return page_by_method(req, flat_get<kWifi>, wifi_post);
}

int page_user(const PageRequest &req) {
    return request_texts_printable(req.request) ? post_fields(req, kUser, FollowUpAction::Restart)
                                                : answer_result(req.answer, -1);
}

int page_time(const PageRequest &req) {
    return page_by_method(req, flat_get<kTime>, time_post);
}

int page_telnetd(const PageRequest &req) {
    return page_by_method(req, telnetd_get, telnetd_post);
}
