#include "events.h"

#include "at_channel.h"
#include "event_history.h"
#include "fd_io.h"
#include "nvram_env.h"
#include "platform.h"
#include "sys_utils.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <strings.h>
#include <unistd.h>

namespace {

constexpr char kEventsNew[] = "/tmp/lted.events.new";
// What is kept of the file fits in its last EVENTS_MAX_BYTES bytes.
constexpr size_t kReadMax = EVENTS_MAX_BYTES;

// The AT reader thread reports a lost modem while the loop thread may be
// writing: one writer at a time.
pthread_mutex_t events_lock = PTHREAD_MUTEX_INITIALIZER;
// The file's text and one more line; used under the lock.
char history[kReadMax + EVENT_LINE_MAX];

unsigned long uptime_seconds() {
    BootTime t;
    return time_bootup(&t) == 0 && t.sec > 0 ? static_cast<unsigned long>(t.sec) : 0;
}

// Replaces the file as a whole: the web back end reads the old history or
// the new one, never half of one.
void write_history(const char *text, size_t len) {
    RouterPath tmp(kEventsNew), dest(EVENTS_FILE);
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    bool ok = fd_write_all(fd, text, len, nullptr) == 0;
    if (close(fd) != 0) ok = false;
    if (!ok || rename(tmp.c_str(), dest.c_str()) != 0) unlink(tmp.c_str());
}

} // namespace

size_t events_append(char *buf, size_t len, const char *line) {
    size_t kept = 0, lines = 0, n;
    // a kept line moves back, never over the lines still to read
    for (size_t at = 0; const char *old = event_next_line(buf, len, &at, &n);) {
        EventLine parsed;
        if (event_line_parse(old, n, &parsed)) {
            memmove(buf + kept, old, n + 1);
            kept += n + 1;
            lines++;
        }
    }
    n = strlen(line);
    memcpy(buf + kept, line, n);
    buf[kept + n] = '\n';
    kept += n + 1;
    lines++;
    size_t start = 0;
    while (lines > EVENTS_MAX_LINES || kept - start > EVENTS_MAX_BYTES) {
        const char *nl = static_cast<const char *>(memchr(buf + start, '\n', kept - start));
        start = static_cast<size_t>(nl - buf) + 1;
        lines--;
    }
    memmove(buf, buf + start, kept - start);
    return kept - start;
}

void event_add(const char *format, ...) {
    char raw[256];
    va_list ap;
    va_start(ap, format);
    vsnprintf(raw, sizeof raw, format, ap);
    va_end(ap);
    char text[EVENT_TEXT_MAX + 1];
    if (event_text_clean(text, sizeof text, raw) == 0) return;
    char now[EVENT_TIME_LEN + 1];
    event_wall_time(now);
    char line[EVENT_LINE_MAX];
    snprintf(line, sizeof line, "%s %lu %s", now, uptime_seconds(), text);

    pthread_mutex_lock(&events_lock);
    long len = event_file_tail(EVENTS_FILE, history, kReadMax);
    size_t n = events_append(history, len > 0 ? static_cast<size_t>(len) : 0, line);
    write_history(history, n);
    pthread_mutex_unlock(&events_lock);
}

void restart_reason_keep(const char *reason) {
    event_add("reboot: %s", reason);
    char value[RESTART_VALUE_MAX];
    restart_value_make(reason, value, sizeof value);
    nvram_init(NVRAM_CONFIG_SECTION);
    char kept_time[EVENT_TIME_LEN + 1], kept[EVENT_TEXT_MAX + 1];
    restart_value_split(nvram_bufget(NVRAM_CONFIG_SECTION, RESTART_REASON_KEY), kept_time, kept,
                        sizeof kept);
    if (strcmp(kept, reason) != 0) nvram_bufset(NVRAM_CONFIG_SECTION, RESTART_REASON_KEY, value);
    nvram_close(NVRAM_CONFIG_SECTION); // commits what was set
}

void restart_reason_publish() {
    nvram_init(NVRAM_CONFIG_SECTION);
    const char *value = nvram_bufget(NVRAM_CONFIG_SECTION, RESTART_REASON_KEY);
    bool set = value[0] != '\0';
    char time[EVENT_TIME_LEN + 1], reason[EVENT_TEXT_MAX + 1];
    restart_value_split(value, time, reason, sizeof reason);
    // /tmp starts empty with every boot: a restart file means lted ran before in this one
    RouterPath published(RESTART_FILE);
    bool same_boot = access(published.c_str(), F_OK) == 0;
    if (reason[0]) {
        event_add("restarted after: %s", reason);
        char line[RESTART_VALUE_MAX];
        snprintf(line, sizeof line, "%s%s%s", time, time[0] ? " " : "", reason);
        write_file_string(RESTART_FILE, line);
    } else if (same_boot) {
        // the last restart's reason still holds
        event_add("lted restarted; the router kept running");
    } else {
        event_add("restarted after %s", RESTART_UNKNOWN);
        write_file_string(RESTART_FILE, RESTART_UNKNOWN);
    }
    if (set) nvram_bufset(NVRAM_CONFIG_SECTION, RESTART_REASON_KEY, "");
    nvram_close(NVRAM_CONFIG_SECTION); // one commit, only when cleared
}

void event_lease_check(LeaseSeen *seen, int client_pid, const char *ifname) {
    char path[96], ip[64];
    int n = snprintf(path, sizeof path, "/var/run/dhcpc/%s/ip", ifname);
    if (n < 0 || static_cast<size_t>(n) >= sizeof path) return;
    if (read_file_string(path, ip, sizeof ip) != 0 || !ip[0]) return;
    if (client_pid == seen->pid && strcmp(ip, seen->ip) == 0) return;
    seen->pid = client_pid;
    snprintf(seen->ip, sizeof seen->ip, "%s", ip);
    event_add("DHCP lease obtained on %s: %s", ifname, ip);
}

void event_sim_command(const char *command, const AtReply *reply) {
    const char *what = nullptr;
    if (strncasecmp(command, "AT+CPIN=", 8) == 0)
        what = strchr(command, ',') ? "PUK and new PIN" : "PIN";
    else if (strncasecmp(command, "AT+CLCK=\"SC\",1", 14) == 0)
        what = "PIN lock on";
    else if (strncasecmp(command, "AT+CLCK=\"SC\",0", 14) == 0)
        what = "PIN lock off";
    else if (strncasecmp(command, "AT+CPWD=\"SC\"", 12) == 0)
        what = "PIN change";
    if (!what) return;
    if (reply && reply->success)
        event_add("%s from the web interface: accepted", what);
    else
        event_add("%s from the web interface: refused (%s)", what,
                  reply && reply->final_line ? reply->final_line : "no answer");
}
