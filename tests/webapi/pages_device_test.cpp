// The device service pages served in-process, one fresh router root per
// case: answers, stored forms, and the commands seen by the recording
// stand-ins.
#include "cgi_harness.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
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
    KeyValues given;    // store keys set before the request
    KeyValues files;    // system path -> content, written before the request
    std::string answer; // the exact JSON answer
    KeyValues stored;   // store keys expected afterwards
    bool unchanged;     // the store was not written at all
    std::string calls;  // the calls log afterwards
    FollowUpAction follow_up = FollowUpAction::None;
};

// Recording stand-ins for the two bridges, found first on PATH.
void install_bridge_recorders(const ts::WebRoot &web) {
    for (const char *name : {"tracelinkd", "sercat"}) {
        std::string path = web.path(std::string("/bin/") + name);
        ts::write_file(
            path, "#!/bin/sh\nprintf '%s\\n' \"${0##*/} $*\" >>\"$ROUTER_ROOT/sim/calls.log\"\n");
        chmod(path.c_str(), 0755);
    }
    setenv("PATH", (web.path("/bin") + ":" + getenv("PATH")).c_str(), 1);
}

void run(const Case &c) {
    SCOPED_TRACE(c.what);
    ts::WebRoot web(20); // the 2-second waits take 100 ms
    install_bridge_recorders(web);
    for (const auto &[key, value] : c.given)
        web.store_set(key, value);
    for (const auto &[path, content] : c.files) {
        ts::make_dirs(web.path(path.substr(0, path.rfind('/'))));
        ts::write_file(web.path(path), content);
    }
    std::string live = web.path("/dev/apsoc_nvram/2860.live");
    std::string before = ts::read_file(live);

    ts::CgiAnswer a = web.call_with_session(c.call);
    EXPECT_EQ(a.status, 0);
    EXPECT_TRUE(a.well_formed());
    EXPECT_EQ(a.json, c.answer);
    EXPECT_EQ(a.follow_up, c.follow_up);
    std::string calls_log = web.path("/sim/calls.log");
    // a bridge started in the background records itself a moment later
    ts::wait_until([&] { return ts::read_file(calls_log) == c.calls; }, 3000);
    EXPECT_EQ(ts::read_file(calls_log), c.calls);
    for (const auto &[key, value] : c.stored)
        EXPECT_EQ(web.store_get(key), value) << key;
    if (c.unchanged) {
        EXPECT_EQ(ts::read_file(live), before);
    }
}

ts::CgiCall post(const std::string &page, const std::string &body) {
    return {.page = page, .method = "POST", .body = body};
}
ts::CgiCall get(const std::string &page) {
    return {.page = page};
}

// --- client sources, as the DHCP server, the kernel and the Wi-Fi driver write them ---

std::string lease(const std::string &host, const std::vector<uint8_t> &mac, const char *ip,
                  uint32_t expires) {
    std::string r(40, '\0');
    memcpy(&r[0], host.data(), std::min<size_t>(host.size(), 16));
    memcpy(&r[16], mac.data(), 6);
    in_addr a;
    inet_pton(AF_INET, ip, &a);
    memcpy(&r[32], &a, 4);
    uint32_t be = htonl(expires);
    memcpy(&r[36], &be, 4);
    return r;
}

std::string host32(uint32_t v) {
    return std::string(reinterpret_cast<const char *>(&v), 4);
}

std::string station(const std::vector<uint8_t> &mac, uint8_t psm, uint32_t connected,
                    uint32_t rate) {
    std::string e(40, '\x5a'); // fields not read stay filled
    memcpy(&e[1], mac.data(), 6);
    e[8] = static_cast<char>(psm);
    e.replace(16, 4, host32(connected));
    e.replace(20, 4, host32(rate));
    return e;
}

const std::string kZeroStation =
    "{\"mac\":\"00:00:00:00:00:00\",\"Psm\":0,\"BW\":0,\"ConnectedTime\":0}";

std::string repeated(const std::string &element, int n) {
    std::string s;
    for (int i = 0; i < n; i++)
        s += (i ? "," : "") + element;
    return s;
}

TEST(DevicePages, Client) {
    const std::string kUdhcpd = "killall -q -USR1 udhcpd\n";
    const std::string arp =
        "IP address       HW type     Flags       HW address            Mask     Device\n"
        "192.168.1.100    0x1         0x2         aa:bb:cc:dd:ee:01     *        br0\n"
        "192.168.1.101\t0x1 0x0 00:00:00:00:00:00 * br0\n"
        "192.168.1.102 0x1 0x2 aa:bb:cc:dd:ee:03 *\n" // five columns end the list
        "192.168.1.103 0x1 0x2 aa:bb:cc:dd:ee:04 * br0\n";
    const std::string leases =
        lease("laptop", {0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0x01}, "192.168.1.100", 86400) +
        lease("sixteen-chars-xx", {0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0xff}, "192.168.1.101",
              0xFFFFFFF0u) +
        std::string(39, 'x'); // an incomplete record is not read
    const std::string stations = host32(2) +
                                 station({0x11, 0x22, 0x33, 0x44, 0x55, 0x66}, 1, 3600, 0x80) +
                                 station({0xa1, 0xb2, 0xc3, 0xd4, 0xe5, 0xf6}, 0, 12, 0xFF7F);
    const Case cases[] = {
        {.what = "no source",
         .call = get("client.cgi"),
         .answer = "{}",
         .unchanged = true,
         .calls = kUdhcpd},
        {.what = "empty sources",
         .call = post("client.cgi", "{}"),
         .files = {{"/var/udhcpd.leases", ""},
                   {"/proc/net/arp", arp.substr(0, arp.find('\n') + 1)},
                   {"/sim/ra0.stations", host32(0)}},
         .answer = "{}",
         .calls = kUdhcpd},
        {.what = "all three",
         .call = get("client.cgi"),
         .files = {{"/var/udhcpd.leases", leases},
                   {"/proc/net/arp", arp},
                   {"/sim/ra0.stations", stations}},
         .answer =
             "{\"dhcp\":[{\"hostname\":\"laptop\",\"mac\":\"AA:BB:CC:DD:EE:01\",\"ip\":\"192.168.1."
             "100\","
             "\"expires\":86400},{\"hostname\":\"sixteen-chars-x\",\"mac\":\"0A:0B:0C:0D:0E:FF\","
             "\"ip\":\"192.168.1.101\",\"expires\":4294967280}],"
             "\"arp\":[{\"ip\":\"192.168.1.100\",\"HWtype\":1,\"Flags\":2,\"mac\":\"aa:bb:cc:dd:ee:"
             "01\","
             "\"device\":\"br0\"},{\"ip\":\"192.168.1.101\",\"HWtype\":1,\"Flags\":0,"
             "\"mac\":\"00:00:00:00:00:00\",\"device\":\"br0\"}],"
             "\"sta\":[{\"mac\":\"11:22:33:44:55:66\",\"Psm\":1,\"BW\":1,\"ConnectedTime\":3600},"
             "{\"mac\":\"A1:B2:C3:D4:E5:F6\",\"Psm\":0,\"BW\":0,\"ConnectedTime\":12}]}",
         .calls = kUdhcpd},
        {.what = "a station count beyond the reply area",
         .call = get("client.cgi"),
         .files = {{"/sim/ra0.stations", host32(0xFFFFFFFFu)}},
         .answer = "{\"sta\":[" + repeated(kZeroStation, 116) + "]}",
         .calls = kUdhcpd},
    };
    for (const Case &c : cases)
        run(c);
}

TEST(DevicePages, Diag) {
    const KeyValues asr = {{"/var/run/mdm_type", "asr\n"}},
                    mdm = {{"/var/run/mdm_type", "mdm9x07"}};
    const std::string tracelink_options = "-c 127.0.0.1 -p 5000 -d /dev/ttyUSB0";
    const Case cases[] = {
        {.what = "stop",
         .call = post("diag.cgi", "{\"start\":0}"),
         .files = asr,
         .answer = "{\"result\":0}",
         .unchanged = true,
         .calls = "killall tracelinkd\n"},
        {.what = "start tracelink",
         .call = post("diag.cgi", "{\"start\":1,\"param\":\"" + tracelink_options + "\"}"),
         .files = asr,
         .answer = "{\"result\":0}",
         .calls = "killall tracelinkd\ntracelinkd " + tracelink_options + "\n"},
        {.what = "start sercat, any method",
         .call = {.page = "diag.cgi",
                  .method = "PUT",
                  .body = "{\"start\":2,\"param\":\"127.0.0.1 /dev/ttyUSB0\"}"},
         .files = mdm,
         .answer = "{\"result\":0}",
         .calls = "killall sercat\nsercat 127.0.0.1 /dev/ttyUSB0\n"},
        {.what = "no modem type",
         .call = post("diag.cgi", "{\"start\":1,\"param\":\"-s -p 1 -d x\"}"),
         .answer = "{\"result\":0}",
         .calls = ""},
        {.what = "unknown modem type",
         .call = post("diag.cgi", "{\"start\":0}"),
         .files = {{"/var/run/mdm_type", "other"}},
         .answer = "{\"result\":0}",
         .calls = ""},
    };
    for (const Case &c : cases)
        run(c);

    // refused before anything runs
    const std::string too_long(243, 'a'); // "tracelinkd " + 243 + " &" is 256 characters
    const std::string refused_bodies[] = {
        "",
        "{}",
        "{\"start\":\"1\"}",
        "{\"start\":1}",
        "{\"start\":1,\"param\":\"\"}",
        "{\"start\":1,\"param\":5}",
        "{\"start\":1,\"param\":\"-c 1.2.3.4 -p 1; reboot\"}",
        "{\"start\":1,\"param\":\"-c $(reboot) -p 1\"}",
        "{\"start\":1,\"param\":\"-c `reboot` -p 1\"}",
        "{\"start\":1,\"param\":\"-c '1.2.3.4' -p 1\"}",
        "{\"start\":1,\"param\":\"-p 1\\nreboot\"}",
        "{\"start\":1,\"param\":\"-p 1 >/tmp/x\"}",
        "{\"start\":1,\"param\":\"-d /dev/ttyUSB0 -p 1 -c h\\u00e9\"}",
        "{\"start\":1,\"param\":\"" + too_long + "\"}",
    };
    for (const std::string &body : refused_bodies)
        run({.what = "refused: " + body,
             .call = post("diag.cgi", body),
             .files = asr,
             .answer = "{\"result\":-1}",
             .unchanged = true,
             .calls = ""});
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
    write(STDOUT_FILENO, "after", 5);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    close(answer);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(ts::read_file(web.path("/sim/ran")), "done\n"); // cat saw the end of its input
    EXPECT_EQ(ts::read_file(answer_path), "after");
}

TEST(DevicePages, Reboot) {
    for (const char *method : {"GET", "POST", "HEAD"})
        run({.what = method,
             .call = {.page = "reboot.cgi", .method = method},
             .answer = "{\"result\":0}",
             .unchanged = true,
             .calls = "",
             .follow_up = FollowUpAction::Reboot});
}

TEST(DevicePages, PingCheckconnAutoreboot) {
    const std::string ping_full =
        "{\"server\":\"198.51.100.1\",\"interval\":30,\"timeout\":5,\"timeoutcount\":-3}";
    const Case cases[] = {
        {.what = "ping GET",
         .call = get("ping.cgi"),
         .given = {{"ping_server", "example.net"},
                   {"ping_interval", "60"},
                   {"ping_timeout", ""},
                   {"ping_count", "x"}},
         .answer = "{\"server\":\"example.net\",\"interval\":60,\"timeout\":0,\"timeoutcount\":0}",
         .calls = ""},
        {.what = "ping POST",
         .call = post("ping.cgi", ping_full),
         .answer = "{\"result\":0}",
         .stored = {{"ping_server", "198.51.100.1"},
                    {"ping_interval", "30"},
                    {"ping_timeout", "5"},
                    {"ping_count", "-3"}},
         .calls = ""},
        {.what = "ping POST without a count",
         .call = post("ping.cgi", "{\"server\":\"a\",\"interval\":1,\"timeout\":1}"),
         .answer = "{\"result\":-1}",
         .unchanged = true,
         .calls = ""},
        {.what = "ping POST with a text interval",
         .call = post("ping.cgi",
                      "{\"server\":\"a\",\"interval\":\"1\",\"timeout\":1,\"timeoutcount\":1}"),
         .answer = "{\"result\":-1}",
         .unchanged = true,
         .calls = ""},
        {.what = "ping PUT",
         .call = {.page = "ping.cgi", .method = "PUT", .body = ping_full},
         .answer = "{\"result\":-1}",
         .unchanged = true,
         .calls = ""},

        {.what = "checkconn GET, on",
         .call = get("checkconn.cgi"),
         .given = {{"reboot_on_disconnect", "1"}, {"reboot_disconnect_time", "30"}},
         .answer = "{\"time\":30}",
         .calls = ""},
        {.what = "checkconn GET, off keeps its time hidden",
         .call = get("checkconn.cgi"),
         .given = {{"reboot_on_disconnect", "0"}, {"reboot_disconnect_time", "30"}},
         .answer = "{\"time\":0}",
         .calls = ""},
        {.what = "checkconn POST on",
         .call = post("checkconn.cgi", "{\"time\":45}"),
         .answer = "{\"result\":0}",
         .stored = {{"reboot_on_disconnect", "1"}, {"reboot_disconnect_time", "45"}},
         .calls = ""},
        {.what = "checkconn POST off keeps the time",
         .call = post("checkconn.cgi", "{\"time\":0}"),
         .given = {{"reboot_on_disconnect", "1"}, {"reboot_disconnect_time", "30"}},
         .answer = "{\"result\":0}",
         .stored = {{"reboot_on_disconnect", "0"}, {"reboot_disconnect_time", "30"}},
         .calls = ""},
        {.what = "checkconn POST without time",
         .call = post("checkconn.cgi", "{\"time\":\"5\"}"),
         .answer = "{\"result\":-1}",
         .unchanged = true,
         .calls = ""},
        {.what = "checkconn DELETE",
         .call = {.page = "checkconn.cgi", .method = "DELETE"},
         .answer = "{\"result\":-1}",
         .unchanged = true,
         .calls = ""},

        {.what = "autoreboot GET",
         .call = get("autoreboot.cgi"),
         .given = {{"auto_reboot_mode", "2"}, {"auto_reboot_time", "180"}},
         .answer = "{\"auto_reboot_mode\":2,\"auto_reboot_time\":180}",
         .calls = ""},
        {.what = "autoreboot POST signals the daemon",
         .call = post("autoreboot.cgi", "{\"auto_reboot_mode\":1,\"auto_reboot_time\":24}"),
         .answer = "{\"result\":0}",
         .stored = {{"auto_reboot_mode", "1"}, {"auto_reboot_time", "24"}},
         .calls = "killall -SIGUSR2 lted\n"},
        {.what = "autoreboot POST off keeps the time",
         .call = post("autoreboot.cgi", "{\"auto_reboot_mode\":0}"),
         .given = {{"auto_reboot_mode", "2"}, {"auto_reboot_time", "180"}},
         .answer = "{\"result\":0}",
         .stored = {{"auto_reboot_mode", "0"}, {"auto_reboot_time", "180"}},
         .calls = "killall -SIGUSR2 lted\n"},
        {.what = "autoreboot POST without its time stores the mode only",
         .call = post("autoreboot.cgi", "{\"auto_reboot_mode\":1}"),
         .given = {{"auto_reboot_mode", "0"}, {"auto_reboot_time", "180"}},
         .answer = "{\"result\":-1}",
         .stored = {{"auto_reboot_mode", "1"}, {"auto_reboot_time", "180"}},
         .calls = ""},
        {.what = "autoreboot POST with a text mode",
         .call = post("autoreboot.cgi", "{\"auto_reboot_mode\":\"1\",\"auto_reboot_time\":1}"),
         .answer = "{\"result\":-1}",
         .unchanged = true,
         .calls = ""},
    };
    for (const Case &c : cases)
        run(c);
}

// --- dtu.cgi ---

struct DtuKey {
    const char *key;
    const char *store;
    bool text;
};
const DtuKey kDtu[] = {
    {"dtu_enable", "dtu_enable", false},
    {"dtu_serial_baud", "dtu_serial_baud", false},
    {"dtu_serial_bits", "dtu_serial_bits", false},
    {"dtu_serial_parity", "dtu_serial_parity", true},
    {"dtu_serial_stop", "dtu_serial_stop", false},
    {"dtu_serial_frametime", "dtu_serial_frametime", false},
    {"dtu_serial_framelength", "dtu_serial_framelength", false},
    {"dtu_conn_type", "dtu_conn_type", false},
    {"dtu_conn_server", "dtu_conn_server", true},
    {"dtu_conn_port", "dtu_conn_port", false},
    {"dtu_conn_enable", "dtu_conn_enable", false},
    {"dtu_conn_reg_enable", "dtu_conn_reg_enable", false},
    {"dtu_conn_reg_mode", "dtu_conn_reg_mode", false},
    {"dtu_conn_reg_type", "dtu_conn_reg_type", false},
    {"dtu_conn_reg_data_fmt", "dtu_conn_reg_data_fmt", false},
    {"dtu_conn_reg_data", "dtu_conn_reg_data", true},
    {"dtu_conn_heartbeat_enable", "dtu_conn_heartbeat_enable", false},
    {"dtu_conn_heartbeat_type", "dtu_conn_heartbeat_type", false},
    {"dtu_conn_heartbeat_time", "dtu_conn_heartbeat_time", false},
    {"dtu_conn_heartbeat_data_fmt", "dtu_conn_heartbeat_data_fmt", false},
    {"dtu_conn_heartbeat_data", "dtu_conn_heartbeat_data", true},
    {"dtu_gps_state", "dtu_gpsen", false},
    {"dtu_gps_time", "dtu_gpstm", false},
    {"dtu_gps_type", "dtu_gpstype", false},
};

// A JSON object of every key but skip, numbers i - 5 and texts "t<i> ..."
// (the one at mistype gets the other type).
std::string dtu_body(int skip, int mistype, const std::string &long_text = "") {
    std::string body = "{";
    for (int i = 0; i < 24; i++) {
        if (i == skip) continue;
        bool text = kDtu[i].text != (i == mistype);
        if (body.size() > 1) body += ",";
        body += "\"" + std::string(kDtu[i].key) + "\":";
        body += text ? "\"t" + std::to_string(i) + " =,\\\"" + (i == 15 ? long_text : "") + "\""
                     : std::to_string(i - 5);
    }
    return body + "}";
}

TEST(DevicePages, Dtu) {
    KeyValues given, stored;
    std::string get_answer = "{";
    for (int i = 0; i < 24; i++) {
        const DtuKey &k = kDtu[i];
        // every other key holds a value; the others hold what answers 0 or ""
        if (i % 2 == 0)
            given.push_back({k.store, k.text ? "v" + std::to_string(i) : std::to_string(i * 100)});
        else
            given.push_back({k.store, k.text ? "" : "none"});
        if (i) get_answer += ",";
        get_answer += "\"" + std::string(k.key) + "\":";
        if (k.text)
            get_answer += "\"" + std::string(i % 2 == 0 ? "v" + std::to_string(i) : "") + "\"";
        else
            get_answer += std::to_string(i % 2 == 0 ? i * 100 : 0);
        stored.push_back(
            {k.store, k.text ? "t" + std::to_string(i) + " =,\"" : std::to_string(i - 5)});
    }
    get_answer += "}";
    const Case cases[] = {
        {.what = "GET", .call = get("dtu.cgi"), .given = given, .answer = get_answer, .calls = ""},
        {.what = "POST",
         .call = post("dtu.cgi", dtu_body(-1, -1)),
         .answer = "{\"result\":0}",
         .stored = stored,
         .calls = "killall uartd\nuartd\n"},
        {.what = "POST beyond the store's room",
         .call = post("dtu.cgi", dtu_body(-1, -1, std::string(20000, 'x'))),
         .answer = "{\"result\":-1}",
         .calls = ""},
        {.what = "PUT",
         .call = {.page = "dtu.cgi", .method = "PUT", .body = dtu_body(-1, -1)},
         .answer = "{\"result\":-1}",
         .unchanged = true,
         .calls = ""},
    };
    for (const Case &c : cases)
        run(c);
    for (int i = 0; i < 24; i++) {
        run({.what = std::string("without ") + kDtu[i].key,
             .call = post("dtu.cgi", dtu_body(i, -1)),
             .answer = "{\"result\":-1}",
             .unchanged = true,
             .calls = ""});
        run({.what = std::string("mistyped ") + kDtu[i].key,
             .call = post("dtu.cgi", dtu_body(-1, i)),
             .answer = "{\"result\":-1}",
             .unchanged = true,
             .calls = ""});
    }
}

} // namespace
