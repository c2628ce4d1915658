#include "pages_firewall.h"

#include "page_util.h"

#include <cJSON.h>
#include <span>

namespace {

using F = FieldType;

int refuse(const PageRequest &req) {
    return answer_result(req.answer, -1);
}

// --- portforward.cgi ---

constexpr StoreField kPortForward[] = {
    {"portForwardMode", "PortForwardEnable", F::Number},
    {"singlePortForwardMode", "SinglePortForwardEnable", F::Number},
    {"portForwardRules", "PortForwardRules", F::Text},
    {"singlePortForwardRules", "SinglePortForwardRules", F::Text},
};

int portforward_post(const PageRequest &req) {
    const cJSON *r = req.request;
    std::span<const StoreField> all = kPortForward;
    if (!request_has_fields(r, all.first(3))) return refuse(req);
    int rc = store_fields(r, all.subspan(0, 1));
    if (rc == 0) rc = store_fields(r, all.subspan(2, 1));
    if (rc != 0) return refuse(req);
    // the range forwarding stays stored when this check fails
    if (!request_has_fields(r, all.subspan(3, 1))) return refuse(req);
    rc = store_fields(r, all.subspan(1, 1));
    if (rc == 0) rc = store_fields(r, all.subspan(3, 1));
    return answer_change(req, rc, FollowUpAction::FirewallReload);
}

// --- porttrigger.cgi, dmz.cgi, ipportfilter.cgi, macfilter.cgi ---

constexpr StoreField kPortTrigger[] = {
    {"portTriggerMode", "PortTriggerEnable", F::Number},
    {"portTriggerRules", "PortTriggerRules", F::Text},
};

constexpr StoreField kDmz[] = {
    {"dmzEnable", "DMZEnable", F::Number},
    {"dmzAddress", "DMZAddress", F::Text},
    {"dmzTcpPort80", "DMZAvoidTCPPort80", F::Number},
};

constexpr StoreField kIpPortFilter[] = {
    {"ipPortFilterMode", "IPPortFilterEnable", F::Number},
    {"defaultPolicy", "DefaultFirewallPolicy", F::Number},
    {"ipPortFilterRules", "IPPortFilterRules", F::Text},
};

constexpr StoreField kMacFilter[] = {
    {"accessPolicy", "AccessPolicy0", F::Number},
    {"accessControlList", "AccessControlList0", F::Text},
};

// --- secure.cgi ---

constexpr StoreField kSecure[] = {
    {"RemoteManagement", "RemoteManagement", F::Number},
    {"WANPingFilter", "WANPingFilter", F::Number},
    {"SPIFWEnabled", "SPIFWEnabled", F::Number},
    {"BlockPortScan", "BlockPortScan", F::Number},
    {"BlockSynFlood", "BlockSynFlood", F::Number},
    {"wanForwardRestrict", "wanForwardRestrict", F::Number},
};

int secure_get(const PageRequest &req) {
    std::span<const StoreField> all = kSecure;
    answer_fields(req.answer, all.first(5));
    // restricted unless switched off
    const char *restrict_forward = store_get("wanForwardRestrict");
    if (restrict_forward[0])
        answer_number_text(req.answer, "wanForwardRestrict", restrict_forward);
    else
        answer_number(req.answer, "wanForwardRestrict", 1);
    return cgi_send_json(req.answer);
}

int secure_post(const PageRequest &req) {
    int rc = 0;
    for (const StoreField &f : kSecure) {
        int value;
        if (rc == 0 && request_number(req.request, f.json_key, &value))
            rc = store_set_int(f.store_key, value);
    }
    return answer_change(req, rc, FollowUpAction::FirewallReload);
}

} // namespace

int page_portforward(const PageRequest &req) {
    return page_by_method(req, flat_get<kPortForward>, portforward_post);
}

int page_porttrigger(const PageRequest &req) {
    return page_by_method(req, flat_get<kPortTrigger>,
                          flat_post<kPortTrigger, FollowUpAction::FirewallReload>);
}

int page_dmz(const PageRequest &req) {
    return page_by_method(req, flat_get<kDmz>, flat_post<kDmz, FollowUpAction::FirewallReload>);
}

int page_secure(const PageRequest &req) {
    return page_by_method(req, secure_get, secure_post);
}

int page_ipportfilter(const PageRequest &req) {
    return page_by_method(req, flat_get<kIpPortFilter>,
                          flat_post<kIpPortFilter, FollowUpAction::FirewallReload>);
}

int page_macfilter(const PageRequest &req) {
    return page_by_method(req, flat_get<kMacFilter>,
                          flat_post<kMacFilter, FollowUpAction::Restart>);
}
