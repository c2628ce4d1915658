#include "watchdog.h"

#include "events.h"
#include "log.h"
#include "network_poll.h"
#include "platform.h"
#include "ril_context.h"
#include "sys_utils.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kResolveAge = 1200; // seconds: the target is looked up again after this
constexpr size_t kReceiveSize = 1600;
constexpr EventTime kRebootDelay{5, 0};
constexpr EventTime kMinute{60, 0};
constexpr long kUptimeFloor = 120;

uint16_t own_id() {
    return static_cast<uint16_t>(getpid() & 0xFFFF);
}

int uptime() {
    BootTime t;
    time_bootup(&t);
    return t.sec;
}

// 0 stands for "unresolved": a lookup in the first second of uptime counts as 1.
int resolved_at(int t) {
    return t > 0 ? t : 1;
}

// now: the uptime at the start of the send; a lookup by name may take long
void resolve(ModemContext *ctx, int now) {
    ctx->ping_addr = 0;
    ctx->ping_addr_time = 0;
    in_addr a;
    if (inet_pton(AF_INET, ctx->ping_server, &a) == 1) {
        ctx->ping_addr = a.s_addr;
        ctx->ping_addr_time = resolved_at(now);
        return;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo *res = nullptr;
    if (getaddrinfo(ctx->ping_server, nullptr, &hints, &res) == 0 && res) {
        ctx->ping_addr = reinterpret_cast<sockaddr_in *>(res->ai_addr)->sin_addr.s_addr;
        ctx->ping_addr_time = resolved_at(uptime());
    }
    if (res) freeaddrinfo(res);
}

void put16(uint8_t *p, uint16_t v) {
    memcpy(p, &v, 2);
}
void put32(uint8_t *p, uint32_t v) {
    memcpy(p, &v, 4);
}
uint16_t get16(const uint8_t *p) {
    uint16_t v;
    memcpy(&v, p, 2);
    return v;
}

void close_socket(EventLoop *loop, ModemContext *ctx) {
    event_del_file_callback(loop, ctx->ping_sock);
    close(ctx->ping_sock);
    ctx->ping_sock = -1;
}

} // namespace

void ping_build_request(uint8_t out[PING_PACKET_SIZE], uint16_t id, uint16_t seq, uint32_t sec,
                        uint32_t usec) {
    memset(out, 0, PING_PACKET_SIZE);
    out[0] = 8; // echo request
    put16(out + 4, id);
    put16(out + 6, seq);
    put32(out + 8, sec);
    put32(out + 12, usec);
    uint16_t sum = inet_cksum(out, PING_PACKET_SIZE);
    put16(out + 2, sum);
}

int ping_reply_matches(const uint8_t *d, size_t n, uint16_t id, uint16_t seq) {
    if (n < 20 || (d[0] >> 4) != 4 || d[9] != 1) return 0;
    size_t hl = static_cast<size_t>(d[0] & 0x0F) * 4;
    size_t total = static_cast<size_t>(d[2]) << 8 | d[3];
    // the ICMP header lies behind a whole IPv4 header and inside the datagram
    if (hl < 20 || total < hl + 8 || n < total) return 0;
    const uint8_t *icmp = d + hl;
    return icmp[0] == 0 && get16(icmp + 4) == id && get16(icmp + 6) == seq ? 1 : 0;
}

uint16_t ping_next_seq(uint16_t seq) {
    return seq == 0xFFFF ? 1 : static_cast<uint16_t>(seq + 1);
}

int ping_send(ModemContext *ctx) {
    int now = uptime();
    if (ctx->ping_addr_time == 0 || now - ctx->ping_addr_time > kResolveAge) resolve(ctx, now);
    // armed first: a failed resolution or send counts like a lost reply
    EventTime timeout{ctx->ping_timeout, 0};
    __event_add_time_callback(ctx->loop, &timeout, EVENT_TIME_REPLACE, ping_timeout_callback,
                              nullptr);
    if (ctx->ping_addr_time == 0) return -1;
    if (ctx->ping_sock < 0) {
        ctx->ping_sock = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
        if (ctx->ping_sock < 0) return -1;
        __event_add_file_callback(ctx->loop, ctx->ping_sock, EVENT_FILE_READ, ping_reply_callback,
                                  ctx);
    }
    ctx->ping_seq = ping_next_seq(ctx->ping_seq);
    timespec wall{};
    wall_clock_now(&wall);
    uint8_t packet[PING_PACKET_SIZE];
    // the request's 32-bit seconds field wraps in 2106; nobody reads it back
    ping_build_request(packet, own_id(), ctx->ping_seq, static_cast<uint32_t>(wall.tv_sec),
                       static_cast<uint32_t>(wall.tv_nsec / 1000));
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = 0;
    to.sin_addr.s_addr = ctx->ping_addr;
    ssize_t sent = sendto(ctx->ping_sock, packet, sizeof packet, 0,
                          reinterpret_cast<sockaddr *>(&to), sizeof to);
    if (sent == static_cast<ssize_t>(sizeof packet)) {
        __log_str("lted: %s: send icmp echo, seq=0x%x\n", "ping_send", ctx->ping_seq);
        return 0;
    }
    __log_str("lted: %s: send icmp echo, seq=0x%x failed\n", "ping_send", ctx->ping_seq);
    return -1;
}

void ping_timer_callback(EventLoop *loop, void *) {
    ping_send(static_cast<ModemContext *>(event_userdata(loop)));
}

void ping_reply_callback(EventLoop *loop, int fd, int, void *userdata) {
    auto *ctx = static_cast<ModemContext *>(userdata);
    uint8_t buf[kReceiveSize];
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) return;
    if (n <= 0) {
        close_socket(loop, ctx); // the next request opens a new one
        return;
    }
    // a late reply carries an old sequence number: it never counts
    if (!ping_reply_matches(buf, static_cast<size_t>(n), own_id(), ctx->ping_seq)) return;
    __log_str("lted: %s: seq=0x%x\n", "ping_ok", ctx->ping_seq);
    event_del_time_callback(loop, ping_timeout_callback);
    ctx->ping_failures = 0;
    EventTime next{ctx->ping_interval, 0};
    __event_add_time_callback(loop, &next, 0, ping_timer_callback, nullptr);
}

void ping_timeout_callback(EventLoop *loop, void *) {
    auto *ctx = static_cast<ModemContext *>(event_userdata(loop));
    ctx->ping_failures += 1;
    event_add("watchdog: no echo reply from %s (%d of %d)", ctx->ping_server, ctx->ping_failures,
              ctx->ping_count > 1 ? ctx->ping_count : 1);
    if (ctx->ping_failures < ctx->ping_count) {
        ping_send(ctx);
        return;
    }
    __log_str("lted: %s: try reboot\n", "ping_timeout_callback");
    restart_reason_keep("watchdog: no echo reply");
    __event_add_time_callback(loop, &kRebootDelay, 0, reboot_command, nullptr);
}

bool auto_reboot_due(int mode, int time, long uptime_sec, int minute_of_day) {
    if (uptime_sec < kUptimeFloor) return false;
    if (mode == 1) {
        if (time <= 0) return false;
        long hours = uptime_sec / 3600;
        return hours >= time && hours % time == 0;
    }
    if (mode == 2) return time <= minute_of_day && minute_of_day <= time + 1;
    return false;
}

void ril_auto_reboot_init(ModemContext *ctx) {
    event_del_time_callback(ctx->loop, ril_auto_reboot_callback);
    __log_str("lted: %s init: reboot mode is %d\n", "ril_auto_reboot_init", ctx->auto_reboot_mode);
    if (ctx->auto_reboot_mode == 0) return;
    __event_add_time_callback(ctx->loop, &kMinute, EVENT_TIME_NOW | EVENT_TIME_REPEAT,
                              ril_auto_reboot_callback, nullptr);
}

void ril_auto_reboot_callback(EventLoop *loop, void *) {
    auto *ctx = static_cast<ModemContext *>(event_userdata(loop));
    int mode = ctx->auto_reboot_mode;
    timespec wall{};
    wall_clock_now(&wall);
    tm local{};
    localtime_r(&wall.tv_sec, &local);
    int minute = local.tm_hour * 60 + local.tm_min;
    if (!auto_reboot_due(mode, ctx->auto_reboot_time, uptime(), minute)) return;
    if (mode == 1) {
        __log_str("lted: %s: auto reboot hours %d try to reboot\n", "ril_auto_reboot_callback",
                  ctx->auto_reboot_time);
    } else {
        __log_str("lted: %s: %02d-%02d-%02d %02d:%02d:%02d\n", "ril_auto_reboot_callback",
                  local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                  local.tm_min, local.tm_sec);
        __log_str("lted: %s: auto reboot everyday %d try to reboot\n", "ril_auto_reboot_callback",
                  ctx->auto_reboot_time);
    }
    restart_reason_keep("scheduled reboot");
    do_system_call("reboot");
}
