// The reactor of a program: timers named by their callback, descriptor
// watches and signals, on one select() wait. Every operation is thread-safe;
// callbacks run on the thread that runs event_loop(), without the lock held.
#pragma once

#include <cstdint>

struct EventLoop;

// Boot-clock time or interval: seconds and microseconds.
struct EventTime {
    int32_t sec;
    int32_t usec;
};

constexpr int EVENT_TIME_NOW = 0x1;
constexpr int EVENT_TIME_REPEAT = 0x2;
constexpr int EVENT_TIME_REPLACE = 0x4;
constexpr int EVENT_TIME_ARG_ONLY = 0x100;

constexpr int EVENT_FILE_READ = 0x1;
constexpr int EVENT_FILE_WRITE = 0x2;

using EventTimeFn = void (*)(EventLoop *loop, void *arg);
// With EVENT_TIME_ARG_ONLY the timer's callback takes the arg alone; pass it
// through event_arg_only() wherever a timer callback is expected.
using EventArgFn = void (*)(void *arg);
using EventFileFn = void (*)(EventLoop *loop, int fd, int events, void *userdata);
using EventSignalFn = void (*)(EventLoop *loop, int signum, void *userdata);

// (void (*)() is the generic function pointer type: casting through it is allowed.)
inline EventTimeFn event_arg_only(EventArgFn fn) {
    return reinterpret_cast<EventTimeFn>(reinterpret_cast<void (*)()>(fn));
}

EventLoop *event_create(void *userdata);
// 0 after event_exit(); -1 when the wait fails for good.
int event_loop(EventLoop *loop);
int event_exit(EventLoop *loop);
void *event_userdata(EventLoop *loop);
void event_free(EventLoop *loop);
int event_wakeup(EventLoop *loop);
int event_now(EventTime *out);
bool event_time_before(const EventTime &a, const EventTime &b);

int __event_add_time_callback(EventLoop *loop, const EventTime *interval, int flags,
                              EventTimeFn callback, void *arg);
int event_del_time_callback(EventLoop *loop, EventTimeFn callback);
int __event_add_signal_callback(EventLoop *loop, int signum, EventSignalFn callback,
                                void *userdata);
// Descriptors at or above FD_SETSIZE cannot be watched and are refused.
int __event_add_file_callback(EventLoop *loop, int fd, int events, EventFileFn callback,
                              void *userdata);
int event_del_file_callback(EventLoop *loop, int fd);
