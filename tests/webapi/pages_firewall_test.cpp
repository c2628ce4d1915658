// The firewall and forwarding pages served in-process: GET answers, rule
// texts kept as posted, follow-up actions and refusals that store nothing.
#include "page_checks.h"

namespace {

using ts::Section;
using F = FollowUpAction;

class FirewallPages : public ts::PageChecks {};

TEST_F(FirewallPages, GetAnswers) {
    struct Case {
        Section presets;
        const char *page;
        const char *json;
    };
    const Case cases[] = {
        {{{"PortForwardEnable", "1"}, {"SinglePortForwardRules", "r2"}},
         "portforward.cgi",
         R"({"portForwardMode":1,"singlePortForwardMode":0,"portForwardRules":"",)"
         R"("singlePortForwardRules":"r2"})"},
        {{{"PortTriggerRules", "t"}},
         "porttrigger.cgi",
         R"({"portTriggerMode":0,"portTriggerRules":"t"})"},
        {{{"DMZAvoidTCPPort80", "1"}},
         "dmz.cgi",
         R"({"dmzEnable":0,"dmzAddress":"","dmzTcpPort80":1})"},
        // forwarding from the WAN stays restricted until switched off
        {{{"wanForwardRestrict", ""}, {"BlockSynFlood", "x"}},
         "secure.cgi",
         R"({"RemoteManagement":0,"WANPingFilter":0,"SPIFWEnabled":1,"BlockPortScan":0,)"
         R"("BlockSynFlood":0,"wanForwardRestrict":1})"},
        {{{"wanForwardRestrict", "0"}},
         "secure.cgi",
         R"({"RemoteManagement":0,"WANPingFilter":0,"SPIFWEnabled":1,"BlockPortScan":0,)"
         R"("BlockSynFlood":0,"wanForwardRestrict":0})"},
        {{{"DefaultFirewallPolicy", "1"}},
         "ipportfilter.cgi",
         R"({"ipPortFilterMode":0,"defaultPolicy":1,"ipPortFilterRules":""})"},
        {{}, "macfilter.cgi", R"({"accessPolicy":0,"accessControlList":""})"},
    };
    for (const Case &c : cases) {
        for (const auto &[name, value] : c.presets)
            web.store_set(name, value);
        ts::CgiAnswer a = call({.page = c.page});
        EXPECT_EQ(a.json, c.json) << c.page;
        EXPECT_TRUE(a.well_formed()) << c.page;
    }

    // a rule text is stored and comes back exactly as it was posted, whatever
    // printable text it holds
    const std::string rules = "a,b;c|d$(reboot)`x`'q' \"z\" \\ \xc3\xa9";
    cJSON *post = cJSON_CreateObject();
    cJSON_AddNumberToObject(post, "ipPortFilterMode", 1);
    cJSON_AddNumberToObject(post, "defaultPolicy", 0);
    cJSON_AddStringToObject(post, "ipPortFilterRules", rules.c_str());
    char *body = cJSON_PrintUnformatted(post);
    ASSERT_EQ(call({.page = "ipportfilter.cgi", .method = "POST", .body = body}).json,
              R"({"result":0})");
    free(body);
    cJSON_Delete(post);
    EXPECT_EQ(web.store_get("IPPortFilterRules"), rules);
    cJSON *answer = cJSON_Parse(call({.page = "ipportfilter.cgi"}).json.c_str());
    const char *answered =
        cJSON_GetStringValue(cJSON_GetObjectItemCaseSensitive(answer, "ipPortFilterRules"));
    EXPECT_EQ(answered ? answered : "(none)", rules);
    cJSON_Delete(answer);
}

TEST_F(FirewallPages, PostsStoreTheirForms) {
    check_posts({
        {.page = "portforward.cgi",
         .body = R"({"portForwardMode":1,"singlePortForwardMode":2,"portForwardRules":"r1",)"
                 R"("singlePortForwardRules":"r2"})",
         .stored = {{"PortForwardEnable", "1"},
                    {"SinglePortForwardEnable", "2"},
                    {"PortForwardRules", "r1"},
                    {"SinglePortForwardRules", "r2"}},
         .follow_up = F::FirewallReload},
        {.page = "porttrigger.cgi",
         .body = R"({"portTriggerMode":1,"portTriggerRules":"t1"})",
         .stored = {{"PortTriggerEnable", "1"}, {"PortTriggerRules", "t1"}},
         .follow_up = F::FirewallReload},
        {.page = "dmz.cgi",
         .body = R"({"dmzEnable":1,"dmzAddress":"192.168.1.9","dmzTcpPort80":1})",
         .stored = {{"DMZEnable", "1"}, {"DMZAddress", "192.168.1.9"}, {"DMZAvoidTCPPort80", "1"}},
         .follow_up = F::FirewallReload},
        {.page = "ipportfilter.cgi",
         .body = R"({"ipPortFilterMode":1,"defaultPolicy":-1,"ipPortFilterRules":"f1"})",
         .stored = {{"IPPortFilterEnable", "1"},
                    {"DefaultFirewallPolicy", "-1"},
                    {"IPPortFilterRules", "f1"}},
         .follow_up = F::FirewallReload},
        // access control is applied by the services, not by the firewall script
        {.page = "macfilter.cgi",
         .body = R"({"accessPolicy":2,"accessControlList":"02:00:00:00:00:01;"})",
         .stored = {{"AccessPolicy0", "2"}, {"AccessControlList0", "02:00:00:00:00:01;"}},
         .follow_up = F::Restart},
        // every key optional: what is a number is stored, the firewall is always rebuilt
        {.page = "secure.cgi",
         .body = R"({"WANPingFilter":1,"BlockPortScan":"1","wanForwardRestrict":0})",
         .stored = {{"WANPingFilter", "1"}, {"wanForwardRestrict", "0"}},
         .follow_up = F::FirewallReload},
        {.page = "secure.cgi", .body = "{}", .follow_up = F::FirewallReload},
        {.page = "secure.cgi", .body = "", .follow_up = F::FirewallReload},
        {.page = "secure.cgi",
         .body = R"({"WANPingFilter":0})",
         .follow_up = F::None,
         .method = "PUT",
         .result = -1},
        // a rule list the store cannot hold is refused, not reported as stored
        {.page = "porttrigger.cgi",
         .body = R"({"portTriggerMode":1,"portTriggerRules":")" + std::string(17000, 'r') + "\"}",
         .follow_up = F::None,
         .result = -1},
    });
}

TEST_F(FirewallPages, RefusalsStoreNothing) {
    const FullPost posts[] = {
        // range forwarding is stored before the single-port rules are checked
        {"portforward.cgi",
         R"({"portForwardMode":1,"singlePortForwardMode":2,"portForwardRules":"r1",)"
         R"("singlePortForwardRules":"r2"})",
         {{"singlePortForwardRules", {{"PortForwardEnable", "1"}, {"PortForwardRules", "r1"}}}}},
        {"porttrigger.cgi", R"({"portTriggerMode":1,"portTriggerRules":"t1"})"},
        {"dmz.cgi", R"({"dmzEnable":1,"dmzAddress":"192.168.1.9","dmzTcpPort80":1})"},
        {"ipportfilter.cgi", R"({"ipPortFilterMode":1,"defaultPolicy":1,"ipPortFilterRules":"f"})"},
        {"macfilter.cgi", R"({"accessPolicy":1,"accessControlList":"m"})"},
    };
    for (const FullPost &p : posts)
        check_refusals(p);
}

} // namespace
