// The device service pages and the event history served in-process, one
// fresh router root per case: answers, stored forms, and the commands seen by
// the recording stand-ins.
#include "cgi_harness.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cJSON.h>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using KeyValues = std::vector<std::pair<std::string, std::string>>;

struct Case {
    std::string what;
    ts::CgiCall call;
    std::string answer; // the exact JSON answer
    std::string calls;  // the calls log afterwards
    KeyValues stored;   // store keys expected afterwards; none: the store is untouched
    KeyValues given;    // store keys set before the request
    KeyValues files;    // system path -> content, written before the request
    FollowUpAction follow_up = FollowUpAction::None;
};

void run(const Case &c) {
    SCOPED_TRACE(c.what);
    ts::WebRoot web(20); // the 2-second waits take 100 ms
    // recording stand-ins for the two bridges, first on PATH
    for (const char *name : {"tracelinkd", "sercat"}) {
        std::string path = web.path(std::string("/bin/") + name);
        ts::write_file(path, "#!/bin/sh\necho \"${0##*/} $*\" >>\"$ROUTER_ROOT/sim/calls.log\"\n");
        chmod(path.c_str(), 0755);
    }
    setenv("PATH", (web.path("/bin") + ":" + getenv("PATH")).c_str(), 1);
    for (const auto &[key, value] : c.given)
        web.store_set(key, value);
    for (const auto &[path, content] : c.files) {
        ts::make_dirs(web.path(path.substr(0, path.rfind('/'))));
        ts::write_file(web.path(path), content);
    }
    std::string live = web.path("/dev/apsoc_nvram/2860.live"), before = ts::read_file(live);

    ts::CgiAnswer a = web.call_with_session(c.call);
    EXPECT_TRUE(a.status == 0 && a.well_formed());
    EXPECT_EQ(a.json, c.answer);
    EXPECT_EQ(a.follow_up, c.follow_up);
    std::string calls = web.path("/sim/calls.log");
    // a bridge started in the background records itself a moment later
    ts::wait_until([&] { return ts::read_file(calls) == c.calls; }, 3000);
    EXPECT_EQ(ts::read_file(calls), c.calls);
    for (const auto &[key, value] : c.stored)
        EXPECT_EQ(web.store_get(key), value) << key;
    if (c.stored.empty()) {
        EXPECT_EQ(ts::read_file(live), before) << "the store was written";
    }
}

ts::CgiCall post(const std::string &page, const std::string &body) {
    return {.page = page, .method = "POST", .body = body};
}
ts::CgiCall get(const std::string &page) {
    return {.page = page};
}
// Refused: answers -1, runs nothing, stores nothing.
void refused(const std::string &page, const std::string &body, const KeyValues &files = {}) {
    run({.what = page + " " + body,
         .call = post(page, body),
         .answer = "{\"result\":-1}",
         .files = files});
}

// --- client sources as the DHCP server, the kernel and the Wi-Fi driver write them ---

std::string host32(uint32_t v) {
    return std::string(reinterpret_cast<const char *>(&v), 4);
}

std::string lease(const std::string &host, const std::string &mac, const char *ip,
                  uint32_t expires) {
    std::string r = host + std::string(16 - host.size(), '\0') + mac + std::string(10, '\0');
    in_addr a;
    inet_pton(AF_INET, ip, &a);
    return r + std::string(reinterpret_cast<const char *>(&a), 4) + host32(htonl(expires));
}

std::string station(const std::string &mac, char psm, uint32_t connected, uint32_t rate) {
    // fields that are not read are filled
    return "Z" + mac + "Z" + psm + std::string(7, 'Z') + host32(connected) + host32(rate) +
           std::string(16, 'Z');
}

TEST(DevicePages, Client) {
    const std::string udhcpd = "killall -q -USR1 udhcpd\n";
    const std::string arp_header = "IP address  HW type  Flags  HW address  Mask  Device\n";
    const std::string arp = arp_header +
                            "192.168.1.100    0x1   0x2    aa:bb:cc:dd:ee:01     *   br0\n"
                            "192.168.1.101\t1 0x0 00:00:00:00:00:00 * br0\n"
                            "192.168.1.102 0x1 0x2 aa:bb:cc:dd:ee:03 *\n" // ends the list
                            "192.168.1.103 0x1 0x2 aa:bb:cc:dd:ee:04 * br0\n";
    const std::string leases =
        lease("laptop", "\xaa\xbb\xcc\xdd\xee\x01", "192.168.1.100", 86400) +
        lease("sixteen-chars-xx", "\x0a\x0b\x0c\x0d\x0e\xff", "192.168.1.101", 0xFFFFFFF0u) +
        std::string(39, 'x'); // an incomplete record is not read
    const std::string stations = host32(2) + station("\x11\x22\x33\x44\x55\x66", 1, 3600, 0x80) +
                                 station("\xa1\xb2\xc3\xd4\xe5\xf6", 0, 12, 0xFF7F);
    std::string zero_stations;
    for (int i = 0; i < 116; i++)
        zero_stations +=
            (i ? "," : "") + std::string("{\"mac\":\"00:00:00:00:00:00\",\"Psm\":0,\"BW\":0,"
                                         "\"ConnectedTime\":0}");
    const Case cases[] = {
        {.what = "no source", .call = get("client.cgi"), .answer = "{}", .calls = udhcpd},
        {.what = "empty sources",
         .call = post("client.cgi", "{}"),
         .answer = "{}",
         .calls = udhcpd,
         .files = {{"/var/udhcpd.leases", ""},
                   {"/proc/net/arp", arp_header},
                   {"/sim/ra0.stations", host32(0)}}},
        {.what = "all three",
         .call = get("client.cgi"),
         .answer =
             "{\"dhcp\":[{\"hostname\":\"laptop\",\"mac\":\"AA:BB:CC:DD:EE:01\",\"ip\":"
             "\"192.168.1.100\",\"expires\":86400},{\"hostname\":\"sixteen-chars-x\",\"mac\":"
             "\"0A:0B:0C:0D:0E:FF\",\"ip\":\"192.168.1.101\",\"expires\":4294967280}],"
             "\"arp\":[{\"ip\":\"192.168.1.100\",\"HWtype\":1,\"Flags\":2,\"mac\":"
             "\"aa:bb:cc:dd:ee:01\",\"device\":\"br0\"},{\"ip\":\"192.168.1.101\",\"HWtype\":"
             "1,\"Flags\":0,\"mac\":\"00:00:00:00:00:00\",\"device\":\"br0\"}],"
             "\"sta\":[{\"mac\":\"11:22:33:44:55:66\",\"Psm\":1,\"BW\":1,\"ConnectedTime\":"
             "3600},{\"mac\":\"A1:B2:C3:D4:E5:F6\",\"Psm\":0,\"BW\":0,\"ConnectedTime\":12}]}",
         .calls = udhcpd,
         .files = {{"/var/udhcpd.leases", leases},
                   {"/proc/net/arp", arp},
                   {"/sim/ra0.stations", stations}}},
        {.what = "a station count beyond the reply area",
         .call = get("client.cgi"),
         .answer = "{\"sta\":[" + zero_stations + "]}",
         .calls = udhcpd,
         .files = {{"/sim/ra0.stations", host32(0xFFFFFFFFu) + std::string(117 * 40, '\0')}}},
        {.what = "a station count beyond the entries the driver filled",
         .call = get("client.cgi"),
         .answer = "{\"sta\":[{\"mac\":\"11:22:33:44:55:66\",\"Psm\":1,\"BW\":1,"
                   "\"ConnectedTime\":3600}]}",
         .calls = udhcpd,
         .files = {{"/sim/ra0.stations", host32(3) + stations.substr(4, 40 + 39)}}},
    };
    for (const Case &c : cases)
        run(c);
}

TEST(DevicePages, Diag) {
    const KeyValues asr = {{"/var/run/mdm_type", "asr\n"}};
    const std::string options = "-c 127.0.0.1 -p 5000 -d /dev/ttyUSB0";
    const Case cases[] = {
        {.what = "stop",
         .call = post("diag.cgi", "{\"start\":0}"),
         .answer = "{\"result\":0}",
         .calls = "killall tracelinkd\n",
         .files = asr},
        {.what = "start tracelink",
         .call = post("diag.cgi", "{\"start\":1,\"param\":\"" + options + "\"}"),
         .answer = "{\"result\":0}",
         .calls = "killall tracelinkd\ntracelinkd " + options + "\n",
         .files = asr},
        {.what = "start tracelink, its device in long options",
         .call = post("diag.cgi", "{\"start\":1,\"param\":\"-uc h -p1 --dev /dev/ttyUSB1 "
                                  "--device=/dev/ttyS0 -- /dev/mtd0\"}"),
         .answer = "{\"result\":0}",
         .calls = "killall tracelinkd\ntracelinkd -uc h -p1 --dev /dev/ttyUSB1 "
                  "--device=/dev/ttyS0 -- /dev/mtd0\n",
         .files = asr},
        {.what = "start sercat, any method",
         .call = {.page = "diag.cgi",
                  .method = "PUT",
                  .body = "{\"start\":2,\"param\":\"127.0.0.1 /dev/ttyUSB0\"}"},
         .answer = "{\"result\":0}",
         .calls = "killall sercat\nsercat 127.0.0.1 /dev/ttyUSB0\n",
         .files = {{"/var/run/mdm_type", "mdm9x07"}}},
        {.what = "no modem type",
         .call = post("diag.cgi", "{\"start\":1,\"param\":\"-s -p 1 -d x\"}"),
         .answer = "{\"result\":0}"},
        {.what = "another modem type",
         .call = post("diag.cgi", "{\"start\":0}"),
         .answer = "{\"result\":0}",
         .files = {{"/var/run/mdm_type", "other"}}},
    };
    for (const Case &c : cases)
        run(c);
    // "tracelinkd " + 243 characters + " &" does not fit the 255 of a command line
    const std::string too_long(243, 'a');
    for (std::string param : {"", "-c 1.2.3.4 -p 1; reboot", "-c $(reboot) -p 1",
                              "-c `reboot` -p 1", "-c '1.2.3.4' -p 1", "-p 1\\nreboot",
                              "-p 1 >/tmp/x", "-c h\\u00e9 -p 1", too_long.c_str()})
        refused("diag.cgi", "{\"start\":1,\"param\":\"" + param + "\"}", asr);
    for (const char *body : {"", "{\"start\":\"1\"}", "{\"start\":1}", "{\"start\":1,\"param\":5}"})
        refused("diag.cgi", body, asr);
    // the bridges open what they are given: a terminal only, in every way
    // their options can name it
    for (const char *device :
         {"-c 10.9.8.7 -p 1 -d /dev/mtdblock2", "-p 1 -d/etc/passwd", "-ud /dev/mtd0",
          "-c h -p 1 --device /dev/mtd0", "-c h -p 1 --devi=/dev/mtd0", "-d /dev/tty/../mtd0",
          "-d /dev/ttyUSB0 -d /tmp/x", "-d dev/ttyUSB0"})
        refused("diag.cgi", std::string("{\"start\":1,\"param\":\"") + device + "\"}", asr);
    for (const char *device : {"10.9.8.7 /dev/mtdblock2", "10.9.8.7 /dev/ttyUSB0/../mtd0"})
        refused("diag.cgi", std::string("{\"start\":1,\"param\":\"") + device + "\"}",
                {{"/var/run/mdm_type", "mdm9x07"}});
}

// A program left running by a page must not write into the answer or keep
// the web server's pipes: standard input and output point elsewhere while it
// starts, and are back afterwards.
TEST(DevicePages, BackgroundCommandsLetGoOfTheAnswer) {
    ts::WebRoot web;
    std::string answer_path = web.path("/sim/answer");
    int answer = open(answer_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(answer, 0);
    fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    dup2(answer, STDOUT_FILENO);
    int status = cgi_run_background("echo leaked; cat; echo done >\"$ROUTER_ROOT/sim/ran\"");
    EXPECT_EQ(write(STDOUT_FILENO, "after", 5), 5);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    close(answer);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(ts::read_file(web.path("/sim/ran")), "done\n"); // cat saw the end of its input
    EXPECT_EQ(ts::read_file(answer_path), "after");
}

TEST(DevicePages, Reboot) {
    for (const char *method : {"GET", "POST", "HEAD"}) {
        ts::WebRoot web(20);
        ts::CgiAnswer a = web.call_with_session({.page = "reboot.cgi", .method = method});
        EXPECT_EQ(a.json, "{\"result\":0}") << method;
        EXPECT_EQ(a.follow_up, FollowUpAction::Reboot);
        EXPECT_EQ(ts::read_file(web.path("/sim/calls.log")), "");
        // in flash before the reboot, for the next start to tell
        EXPECT_TRUE(std::regex_search(
            ts::read_file(web.path("/dev/apsoc_nvram/2860.flash")),
            std::regex(
                R"(RestartReason=\d{4}-\d\d-\d\d \d\d:\d\d:\d\d reboot from the web interface\0)")));
    }
}

TEST(DevicePages, Events) {
    const std::string history =
        "2026-03-01 04:00:00 5 restarted after a power loss or an outside reboot\n"
        "2026-03-01 04:00:01 6 damaged\x01line\n"
        "2026-03-01 04:05:01 305 reboot: watchdog: no echo reply\n"
        "2026-03-01 04:05:02 306 cut sh";
    const Case cases[] = {
        {.what = "before the daemon's first start",
         .call = get("events.cgi"),
         .answer = R"({"lastRestart":"","lastRestartTime":"","events":[]})"},
        {.what = "a power loss",
         .call = get("events.cgi"),
         .answer =
             R"({"lastRestart":"a power loss or an outside reboot","lastRestartTime":"","events":[]})",
         .files = {{"/tmp/lted.restart", "a power loss or an outside reboot"}}},
        {.what = "a kept reason; damaged lines left out, the newest first; POST answers as GET",
         .call = post("events.cgi", "{}"),
         .answer =
             R"({"lastRestart":"watchdog: no echo reply","lastRestartTime":"2026-03-01 04:06:00",)"
             R"("events":[{"time":"2026-03-01 04:05:01","uptime":305,"text":"reboot: watchdog: no echo reply"},)"
             R"({"time":"2026-03-01 04:00:00","uptime":5,"text":"restarted after a power loss or an outside reboot"}]})",
         .files = {{"/tmp/lted.restart", "2026-03-01 04:06:00 watchdog: no echo reply"},
                   {"/tmp/lted.events", history}}},
    };
    for (const Case &c : cases)
        run(c);

    // far beyond its bounds: the newest lines only, the first one read whole
    ts::WebRoot web;
    std::string big;
    for (int i = 0; i < 20000; i++)
        big += "2026-03-01 04:05:06 " + std::to_string(i) + " event " + std::to_string(i) + "\n";
    ts::write_file(web.path("/tmp/lted.events"), big);
    ts::CgiAnswer a = web.call_with_session(get("events.cgi"));
    cJSON *json = cJSON_Parse(a.json.c_str());
    const cJSON *events = cJSON_GetObjectItemCaseSensitive(json, "events");
    ASSERT_EQ(cJSON_GetArraySize(events), 200);
    auto text = [&](int i) {
        const cJSON *t = cJSON_GetObjectItemCaseSensitive(cJSON_GetArrayItem(events, i), "text");
        return std::string(cJSON_IsString(t) ? t->valuestring : "");
    };
    EXPECT_EQ(text(0), "event 19999");
    EXPECT_EQ(text(199), "event 19800");
    cJSON_Delete(json);
}

TEST(DevicePages, PingCheckconnAutoreboot) {
    const KeyValues on30 = {{"reboot_on_disconnect", "1"}, {"reboot_disconnect_time", "30"}};
    const KeyValues mode2 = {{"auto_reboot_mode", "2"}, {"auto_reboot_time", "180"}};
    const Case cases[] = {
        {.what = "ping GET",
         .call = get("ping.cgi"),
         .answer = "{\"server\":\"example.net\",\"interval\":60,\"timeout\":0,\"timeoutcount\":0}",
         .given = {{"ping_server", "example.net"}, {"ping_timeout", ""}, {"ping_count", "x"}}},
        {.what = "ping POST",
         .call = post("ping.cgi", "{\"server\":\"198.51.100.1\",\"interval\":86400,\"timeout\":1,"
                                  "\"timeoutcount\":1000}"),
         .answer = "{\"result\":0}",
         .stored = {{"ping_server", "198.51.100.1"},
                    {"ping_interval", "86400"},
                    {"ping_timeout", "1"},
                    {"ping_count", "1000"}}},
        {.what = "checkconn GET",
         .call = get("checkconn.cgi"),
         .answer = "{\"time\":30}",
         .given = on30},
        {.what = "checkconn GET, off hides the time",
         .call = get("checkconn.cgi"),
         .answer = "{\"time\":0}",
         .given = {{"reboot_on_disconnect", "0"}, {"reboot_disconnect_time", "30"}}},
        {.what = "checkconn POST on",
         .call = post("checkconn.cgi", "{\"time\":45}"),
         .answer = "{\"result\":0}",
         .stored = {{"reboot_on_disconnect", "1"}, {"reboot_disconnect_time", "45"}}},
        {.what = "checkconn POST off keeps the time",
         .call = post("checkconn.cgi", "{\"time\":0}"),
         .answer = "{\"result\":0}",
         .stored = {{"reboot_on_disconnect", "0"}, {"reboot_disconnect_time", "30"}},
         .given = on30},
        {.what = "autoreboot GET",
         .call = get("autoreboot.cgi"),
         .answer = "{\"auto_reboot_mode\":2,\"auto_reboot_time\":180}",
         .given = mode2},
        {.what = "autoreboot POST signals the daemon",
         .call = post("autoreboot.cgi", "{\"auto_reboot_mode\":1,\"auto_reboot_time\":24}"),
         .answer = "{\"result\":0}",
         .calls = "killall -SIGUSR2 lted\n",
         .stored = {{"auto_reboot_mode", "1"}, {"auto_reboot_time", "24"}}},
        {.what = "autoreboot POST off keeps the time",
         .call = post("autoreboot.cgi", "{\"auto_reboot_mode\":0}"),
         .answer = "{\"result\":0}",
         .calls = "killall -SIGUSR2 lted\n",
         .stored = {{"auto_reboot_mode", "0"}, {"auto_reboot_time", "180"}},
         .given = mode2},
        {.what = "autoreboot POST without its time has stored the mode, signals nothing",
         .call = post("autoreboot.cgi", "{\"auto_reboot_mode\":1}"),
         .answer = "{\"result\":-1}",
         .stored = {{"auto_reboot_mode", "1"}, {"auto_reboot_time", "180"}},
         .given = mode2},
        {.what = "checkconn with another method",
         .call = {.page = "checkconn.cgi", .method = "DELETE"},
         .answer = "{\"result\":-1}"},
    };
    for (const Case &c : cases)
        run(c);
    refused("ping.cgi", "{\"server\":\"a\",\"interval\":1,\"timeout\":1}");
    refused("ping.cgi", "{\"server\":\"a\",\"interval\":\"1\",\"timeout\":1,\"timeoutcount\":1}");
    // numbers the daemon would not take as they are
    refused("ping.cgi", "{\"server\":\"a\",\"interval\":0,\"timeout\":5,\"timeoutcount\":3}");
    refused("ping.cgi", "{\"server\":\"a\",\"interval\":1,\"timeout\":86401,\"timeoutcount\":3}");
    refused("ping.cgi", "{\"server\":\"a\",\"interval\":1,\"timeout\":5,\"timeoutcount\":-1}");
    refused("checkconn.cgi", "{\"time\":\"5\"}");
    refused("checkconn.cgi", "{\"time\":-1}");
    refused("checkconn.cgi", "{\"time\":10081}");
    refused("autoreboot.cgi", "{\"auto_reboot_mode\":\"1\",\"auto_reboot_time\":1}");
}

// The answer of a fresh router: the keys in order, with the factory settings.
const char kDtuFactory[] =
    "{\"dtu_enable\":0,\"dtu_serial_baud\":115200,\"dtu_serial_bits\":8,\"dtu_serial_parity\":"
    "\"N\",\"dtu_serial_stop\":1,\"dtu_serial_frametime\":50,\"dtu_serial_framelength\":1024,"
    "\"dtu_conn_type\":0,\"dtu_conn_server\":\"\",\"dtu_conn_port\":0,\"dtu_conn_enable\":0,"
    "\"dtu_conn_reg_enable\":0,\"dtu_conn_reg_mode\":0,\"dtu_conn_reg_type\":0,"
    "\"dtu_conn_reg_data_fmt\":0,\"dtu_conn_reg_data\":\"\",\"dtu_conn_heartbeat_enable\":0,"
    "\"dtu_conn_heartbeat_type\":0,\"dtu_conn_heartbeat_time\":60,"
    "\"dtu_conn_heartbeat_data_fmt\":0,\"dtu_conn_heartbeat_data\":\"\",\"dtu_gps_state\":0,"
    "\"dtu_gps_time\":60,\"dtu_gps_type\":0}";

TEST(DevicePages, Dtu) {
    // the POST bodies take the keys and types of the answer: every key but
    // skip, numbers i - 5, texts "t<i> =,\"" (the one at mistype of the other type)
    cJSON *factory = cJSON_Parse(kDtuFactory);
    std::vector<std::pair<std::string, bool>> keys; // key, is text
    for (cJSON *item = factory->child; item; item = item->next)
        keys.push_back({item->string, cJSON_IsString(item)});
    cJSON_Delete(factory);
    ASSERT_EQ(keys.size(), 24u);
    auto body = [&](size_t skip, size_t mistype, const std::string &more_text = "") {
        std::string b;
        for (size_t i = 0; i < keys.size(); i++) {
            if (i == skip) continue;
            // appended, not prepended: GCC 12 at -O3 falsely warns (restrict) on the latter
            std::string text = std::string("t").append(std::to_string(i)) + " =,\\\"" + more_text;
            b += (b.empty() ? "{\"" : ",\"") + keys[i].first + "\":" +
                 (keys[i].second != (i == mistype) ? "\"" + text + "\""
                                                   : std::to_string(static_cast<int>(i) - 5));
        }
        return b + "}";
    };
    const size_t none = keys.size();
    KeyValues stored;
    for (size_t i = 0; i < keys.size(); i++) {
        std::string store = keys[i].first;
        for (const auto &[key, other] : KeyValues{{"dtu_gps_state", "dtu_gpsen"},
                                                  {"dtu_gps_time", "dtu_gpstm"},
                                                  {"dtu_gps_type", "dtu_gpstype"}})
            if (store == key) store = other;
        stored.push_back({store, keys[i].second
                                     ? std::string("t").append(std::to_string(i)) + " =,\""
                                     : std::to_string(static_cast<int>(i) - 5)});
    }
    const Case cases[] = {
        {.what = "GET", .call = get("dtu.cgi"), .answer = kDtuFactory},
        {.what = "POST",
         .call = post("dtu.cgi", body(none, none)),
         .answer = "{\"result\":0}",
         .calls = "killall uartd\nuartd\n",
         .stored = stored},
        {.what = "POST beyond the store's room",
         .call = post("dtu.cgi", body(none, none, std::string(5000, 'x'))),
         .answer = "{\"result\":-1}",
         .stored = {{"dtu_conn_heartbeat_data", ""}}},
        {.what = "PUT",
         .call = {.page = "dtu.cgi", .method = "PUT", .body = body(none, none)},
         .answer = "{\"result\":-1}"},
    };
    for (const Case &c : cases)
        run(c);
    for (size_t i = 0; i < keys.size(); i++) {
        refused("dtu.cgi", body(i, none));
        refused("dtu.cgi", body(none, i));
    }
    refused("dtu.cgi", body(none, none, "\\r\\n"));
}

} // namespace
