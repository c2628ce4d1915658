#include "pages_device.h"

#include "page_util.h"
#include "pages_events.h"
#include "ping_settings.h"
#include "platform.h"
#include "sys_utils.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cJSON.h>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>

namespace {

bool equals(const char *a, const char *b) {
    return strcmp(a, b) == 0;
}

using F = FieldType;

// --- client.cgi ---

constexpr char kLeaseFile[] = "/var/udhcpd.leases";
constexpr size_t kLeaseRecord = 40;
constexpr char kArpTable[] = "/proc/net/arp";
constexpr char kWifiInterface[] = "ra0";
constexpr size_t kStationMax = 116;
constexpr size_t kStationEntry = 40;

uint32_t big_endian32(const unsigned char *p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

// The driver writes its words in the router's own byte order.
uint32_t host32(const unsigned char *p) {
    uint32_t v;
    memcpy(&v, p, sizeof v);
    return v;
}

void answer_mac(cJSON *item, const unsigned char *m) {
    char text[18];
    snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", m[0], m[1], m[2], m[3], m[4],
             m[5]);
    answer_string(item, "mac", text);
}

// The next element of the answer's array key; the array is added at its
// first element, so an empty source leaves the key out.
cJSON *next_element(cJSON *answer, const char *key, cJSON **array) {
    if (!*array) {
        *array = cJSON_CreateArray();
        if (!*array) return nullptr;
        if (!cJSON_AddItemToObjectCS(answer, key, *array)) {
            cJSON_Delete(*array);
            *array = nullptr;
            return nullptr;
        }
    }
    cJSON *item = cJSON_CreateObject();
    if (item && !cJSON_AddItemToArray(*array, item)) {
        cJSON_Delete(item);
        item = nullptr;
    }
    return item;
}

void client_leases(cJSON *answer) {
    RouterPath path(kLeaseFile);
    FILE *f = fopen(path.c_str(), "rbe");
    if (!f) return;
    cJSON *list = nullptr;
    unsigned char record[kLeaseRecord];
    while (fread(record, 1, sizeof record, f) == sizeof record) {
        cJSON *item = next_element(answer, "dhcp", &list);
        if (!item) break;
        record[15] = '\0';
        answer_string(item, "hostname", reinterpret_cast<const char *>(record));
        answer_mac(item, record + 16);
        char ip[INET_ADDRSTRLEN];
        in_addr address;
        memcpy(&address, record + 32, sizeof address);
        answer_string(item, "ip", inet_ntop(AF_INET, &address, ip, sizeof ip) ? ip : "");
        answer_number(item, "expires", big_endian32(record + 36));
    }
    fclose(f);
}

void client_arp(cJSON *answer) {
    RouterPath path(kArpTable);
    FILE *f = fopen(path.c_str(), "re");
    if (!f) return;
    cJSON *list = nullptr;
    char line[256];
    if (fgets(line, sizeof line, f)) { // the header
        while (fgets(line, sizeof line, f)) {
            char *column[6];
            if (str_split(line, column, 6, " \t\r\n") != 6) break;
            cJSON *item = next_element(answer, "arp", &list);
            if (!item) break;
            answer_string(item, "ip", column[0]);
            answer_number(item, "HWtype", strtoul(column[1], nullptr, 0));
            answer_number(item, "Flags", strtoul(column[2], nullptr, 0));
            answer_string(item, "mac", column[3]);
            answer_string(item, "device", column[5]);
        }
    }
    fclose(f);
}

void client_stations(cJSON *answer) {
    // zeroed, and read no further than the driver filled it: a count larger
    // than its entries must not send stack bytes out as addresses
    alignas(8) unsigned char reply[4 + kStationMax * kStationEntry] = {};
    int filled = wifi_station_table_request(kWifiInterface, reply, sizeof reply);
    if (filled < 4) return;
    uint32_t count = host32(reply);
    size_t entries = (static_cast<size_t>(filled) - 4) / kStationEntry; // at most kStationMax
    if (count > entries) count = static_cast<uint32_t>(entries);
    cJSON *list = nullptr;
    for (uint32_t i = 0; i < count; i++) {
        const unsigned char *entry = reply + 4 + i * kStationEntry;
        cJSON *item = next_element(answer, "sta", &list);
        if (!item) break;
        answer_mac(item, entry + 1);
        answer_number(item, "Psm", entry[8]);
        answer_number(item, "BW", (host32(entry + 20) & 0x80u) ? 1 : 0);
        answer_number(item, "ConnectedTime", host32(entry + 16));
    }
}

// --- diag.cgi ---

constexpr char kModemTypeFile[] = "/var/run/mdm_type";
constexpr unsigned kBridgeRestartWait = 2;

// The bridges open whatever device they are given: only a terminal may be
// relayed, never a flash partition or another file.
bool bridge_device_ok(std::string_view path) {
    return path.starts_with("/dev/tty") && path.find("..") == std::string_view::npos;
}

// tracelink's options as its getopt_long reads them ("tusc:p:d:", the long
// names abbreviated as far as they stay unique, "--" ending the options,
// operands anywhere): every device given must be acceptable.
bool tracelink_devices_ok(char *const *words, int n) {
    struct LongOption {
        std::string_view name;
        char letter;
    };
    static constexpr LongOption kLong[] = {{"tcp", 't'},    {"udp", 'u'},  {"server", 's'},
                                           {"client", 'c'}, {"port", 'p'}, {"device", 'd'}};
    constexpr std::string_view kWithArgument = "cpd";
    for (int i = 0; i < n; i++) {
        std::string_view word = words[i];
        if (word == "--") break;
        if (word.size() < 2 || word[0] != '-') continue; // an operand
        char letter = 0;
        std::string_view value;
        bool attached = false;
        if (word[1] == '-') {
            // no substr: it would bring the C++ library's exceptions into the router build
            std::string_view body = word;
            body.remove_prefix(2);
            size_t equals = body.find('=');
            std::string_view name(body.data(), std::min(equals, body.size()));
            int matches = 0;
            for (const LongOption &o : kLong) {
                if (o.name == name) { // an exact name wins
                    letter = o.letter;
                    matches = 1;
                    break;
                }
                if (!name.empty() && o.name.starts_with(name)) {
                    letter = o.letter;
                    matches++;
                }
            }
            if (matches != 1 || kWithArgument.find(letter) == std::string_view::npos) continue;
            attached = equals != std::string_view::npos;
            if (attached) {
                value = body;
                value.remove_prefix(equals + 1);
            }
        } else {
            size_t at = word.find_first_of(kWithArgument, 1);
            if (at == std::string_view::npos) continue; // flags only
            letter = word[at];
            attached = at + 1 < word.size();
            if (attached) {
                value = word;
                value.remove_prefix(at + 1);
            }
        }
        if (!attached) {
            if (i + 1 == n) break; // a missing argument: no device
            value = words[++i];
        }
        if (letter == 'd' && !bridge_device_ok(value)) return false;
    }
    return true;
}

// sercat reads an address, then an optional device.
bool sercat_devices_ok(char *const *word, int n) {
    return n < 2 || bridge_device_ok(word[1]);
}

struct Bridge {
    const char *modem_type;
    const char *stop;
    const char *program; // started as "<program> <param> &"
    // the options split into words as the shell splits them
    bool (*devices_ok)(char *const *word, int n);
};

constexpr Bridge kBridges[] = {
    {"asr", "killall tracelinkd", "tracelinkd", tracelink_devices_ok},
    {"mdm9x07", "killall sercat", "sercat", sercat_devices_ok},
};

const Bridge *bridge_of(const char *modem_type) {
    for (const Bridge &b : kBridges)
        if (equals(b.modem_type, modem_type)) return &b;
    return nullptr;
}

// --- dtu.cgi ---

constexpr unsigned kUartdRestartWait = 2;

// In the order of the GET answer.
constexpr StoreField kDtu[] = {
    {"dtu_enable", "dtu_enable", F::Number},
    {"dtu_serial_baud", "dtu_serial_baud", F::Number},
    {"dtu_serial_bits", "dtu_serial_bits", F::Number},
    {"dtu_serial_parity", "dtu_serial_parity", F::Text},
    {"dtu_serial_stop", "dtu_serial_stop", F::Number},
    {"dtu_serial_frametime", "dtu_serial_frametime", F::Number},
    {"dtu_serial_framelength", "dtu_serial_framelength", F::Number},
    {"dtu_conn_type", "dtu_conn_type", F::Number},
    {"dtu_conn_server", "dtu_conn_server", F::Text},
    {"dtu_conn_port", "dtu_conn_port", F::Number},
    {"dtu_conn_enable", "dtu_conn_enable", F::Number},
    {"dtu_conn_reg_enable", "dtu_conn_reg_enable", F::Number},
    {"dtu_conn_reg_mode", "dtu_conn_reg_mode", F::Number},
    {"dtu_conn_reg_type", "dtu_conn_reg_type", F::Number},
    {"dtu_conn_reg_data_fmt", "dtu_conn_reg_data_fmt", F::Number},
    {"dtu_conn_reg_data", "dtu_conn_reg_data", F::Text},
    {"dtu_conn_heartbeat_enable", "dtu_conn_heartbeat_enable", F::Number},
    {"dtu_conn_heartbeat_type", "dtu_conn_heartbeat_type", F::Number},
    {"dtu_conn_heartbeat_time", "dtu_conn_heartbeat_time", F::Number},
    {"dtu_conn_heartbeat_data_fmt", "dtu_conn_heartbeat_data_fmt", F::Number},
    {"dtu_conn_heartbeat_data", "dtu_conn_heartbeat_data", F::Text},
    {"dtu_gps_state", "dtu_gpsen", F::Number},
    {"dtu_gps_time", "dtu_gpstm", F::Number},
    {"dtu_gps_type", "dtu_gpstype", F::Number},
};

// Every key is checked before any is stored; the connection switch is
// stored before the server, port and type, the rest in answer order.
int dtu_post(const PageRequest &req) {
    const cJSON *r = req.request;
    std::span<const StoreField> all = kDtu;
    if (!request_has_fields(r, all)) return answer_result(req.answer, -1);
    int rc = store_fields(r, all.first(7));
    if (rc == 0) rc = store_fields(r, all.subspan(10, 1));
    if (rc == 0) rc = store_fields(r, all.subspan(8, 2));
    if (rc == 0) rc = store_fields(r, all.subspan(7, 1));
    if (rc == 0) rc = store_fields(r, all.subspan(11));
    if (rc != 0) return answer_result(req.answer, -1);
    do_system_call("killall uartd");
    boot_clock_sleep(kUartdRestartWait);
    cgi_run_background("uartd &");
    return answer_result(req.answer, 0);
}

// --- ping.cgi, checkconn.cgi, autoreboot.cgi ---

constexpr StoreField kPing[] = {
    {"server", "ping_server", F::Text},
    {"interval", "ping_interval", F::Number},
    {"timeout", "ping_timeout", F::Number},
    {"timeoutcount", "ping_count", F::Number},
};

// The modem daemon would read a number outside its range as the factory value:
// such a request is refused rather than stored.
constexpr struct {
    const char *json_key;
    const SettingRange &range;
} kPingRanges[] = {
    {"interval", PING_INTERVAL_RANGE},
    {"timeout", PING_TIMEOUT_RANGE},
    {"timeoutcount", PING_COUNT_RANGE},
};

int ping_post(const PageRequest &req) {
    for (const auto &r : kPingRanges) {
        int value;
        if (request_number(req.request, r.json_key, &value) && !setting_in_range(r.range, value))
            return answer_result(req.answer, -1);
    }
    return post_fields(req, kPing, FollowUpAction::None);
}

constexpr char kRebootOnDisconnect[] = "reboot_on_disconnect";
constexpr char kRebootDisconnectTime[] = "reboot_disconnect_time";
constexpr char kAutoRebootMode[] = "auto_reboot_mode";
constexpr char kAutoRebootTime[] = "auto_reboot_time";
constexpr char kReplanReboot[] = "killall -SIGUSR2 lted";
// minutes, 0 for off; a week at most, as the browser offers
constexpr int kDisconnectTimeMax = 7 * 24 * 60;

int checkconn_get(const PageRequest &req) {
    int time = store_get_int(kRebootOnDisconnect) != 0 ? store_get_int(kRebootDisconnectTime) : 0;
    answer_number(req.answer, "time", time);
    return cgi_send_json(req.answer);
}

int checkconn_post(const PageRequest &req) {
    int time;
    if (!request_number(req.request, "time", &time) || time < 0 || time > kDisconnectTimeMax)
        return answer_result(req.answer, -1);
    int rc = store_set(kRebootOnDisconnect, time != 0 ? "1" : "0");
    // switching off keeps the time for the next switch-on
    if (rc == 0 && time != 0) rc = store_set_int(kRebootDisconnectTime, time);
    return answer_change(req, rc, FollowUpAction::None);
}

int autoreboot_get(const PageRequest &req) {
    answer_number(req.answer, kAutoRebootMode, store_get_int(kAutoRebootMode));
    answer_number(req.answer, kAutoRebootTime, store_get_int(kAutoRebootTime));
    return cgi_send_json(req.answer);
}

int autoreboot_post(const PageRequest &req) {
    int mode, time;
    if (!request_number(req.request, kAutoRebootMode, &mode)) return answer_result(req.answer, -1);
    // the mode is stored before the time is checked: a refused time leaves
    // the new mode stored and the daemon unsignalled
    if (store_set_int(kAutoRebootMode, mode) != 0) return answer_result(req.answer, -1);
    if (mode != 0) {
        if (!request_number(req.request, kAutoRebootTime, &time) ||
            store_set_int(kAutoRebootTime, time) != 0)
            return answer_result(req.answer, -1);
    }
    do_system_call(kReplanReboot);
    return answer_result(req.answer, 0);
}

} // namespace

int page_client(const PageRequest &req) {
    do_system_call("killall -q -USR1 udhcpd"); // the server writes its leases out
    client_leases(req.answer);
    client_arp(req.answer);
    client_stations(req.answer);
    return cgi_send_json(req.answer);
}

int page_diag(const PageRequest &req) {
    int start;
    if (!request_number(req.request, "start", &start)) return answer_result(req.answer, -1);
    const char *param = nullptr;
    if (start != 0) {
        param = request_string(req.request, "param");
        if (!param || !text_is_shell_safe(param)) return answer_result(req.answer, -1);
    }
    char modem_type[32];
    if (read_file_string(kModemTypeFile, modem_type, sizeof modem_type) != 0) modem_type[0] = '\0';
    const Bridge *bridge = bridge_of(modem_type);
    if (!bridge) return answer_result(req.answer, 0);
    char start_command[256];
    if (start != 0) {
        // a cut line would lose its "&" and keep the request waiting on the bridge
        int n = snprintf(start_command, sizeof start_command, "%s %s &", bridge->program, param);
        if (n < 0 || static_cast<size_t>(n) >= sizeof start_command)
            return answer_result(req.answer, -1);
        // the text fits the command line, so all its words fit here
        char options[sizeof start_command];
        snprintf(options, sizeof options, "%s", param);
        constexpr int kMaxWords = sizeof options / 2;
        char *word[kMaxWords];
        if (!bridge->devices_ok(word, str_split(options, word, kMaxWords, " ")))
            return answer_result(req.answer, -1);
    }
    do_system_call(bridge->stop);
    if (start != 0) {
        boot_clock_sleep(kBridgeRestartWait);
        cgi_run_background(start_command);
    }
    return answer_result(req.answer, 0);
}

int page_dtu(const PageRequest &req) {
    return page_by_method(req, flat_get<kDtu>, dtu_post);
}

int page_ping(const PageRequest &req) {
    return page_by_method(req, flat_get<kPing>, ping_post);
}

int page_checkconn(const PageRequest &req) {
    return page_by_method(req, checkconn_get, checkconn_post);
}

int page_autoreboot(const PageRequest &req) {
    return page_by_method(req, autoreboot_get, autoreboot_post);
}

int page_reboot(const PageRequest &req) {
    restart_reason_store("reboot from the web interface");
    req.context->follow_up = FollowUpAction::Reboot;
    return answer_result(req.answer, 0);
}
