// Two ways the router heals itself: the connectivity watchdog (ICMP echo
// requests to "ping_server"; a run of unanswered ones reboots) and the
// scheduled reboot (every N hours of uptime, or daily at a minute of the day).
#pragma once

#include "event_loop.h"

#include <cstddef>
#include <cstdint>

struct ModemContext;

constexpr size_t PING_PACKET_SIZE = 64;

// Sends the next echo request (resolving the server again when its address
// is unknown or 20 minutes old) and arms the reply time-out, also when
// sending fails. 0 when the 64 bytes went out, else -1.
int ping_send(ModemContext *context);
// Timer: ping_send with the loop's context.
void ping_timer_callback(EventLoop *loop, void *arg);
// Read watch of the raw socket: a matching reply clears the failures and
// plans the next request after ping_interval.
void ping_reply_callback(EventLoop *loop, int fd, int events, void *userdata);
// No reply in time: retry at once, or reboot after ping_count in a row.
void ping_timeout_callback(EventLoop *loop, void *arg);

// (Re)plans the scheduled reboot: a minute check while the mode is not 0.
void ril_auto_reboot_init(ModemContext *context);
void ril_auto_reboot_callback(EventLoop *loop, void *arg);

// The echo request: type 8, checksum, identifier, sequence and the send time
// (host byte order), zero padding.
void ping_build_request(uint8_t out[PING_PACKET_SIZE], uint16_t id, uint16_t seq, uint32_t sec,
                        uint32_t usec);
// 1 when the IPv4 datagram is an echo reply with this identifier and sequence.
int ping_reply_matches(const uint8_t *datagram, size_t length, uint16_t id, uint16_t seq);
// The sequence number after seq: 0xFFFF is followed by 1, 0 is never used.
uint16_t ping_next_seq(uint16_t seq);
// Whether the minute check reboots: mode 1 every `time` hours of uptime,
// mode 2 in the two minutes from minute-of-day `time`; never below 120 s.
bool auto_reboot_due(int mode, int time, long uptime_sec, int minute_of_day);
