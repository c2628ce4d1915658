// The reactor of a program: timers named by their callback, descriptor
// watches and signals, on one select() wait. Every operation is thread-safe;
// callbacks run on the thread that runs event_loop(), without the lock held,
// so a callback may call any operation on its own loop.
#pragma once

#include <cstdint>

struct EventLoop;

// Boot-clock time or interval: seconds and microseconds.
struct EventTime {
    int32_t sec;
    int32_t usec;
};

// Timer flags.
// The first run is at the time of the add; the interval serves for repeats.
constexpr int EVENT_TIME_NOW = 0x1;
// Re-armed after each run: next deadline = end of that dispatch pass + interval.
constexpr int EVENT_TIME_REPEAT = 0x2;
// Every other timer with the same callback, pending or running, is removed first.
constexpr int EVENT_TIME_REPLACE = 0x4;
// The callback is an EventArgFn and gets the arg alone.
constexpr int EVENT_TIME_ARG_ONLY = 0x100;

// Descriptor watch bits, requested and reported.
constexpr int EVENT_FILE_READ = 0x1;
constexpr int EVENT_FILE_WRITE = 0x2;

using EventTimeFn = void (*)(EventLoop *loop, void *arg);
// With EVENT_TIME_ARG_ONLY the timer's callback takes the arg alone; pass it
// through event_arg_only() wherever a timer callback is expected.
using EventArgFn = void (*)(void *arg);
// events: the ready bits among those requested (read, write or both).
using EventFileFn = void (*)(EventLoop *loop, int fd, int events, void *userdata);
using EventSignalFn = void (*)(EventLoop *loop, int signum, void *userdata);

// (void (*)() is the generic function pointer type: casting through it is allowed.)
inline EventTimeFn event_arg_only(EventArgFn fn) {
    return reinterpret_cast<EventTimeFn>(reinterpret_cast<void (*)()>(fn));
}

// A new loop with its wake-up pipe, or null when memory or the pipe cannot
// be had. userdata is returned by event_userdata and never interpreted.
EventLoop *event_create(void *userdata);
// Runs the loop on the calling thread until event_exit(): 0 then; -1 when
// the wait fails for good (an error other than EINTR or EBADF). Timers run
// only in a pass whose wait found no descriptor ready.
int event_loop(EventLoop *loop);
// Asks the loop to return (once; later calls change nothing). It returns
// after the callback running now; new timers and watches are refused from
// then on. 0; -1 for a null loop or when the wake-up write failed.
int event_exit(EventLoop *loop);
// The userdata given to event_create (null for a null loop).
void *event_userdata(EventLoop *loop);
// Exits, then frees every timer and watch, the pipe and the loop (null
// allowed). Must not run while event_loop runs on another thread. A signal
// that arrives later is ignored; the handlers stay installed.
void event_free(EventLoop *loop);
// Makes a waiting loop recompute its sets and time-out. At most one wake-up
// byte is in the pipe at a time. 0, or -1 when the pipe is gone or the
// write failed.
int event_wakeup(EventLoop *loop);
// The boot clock (zero on failure). 0 or -1.
int event_now(EventTime *out);
// a is earlier than b.
bool event_time_before(const EventTime &a, const EventTime &b);

// Adds a timer for callback(loop, arg) (or callback(arg) with
// EVENT_TIME_ARG_ONLY) after interval, then every interval with
// EVENT_TIME_REPEAT. A null interval means at the next timer dispatch, once
// (and is refused with EVENT_TIME_REPEAT). Timers with equal deadlines run
// in the order they were added. A deadline beyond the clock's range stays at
// its end instead of wrapping; a negative interval is due at once. 0; -1 for a null loop or
// callback, a refused interval, an exiting loop, no memory or no clock.
int __event_add_time_callback(EventLoop *loop, const EventTime *interval, int flags,
                              EventTimeFn callback, void *arg);
// Removes every timer of callback (null: every timer), pending or running:
// a running one is not re-armed. Number removed; -1 for a null loop.
int event_del_time_callback(EventLoop *loop, EventTimeFn callback);
// Calls callback(loop, signum, userdata) on the loop thread for each
// delivery of signum (1-255). The handler only writes the signal number into
// the pipe of the loop that registered a signal last. Watches stay until
// event_free. 0; -1 for a null loop or callback, a bad number, a second
// watch of the same signal on this loop, an exiting loop or no memory.
int __event_add_signal_callback(EventLoop *loop, int signum, EventSignalFn callback,
                                void *userdata);
// Watches fd for the events (EVENT_FILE_READ and/or EVENT_FILE_WRITE); the
// callback runs while fd is ready, so it must consume or remove. Remove the
// watch before closing fd. 0; -1 for a null loop or callback, a negative fd
// or one at or above FD_SETSIZE, no event bit, a watch of fd already there,
// an exiting loop or no memory.
int __event_add_file_callback(EventLoop *loop, int fd, int events, EventFileFn callback,
                              void *userdata);
// Removes the watch of fd (a negative fd: every watch). Number removed; -1
// for a null loop.
int event_del_file_callback(EventLoop *loop, int fd);
