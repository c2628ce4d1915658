// The network settings pages served in-process: GET answers, stored forms,
// follow-up actions, the daemon's signal and refusals that store nothing.
#include "page_checks.h"

namespace {

using ts::Section;
using F = FollowUpAction;

class NetworkPages : public ts::PageChecks {};

TEST_F(NetworkPages, GetAnswers) {
    struct Case {
        Section presets;
        const char *page;
        const char *json;
    };
    const Case cases[] = {
        {{},
         "lan.cgi",
         R"({"lan_ipaddr":"192.168.1.1","lan_netmask":"255.255.255.0","HostName":"LTE-Router",)"
         R"("dhcpEnabled":1,"dhcpGateway":"192.168.1.1","dhcpStart":"192.168.1.100",)"
         R"("dhcpEnd":"192.168.1.200","dhcpPriDns":"192.168.1.1","dhcpSecDns":"","dhcpLease":86400,)"
         R"("dhcpStatic1":"","dhcpStatic2":"","dhcpStatic3":"","upnpEnabled":0,"dnsPEnabled":1})"},
        {{},
         "wan.cgi",
         R"({"netmode":"3G","macCloneEnabled":0,"macCloneMac":"","wanmacaddr":"02:1A:2B:00:00:02",)"
         R"("result":0})"},
        // the static addresses only in mode STATIC; any non-zero clone switch shows as 1
        {{{"wanConnectionMode", "STATIC"},
          {"wan_ipaddr", "198.51.100.2"},
          {"wan_netmask", "255.255.255.0"},
          {"wan_gateway", "198.51.100.1"},
          {"wan_primary_dns", "198.51.100.53"},
          {"wan_secondary_dns", ""},
          {"macCloneEnabled", "7"},
          {"macCloneMac", "02:00:00:00:00:07"}},
         "wan.cgi",
         R"({"netmode":"STATIC","staticIp":"198.51.100.2","staticNetmask":"255.255.255.0",)"
         R"("staticGateway":"198.51.100.1","staticPriDns":"198.51.100.53","staticSecDns":"",)"
         R"("macCloneEnabled":1,"macCloneMac":"02:00:00:00:00:07","wanmacaddr":"02:1A:2B:00:00:02",)"
         R"("result":0})"},
        {{},
         "wifi.cgi",
         R"({"WiFiOff":0,"SSID1":"LTE-Router","HideSSID":0,"HT_BW":1,"Channel":0,)"
         R"("AuthMode":"WPA2PSK","WPAPSK1":"12345678","WscModeOption":0,"TxPower":100})"},
        {{{"NTPSync", ""}},
         "time.cgi",
         R"({"TZ":"UTC0","NTPServerIP":"pool.ntp.org","NTPSync":0})"},
        // a switch never set shows as on, although the daemon then leaves it off
        {{{"telnetdEnabled", ""}}, "telnetd.cgi", R"({"telnetd":1})"},
        {{{"telnetdEnabled", "0"}}, "telnetd.cgi", R"({"telnetd":0})"},
        // the account is never shown
        {{}, "user.cgi", R"({"result":-1})"},
    };
    for (const Case &c : cases) {
        for (const auto &[name, value] : c.presets)
            web.store_set(name, value);
        ts::CgiAnswer a = call({.page = c.page});
        EXPECT_EQ(a.json, c.json) << c.page;
        EXPECT_TRUE(a.well_formed()) << c.page;
        EXPECT_EQ(a.follow_up, F::None) << c.page;
    }
}

TEST_F(NetworkPages, PostsStoreTheirForms) {
    const std::string wan_reload = "killall -SIGUSR1 lted\n";
    const std::string wifi_common =
        R"("SSID1":"guest net","HideSSID":1,"HT_BW":0,"Channel":11,"WscModeOption":2,"TxPower":60)";
    const Section wifi_stored = {{"SSID1", "guest net"}, {"HideSSID", "1"},      {"HT_BW", "0"},
                                 {"Channel", "11"},      {"WscModeOption", "2"}, {"TxPower", "60"}};
    auto with = [](Section s, const Section &more) {
        s.insert(more.begin(), more.end());
        return s;
    };
    check_posts({
        {.page = "wan.cgi",
         .body = R"({"netmode":"3G","macclone":1,"ipaddr":"x"})",
         .presets = {{"wanConnectionMode", "DHCP"}},
         .stored = {{"wanConnectionMode", "3G"}},
         .follow_up = F::Restart,
         .commands = wan_reload},
        // without cloning the stored clone address stays
        {.page = "wan.cgi",
         .body = R"({"netmode":"STATIC","macclone":0,"ipaddr":"198.51.100.2",)"
                 R"("netmask":"255.255.255.0","gateway":"198.51.100.1","dns":"198.51.100.53",)"
                 R"("dns2":"198.51.100.54"})",
         .presets = {{"macCloneEnabled", "1"}, {"macCloneMac", "02:00:00:00:00:07"}},
         .stored = {{"wanConnectionMode", "STATIC"},
                    {"wan_ipaddr", "198.51.100.2"},
                    {"wan_netmask", "255.255.255.0"},
                    {"wan_gateway", "198.51.100.1"},
                    {"wan_primary_dns", "198.51.100.53"},
                    {"wan_secondary_dns", "198.51.100.54"},
                    {"macCloneEnabled", "0"}},
         .follow_up = F::Restart,
         .commands = wan_reload},
        // DHCP keeps the static addresses
        {.page = "wan.cgi",
         .body = R"({"netmode":"DHCP","macclone":5,"macaddr":"02:00:00:00:00:08"})",
         .stored = {{"wanConnectionMode", "DHCP"},
                    {"macCloneEnabled", "1"},
                    {"macCloneMac", "02:00:00:00:00:08"}},
         .follow_up = F::Restart,
         .commands = wan_reload},
        // an unknown mode stores nothing and is still signalled
        {.page = "wan.cgi",
         .body = R"({"netmode":"PPPOE"})",
         .follow_up = F::Restart,
         .commands = wan_reload},
        // without the DHCP server its keys are neither needed nor changed
        {.page = "lan.cgi",
         .body = R"({"lan_ipaddr":"10.1.1.1","lan_netmask":"255.0.0.0","HostName":"gw",)"
                 R"("dhcpEnabled":0,"upnpEnabled":1,"dnsPEnabled":0})",
         .stored = {{"lan_ipaddr", "10.1.1.1"},
                    {"lan_netmask", "255.0.0.0"},
                    {"HostName", "gw"},
                    {"dhcpEnabled", "0"},
                    {"upnpEnabled", "1"},
                    {"dnsPEnabled", "0"}},
         .follow_up = F::Restart},
        {.page = "lan.cgi",
         .body = R"({"lan_ipaddr":"10.1.1.1","lan_netmask":"255.255.0.0","HostName":"gw",)"
                 R"("dhcpEnabled":1,"dhcpGateway":"10.1.1.1","dhcpStart":"10.1.1.10",)"
                 R"("dhcpEnd":"10.1.1.90","dhcpPriDns":"10.1.1.1","dhcpSecDns":"10.1.1.2",)"
                 R"("dhcpLease":3600,"dhcpStatic1":"a","dhcpStatic2":"b","dhcpStatic3":"c",)"
                 R"("upnpEnabled":1,"dnsPEnabled":0})",
         .stored = {{"lan_netmask", "255.255.0.0"},
                    {"dhcpEnabled", "1"},
                    {"dhcpGateway", "10.1.1.1"},
                    {"dhcpStart", "10.1.1.10"},
                    {"dhcpEnd", "10.1.1.90"},
                    {"dhcpPriDns", "10.1.1.1"},
                    {"dhcpSecDns", "10.1.1.2"},
                    {"dhcpLease", "3600"},
                    {"dhcpMask", "255.255.0.0"},
                    {"dhcpStatic1", "a"},
                    {"dhcpStatic2", "b"},
                    {"dhcpStatic3", "c"}},
         .follow_up = F::Restart},
        // the radio off needs nothing else
        {.page = "wifi.cgi",
         .body = R"({"WiFiOff":1})",
         .stored = {{"WiFiOff", "1"}},
         .follow_up = F::Restart},
        // an open network needs no key and keeps the stored one
        {.page = "wifi.cgi",
         .body = R"({"WiFiOff":0,"AuthMode":"OPEN",)" + wifi_common + "}",
         .stored =
             with(wifi_stored, {{"WiFiOff", "0"}, {"AuthMode", "OPEN"}, {"EncrypType", "NONE"}}),
         .follow_up = F::Restart},
        {.page = "wifi.cgi",
         .body = R"({"WiFiOff":0,"AuthMode":"WPA2PSK","WPAPSK1":"secret99",)" + wifi_common + "}",
         .presets = {{"SSID1", "old"}},
         .stored = {{"SSID1", "guest net"},
                    {"AuthMode", "WPA2PSK"},
                    {"WPAPSK1", "secret99"},
                    {"EncrypType", "AES"}},
         .follow_up = F::Restart},
        // another mode sets neither the key nor the cipher
        {.page = "wifi.cgi",
         .body = R"({"WiFiOff":0,"AuthMode":"WPAPSK",)" + wifi_common + "}",
         .presets = {{"SSID1", "old"}},
         .stored = {{"SSID1", "guest net"}, {"AuthMode", "WPAPSK"}},
         .follow_up = F::Restart},
        // any method
        {.page = "user.cgi",
         .body = R"({"username":"root","userpassword":"p@ss word"})",
         .stored = {{"Login", "root"}, {"Password", "p@ss word"}},
         .follow_up = F::Restart,
         .method = "PUT"},
        {.page = "time.cgi",
         .body = R"({"TZ":"CST-8","NTPServerIP":"ntp.example","NTPSync":0})",
         .stored = {{"TZ", "CST-8"}, {"NTPServerIP", "ntp.example"}, {"NTPSync", ""}},
         .follow_up = F::Restart},
        {.page = "time.cgi",
         .body = R"({"TZ":"CST-8","NTPServerIP":"ntp.example","NTPSync":-1})",
         .stored = {{"NTPSync", "4294967295"}},
         .follow_up = F::Restart},
        // read by the daemon at start: no follow-up
        {.page = "telnetd.cgi",
         .body = R"({"telnetd":-1})",
         .stored = {{"telnetdEnabled", "4294967295"}},
         .follow_up = F::None},
    });
}

TEST_F(NetworkPages, RefusalsStoreNothing) {
    const Section dhcp_stored = {{"dhcpGateway", "10.1.1.1"}, {"dhcpStart", "10.1.1.10"},
                                 {"dhcpEnd", "10.1.1.90"},    {"dhcpPriDns", "10.1.1.1"},
                                 {"dhcpSecDns", "10.1.1.2"},  {"dhcpLease", "3600"},
                                 {"dhcpMask", "255.255.0.0"}, {"dhcpStatic1", "a"},
                                 {"dhcpStatic2", "b"},        {"dhcpStatic3", "c"}};
    const FullPost posts[] = {
        {"wan.cgi",
         R"({"netmode":"STATIC","macclone":1,"macaddr":"02:00:00:00:00:08","ipaddr":"1",)"
         R"("netmask":"2","gateway":"3","dns":"4","dns2":"5"})"},
        // the DHCP server's keys are stored before the last two switches are checked
        {"lan.cgi",
         R"({"lan_ipaddr":"10.1.1.1","lan_netmask":"255.255.0.0","HostName":"gw",)"
         R"("dhcpEnabled":1,"dhcpGateway":"10.1.1.1","dhcpStart":"10.1.1.10",)"
         R"("dhcpEnd":"10.1.1.90","dhcpPriDns":"10.1.1.1","dhcpSecDns":"10.1.1.2",)"
         R"("dhcpLease":3600,"dhcpStatic1":"a","dhcpStatic2":"b","dhcpStatic3":"c",)"
         R"("upnpEnabled":1,"dnsPEnabled":0})",
         {{"upnpEnabled", dhcp_stored}, {"dnsPEnabled", dhcp_stored}}},
        {"wifi.cgi",
         R"({"WiFiOff":0,"SSID1":"n","HideSSID":1,"HT_BW":0,"Channel":11,"AuthMode":"WPA2PSK",)"
         R"("WPAPSK1":"k","WscModeOption":2,"TxPower":60})"},
        {"time.cgi", R"({"TZ":"CST-8","NTPServerIP":"ntp.example","NTPSync":3})"},
        {"telnetd.cgi", R"({"telnetd":1})"},
    };
    for (const FullPost &p : posts)
        check_refusals(p);
    // user.cgi takes any method, but not a request without its two texts, nor
    // one with a control character
    for (const char *body : {R"({"username":"root"})", R"({"username":"root","userpassword":1})",
                             R"({"username":"root","userpassword":"a\tb"})"})
        check_posts({{.page = "user.cgi", .body = body, .follow_up = F::None, .result = -1}});
}

} // namespace
