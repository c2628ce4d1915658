#include "pages_modem.h"

#include "at_tok.h"
#include "daemon_client.h"
#include "nvram_env.h"
#include "page_util.h"
#include "platform.h"
#include "sys_utils.h"

#include <arpa/inet.h>
#include <cJSON.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>

namespace {

constexpr int kOemSection = 5;
constexpr unsigned kPinSettleSeconds = 5;
constexpr int kLocationTries = 19;
constexpr unsigned kLocationPauseMs = 500;

bool equals(const char *a, const char *b) {
    return strcmp(a, b) == 0;
}

// --- home.cgi ---

struct FileKey {
    const char *key;
    const char *path;
};

constexpr FileKey kWanDhcpFiles[] = {
    {"netmask", "/var/run/dhcpc/eth2.2/netmask"},
    {"netgateway", "/var/run/dhcpc/eth2.2/gw"},
    {"netdns", "/var/run/dhcpc/eth2.2/dns"},
    {"netdns2", "/var/run/dhcpc/eth2.2/dns2"},
};

constexpr const char *kHomeWanKeys[] = {"netstat",    "netip",  "netmask",
                                        "netgateway", "netdns", "netdns2"};

enum class Kind { Text, Number };
struct LineKey {
    const char *key;
    Kind kind;
};

constexpr LineKey kHomeModemKeys[] = {
    {"modemversion", Kind::Text}, {"imei", Kind::Text},    {"simstate", Kind::Text},
    {"imsi", Kind::Text},         {"cnum", Kind::Text},    {"voicereg", Kind::Number},
    {"datareg", Kind::Number},    {"nettype", Kind::Text}, {"csq", Kind::Number},
    {"rsrp", Kind::Text},         {"rsrq", Kind::Text},    {"rscp", Kind::Text},
};
constexpr int kHomeLines = 18;

void answer_address(cJSON *answer, const char *key, uint32_t address) {
    char text[INET_ADDRSTRLEN];
    in_addr a{address};
    answer_string(answer, key, inet_ntop(AF_INET, &a, text, sizeof text) ? text : "");
}

void home_wan_dhcp(cJSON *answer) {
    char value[4096];
    bool up = read_file_string("/var/run/dhcpc/eth2.2/ip", value, sizeof value) == 0;
    if (up) answer_string(answer, "netip", value);
    answer_string(answer, "netstat", up ? "connected" : "disconnected");
    for (const FileKey &f : kWanDhcpFiles)
        if (read_file_string(f.path, value, sizeof value) == 0) answer_string(answer, f.key, value);
}

void home_wan_static(cJSON *answer) {
    uint32_t address;
    bool up = ifc_get_addr("eth2.2", &address) == 0;
    if (up) answer_address(answer, "netip", address);
    answer_string(answer, "netstat", up ? "connected" : "disconnected");
    if (ifc_get_netmask("eth2.2", &address) == 0) answer_address(answer, "netmask", address);
}

void home_modem(cJSON *answer, DaemonConnection *daemon, bool mode_3g) {
    if (!daemon->connected()) return;
    const char *command[] = {"GETHOMEINFO"};
    char *lines[30];
    if (daemon->exchange(command, 1, lines, 30) < kHomeLines) return;
    int i = 0;
    if (mode_3g)
        for (const char *key : kHomeWanKeys)
            answer_string(answer, key, lines[i++]);
    i = 6;
    for (const LineKey &k : kHomeModemKeys) {
        if (k.kind == Kind::Number)
            answer_number_text(answer, k.key, lines[i]);
        else
            answer_string(answer, k.key, lines[i]);
        i++;
    }
}

// The stored version as it stands, else the firmware file's first line.
void home_firmware_version(cJSON *answer) {
    nvram_init(kOemSection);
    const char *stored = nvram_bufget(kOemSection, "version");
    bool have = stored[0] != '\0';
    if (have) answer_string(answer, "firmwareversion", stored); // before the cache is freed
    nvram_close(kOemSection);
    if (have) return;
    char version[128];
    if (read_file_string("/etc_ro/version", version, sizeof version) != 0) version[0] = '\0';
    answer_string(answer, "firmwareversion", version);
}

constexpr const char *kMemoryKeys[] = {"MemTotal", "MemFree"};

// "MemTotal" and "MemFree" in bytes, in the file's order.
void home_memory(cJSON *answer) {
    RouterPath path("/proc/meminfo");
    FILE *f = fopen(path.c_str(), "re");
    if (!f) return;
    char line[256];
    while (fgets(line, sizeof line, f)) {
        char *fields[2];
        if (str_split(line, fields, 2, " \t:\r\n") < 2) continue;
        char *end;
        unsigned long long kib = strtoull(fields[1], &end, 10);
        if (end == fields[1] || *end) continue;
        for (const char *key : kMemoryKeys)
            if (equals(fields[0], key)) answer_number(answer, key, static_cast<double>(kib) * 1024);
    }
    fclose(f);
}

// --- sim.cgi ---

constexpr size_t kPinMin = 4;
constexpr size_t kPinMax = 8;
constexpr size_t kPukLength = 8;

bool pin_ok(const char *pin) {
    size_t n = strlen(pin);
    return n >= kPinMin && n <= kPinMax && text_is_digits(pin);
}

// "SETSIM" over the same connection: 0 for the bare "SUCCESS:", else -1.
int sim_restart_poll(DaemonConnection *daemon) {
    const char *command[] = {"SETSIM"};
    char *lines[10];
    int n = daemon->exchange(command, 1, lines, 10);
    return n == 1 && equals(lines[0], "SUCCESS:") ? 0 : -1;
}

int sim_get(const PageRequest &req) {
    DaemonConnection daemon;
    if (daemon.connected()) {
        const char *command[] = {"GETSIMINFO"};
        char *lines[10];
        if (daemon.exchange(command, 1, lines, 10) >= 4) {
            answer_number_text(req.answer, "card_state", lines[0]);
            answer_number_text(req.answer, "pin_state", lines[1]);
            answer_number_text(req.answer, "pin_retries", lines[2]);
            answer_number_text(req.answer, "puk_retries", lines[3]);
            const char *pin = store_get("siminitpin");
            if (pin[0]) answer_string(req.answer, "sim_init_pin", pin);
        }
    }
    return answer_result(req.answer, -1);
}

int sim_post(const PageRequest &req) {
    const char *init_pin = request_string(req.request, "sim_init_pin");
    if (init_pin && strlen(init_pin) <= kPinMax) {
        // the daemon sends the stored PIN inside a quoted modem command
        if (init_pin[0] && !text_is_digits(init_pin)) return answer_result(req.answer, -1);
        return answer_result(req.answer, store_set("siminitpin", init_pin) == 0 ? 0 : -1);
    }

    const char *type = request_string(req.request, "type");
    const char *pin = request_string(req.request, "pin");
    const char *puk = request_string(req.request, "puk");
    const char *newpin = request_string(req.request, "newpin");
    const char *sim_pin = request_string(req.request, "sim_pin");
    // PINs and PUKs go inside a quoted modem command: digits only
    if ((pin && !pin_ok(pin)) || (newpin && !pin_ok(newpin)) ||
        (puk && (strlen(puk) != kPukLength || !text_is_digits(puk))) ||
        (sim_pin && (strlen(sim_pin) < kPinMin || strlen(sim_pin) > kPinMax)))
        return answer_result(req.answer, -1);

    DaemonConnection daemon;
    if (!daemon.connected()) return cgi_send_json(req.answer);
    if (!type) return answer_result(req.answer, -1);

    char at[64];
    enum class After { Nothing, SettleThenPoll, Poll } after;
    if (equals(type, "verify_pin") && pin) {
        snprintf(at, sizeof at, "AT+CPIN=\"%s\"", pin);
        after = After::SettleThenPoll;
    } else if (equals(type, "enable_pin") && pin) {
        snprintf(at, sizeof at, "AT+CLCK=\"SC\",1,\"%s\"", pin);
        after = After::Nothing;
    } else if (equals(type, "disable_pin") && pin) {
        snprintf(at, sizeof at, "AT+CLCK=\"SC\",0,\"%s\"", pin);
        after = After::Nothing;
    } else if (equals(type, "unblock_pin") && puk && newpin) {
        snprintf(at, sizeof at, "AT+CPIN=\"%s\",\"%s\"", puk, newpin);
        after = After::SettleThenPoll;
    } else if (equals(type, "change_pin") && pin && newpin) {
        snprintf(at, sizeof at, "AT+CPWD=\"SC\",\"%s\",\"%s\"", pin, newpin);
        after = After::Poll;
    } else {
        return answer_result(req.answer, -1);
    }

    const char *command[] = {"AT", at};
    char *lines[10];
    int n = daemon.exchange(command, 2, lines, 10);
    if (n < 1 || !equals(lines[0], "OK")) return cgi_send_json(req.answer);
    if (after == After::Nothing) return answer_result(req.answer, 0);
    if (after == After::SettleThenPoll) boot_clock_sleep(kPinSettleSeconds);
    return answer_result(req.answer, sim_restart_poll(&daemon));
}

// --- mobilenet.cgi ---

// The access point settings: store order of a POST and answer order of a GET.
constexpr StoreField kMobile[] = {
    {"wan_3g_apnmode", "wan_3g_apnmode", FieldType::Number},
    {"wan_3g_apn", "wan_3g_apn", FieldType::Text},
    {"wan_3g_user", "wan_3g_user", FieldType::Text},
    {"wan_3g_pass", "wan_3g_pass", FieldType::Text},
    {"wan_3g_authtype", "wan_3g_authtype", FieldType::Number},
    {"wan_3g_apn_reg", "wan_3g_apn_reg", FieldType::Text},
    {"wan_3g_user_reg", "wan_3g_user_reg", FieldType::Text},
    {"wan_3g_pass_reg", "wan_3g_pass_reg", FieldType::Text},
    {"wan_3g_authtype_reg", "wan_3g_authtype_reg", FieldType::Number},
};

int mobilenet_get(const PageRequest &req, DaemonConnection *daemon) {
    if (daemon->connected()) {
        const char *command[] = {"GETNETCFG"};
        char *lines[10];
        if (daemon->exchange(command, 1, lines, 10) >= 1)
            answer_number_text(req.answer, "netmodeconfig", lines[0]);
    }
    return answer_stored(req, kMobile);
}

// Every text field of kMobile, with what the daemon can carry of it inside a
// modem command line (text_is_at_safe, and more): it holds an access point
// name of 127 bytes and a user name or password of 255, and one dialect sends
// the latter unquoted, where ',' or ';' would split or chain the command.
struct TextLimit {
    const char *json_key;
    size_t max;
    bool unquoted;
};
constexpr TextLimit kMobileLimits[] = {
    {"wan_3g_apn", 127, false},     {"wan_3g_user", 255, true},     {"wan_3g_pass", 255, true},
    {"wan_3g_apn_reg", 127, false}, {"wan_3g_user_reg", 255, true}, {"wan_3g_pass_reg", 255, true},
};

int mobilenet_post(const PageRequest &req, DaemonConnection *daemon) {
    int mode;
    if (!request_number(req.request, "netmodeconfig", &mode) ||
        !request_has_fields(req.request, kMobile))
        return answer_result(req.answer, -1);
    for (const TextLimit &limit : kMobileLimits) {
        const char *text = request_string(req.request, limit.json_key);
        if (!text_is_at_safe(text) || strlen(text) > limit.max ||
            (limit.unquoted && strpbrk(text, ",;")))
            return answer_result(req.answer, -1);
    }

    if (daemon->connected()) {
        char decimal[16];
        snprintf(decimal, sizeof decimal, "%d", mode);
        const char *command[] = {"SETNETCFG", decimal};
        char *lines[10];
        daemon->exchange(command, 2, lines, 10);
    }
    return answer_result(req.answer, store_fields(req.request, kMobile) == 0 ? 0 : -1);
}

// --- gps.cgi ---

bool clock_time(char *line, char *out, size_t size) {
    char *cursor = line, *value;
    if (at_tok_start(&cursor) < 0 || at_tok_nextstr(&cursor, &value) < 0) return false;
    int yy, mo, dd, hh, mi, ss;
    if (sscanf(value, "%2d/%2d/%2d,%2d:%2d:%2d", &yy, &mo, &dd, &hh, &mi, &ss) != 6) return false;
    snprintf(out, size, "%04d-%02d-%02d %02d:%02d:%02d", yy + 2000, mo, dd, hh, mi, ss);
    return true;
}

void gps_location(cJSON *answer) {
    RouterPath connected("/tmp/connected");
    if (access(connected.c_str(), F_OK) != 0) return;
    char line[4096];
    for (int i = 0; i < kLocationTries; i++) {
        if (read_file_string("/tmp/clocation", line, sizeof line) != 0 || !line[0]) {
            boot_clock_sleep_ms(kLocationPauseMs);
            continue;
        }
        char *cursor = line, *latitude, *longitude;
        if (at_tok_start(&cursor) < 0 || at_tok_nextstr(&cursor, &latitude) < 0 ||
            at_tok_nextstr(&cursor, &longitude) < 0)
            return;
        if (!latitude[0] || !longitude[0] || equals(latitude, "0") || equals(longitude, "0"))
            return;
        answer_number(answer, "Longitude", atof(longitude));
        answer_number(answer, "Latitude", atof(latitude));
        return;
    }
}

} // namespace

int page_home(const PageRequest &req) {
    cJSON *answer = req.answer;
    const char *mode = store_get("wanConnectionMode");
    answer_string(answer, "netmode", mode);
    bool mode_dhcp = equals(mode, "DHCP"), mode_static = equals(mode, "STATIC");
    bool mode_3g = equals(mode, "3G");
    DaemonConnection daemon;
    if (mode_dhcp) home_wan_dhcp(answer);
    if (mode_static) home_wan_static(answer);
    home_modem(answer, &daemon, mode_3g);

    char iccid[32];
    answer_string(answer, "iccid",
                  read_file_string("/tmp/ICCID", iccid, sizeof iccid) == 0 ? iccid : "");
    answer_string(answer, "lanip", store_get("lan_ipaddr"));
    answer_string(answer, "lannetmask", store_get("lan_netmask"));
    unsigned char mac[6];
    if (ifc_get_hwaddr("ra0", mac) == 0) {
        char text[18];
        snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2], mac[3],
                 mac[4], mac[5]);
        answer_string(answer, "wifimac", text);
    }
    answer_string(answer, "ssid", store_get("SSID1"));
    home_firmware_version(answer);
    BootTime boot;
    answer_number(answer, "uptime", time_bootup(&boot) == 0 ? boot.sec : 0);
    timespec wall{};
    answer_number(answer, "devicetime",
                  wall_clock_now(&wall) == 0 ? static_cast<double>(wall.tv_sec) : 0);
    home_memory(answer);
    return cgi_send_json(answer);
}

int page_state(const PageRequest &req) {
    cJSON *answer = req.answer;
    answer_string(answer, "netmode", store_get("wanConnectionMode"));
    DaemonConnection daemon;
    if (daemon.connected()) {
        const char *command[] = {"GETSTATINFO"};
        char *lines[20];
        if (daemon.exchange(command, 1, lines, 20) >= 11) {
            static constexpr LineKey kKeys[] = {
                {"sim", Kind::Text},          {"srv_status", Kind::Number},
                {"srv_domain", Kind::Number}, {"sys_mode", Kind::Number},
                {"rssi", Kind::Number},       {"plmn", Kind::Text},
                {"operator", Kind::Text},     {"netstat", Kind::Text},
                {"signalbar", Kind::Number},  {"nettype", Kind::Text},
                {"netoperator", Kind::Text},
            };
            int i = 0;
            for (const LineKey &k : kKeys) {
                const char *line = lines[i++];
                if (k.kind == Kind::Text)
                    answer_string(answer, k.key, line);
                else if (line[0]) // an empty number line is left out
                    answer_number_text(answer, k.key, line);
            }
        }
    }
    answer_number_text(answer, "wifioff", store_get("WiFiOff"));
    return cgi_send_json(answer);
}

int page_mobilenet(const PageRequest &req) {
    DaemonConnection daemon;
    if (equals(req.method, "GET")) return mobilenet_get(req, &daemon);
    if (equals(req.method, "POST")) return mobilenet_post(req, &daemon);
    return answer_result(req.answer, -1);
}

int page_sim(const PageRequest &req) {
    if (equals(req.method, "GET")) return sim_get(req);
    if (equals(req.method, "POST")) return sim_post(req);
    return answer_result(req.answer, -1);
}

int page_gps(const PageRequest &req) {
    RouterPath location("/tmp/clocation");
    unlink(location.c_str());
    char time_text[64];
    {
        DaemonConnection daemon;
        if (!daemon.connected()) return cgi_send_json(req.answer);
        const char *locate[] = {"AT", "AT+CLOCATION"};
        char *lines[10];
        int n = daemon.exchange(locate, 2, lines, 10);
        if (n < 1 || !equals(lines[0], "OK")) return cgi_send_json(req.answer);
        const char *clock[] = {"ATSINGLELINE", "AT+CCLK?", "+CCLK:"};
        n = daemon.exchange(clock, 3, lines, 10);
        if (n < 2 || !equals(lines[1], "OK") || !clock_time(lines[0], time_text, sizeof time_text))
            return cgi_send_json(req.answer);
    } // the modem exchanges are done: the connection closes here
    answer_string(req.answer, "Time", time_text);
    gps_location(req.answer);
    return cgi_send_json(req.answer);
}
