#include "event_loop.h"

#include "platform.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <pthread.h>
#include <sys/select.h>
#include <unistd.h>

namespace {

struct EventTimer {
    EventTimer *next;
    EventTimeFn callback;
    void *arg;
    EventTime deadline;
    EventTime interval;
    int flags;
};

struct EventFileWatch {
    EventFileWatch *next;
    EventFileFn callback;
    int fd;
    int events;
    void *userdata;
    unsigned pass_added; // dispatch pass during which it was added
};

struct EventSignalWatch {
    EventSignalWatch *next;
    int signum;
    EventSignalFn callback;
    void *userdata;
};

constexpr int32_t kUsecPerSec = 1000000;

// Saturates: a huge interval must put its deadline at the end of time, not
// wrap it into the past where the timer would fire at once.
EventTime time_add(EventTime a, EventTime b) {
    int64_t sec = static_cast<int64_t>(a.sec) + b.sec;
    int64_t usec = static_cast<int64_t>(a.usec) + b.usec;
    if (usec > kUsecPerSec - 1) {
        usec -= kUsecPerSec;
        sec += 1;
    }
    if (sec > INT32_MAX) return EventTime{INT32_MAX, kUsecPerSec - 1};
    if (sec < INT32_MIN) return EventTime{INT32_MIN, 0};
    return EventTime{static_cast<int32_t>(sec), static_cast<int32_t>(usec)};
}

// The handler writes into the pipe of the loop that last registered a signal;
// it keeps the descriptor itself so it never touches a loop's memory.
std::atomic<EventLoop *> signal_target{nullptr};
std::atomic<int> signal_wake_fd{-1};

} // namespace

struct EventLoop {
    EventTimer *pending;
    EventTimer *due;
    EventFileWatch *watches;
    EventFileWatch *fired;
    EventSignalWatch *signals;
    void *userdata;
    int wake_read;
    int wake_write;
    int exiting;
    pthread_mutex_t lock;
    unsigned dispatch_pass;
    // a wake-up byte is in the pipe and not yet read: wake-ups never fill
    // the pipe, so the signal handler's byte always finds room
    std::atomic<int> wake_pending;
};

namespace {

void event_signal_handler(int signum) {
    int saved = errno;
    int fd = signal_wake_fd.load();
    if (fd >= 0) {
        unsigned char byte = static_cast<unsigned char>(signum);
        ssize_t rc = write(fd, &byte, 1);
        (void)rc;
    }
    errno = saved;
}

void insert_pending(EventLoop *loop, EventTimer *t) {
    EventTimer **pos = &loop->pending;
    while (*pos && !event_time_before(t->deadline, (*pos)->deadline))
        pos = &(*pos)->next;
    t->next = *pos;
    *pos = t;
}

int remove_timers(EventTimer **list, EventTimeFn callback) {
    int count = 0;
    for (EventTimer **pos = list; *pos;) {
        if (!callback || (*pos)->callback == callback) {
            EventTimer *dead = *pos;
            *pos = dead->next;
            free(dead);
            ++count;
        } else {
            pos = &(*pos)->next;
        }
    }
    return count;
}

int remove_watches(EventFileWatch **list, int fd) {
    int count = 0;
    for (EventFileWatch **pos = list; *pos;) {
        if (fd < 0 || (*pos)->fd == fd) {
            EventFileWatch *dead = *pos;
            *pos = dead->next;
            free(dead);
            ++count;
        } else {
            pos = &(*pos)->next;
        }
    }
    return count;
}

void call_timer(EventLoop *loop, EventTimeFn callback, void *arg, int flags) {
    if (flags & EVENT_TIME_ARG_ONLY)
        reinterpret_cast<EventArgFn>(reinterpret_cast<void (*)()>(callback))(arg);
    else
        callback(loop, arg);
}

// Runs every timer due at one reading of the clock, then re-arms the
// repeating ones from the end of the pass.
void dispatch_timers(EventLoop *loop) {
    EventTime now;
    if (event_now(&now) != 0) return;
    pthread_mutex_lock(&loop->lock);
    for (;;) {
        if (loop->exiting) {
            pthread_mutex_unlock(&loop->lock);
            return;
        }
        EventTimer *t = loop->pending;
        if (!t || event_time_before(now, t->deadline)) break;
        loop->pending = t->next;
        t->next = loop->due;
        loop->due = t;
        EventTimeFn cb = t->callback;
        void *arg = t->arg;
        int flags = t->flags;
        pthread_mutex_unlock(&loop->lock);
        call_timer(loop, cb, arg, flags);
        pthread_mutex_lock(&loop->lock);
    }
    if (loop->due) {
        EventTime after;
        if (event_now(&after) != 0) after = now;
        while (EventTimer *t = loop->due) {
            loop->due = t->next;
            if (t->flags & EVENT_TIME_REPEAT) {
                t->deadline = time_add(after, t->interval);
                insert_pending(loop, t);
            } else {
                free(t);
            }
        }
    }
    pthread_mutex_unlock(&loop->lock);
}

void dispatch_signals(EventLoop *loop) {
    unsigned char bytes[32];
    loop->wake_pending.store(0); // before the read: a later wake-up writes again
    ssize_t n = read(loop->wake_read, bytes, sizeof bytes);
    for (ssize_t i = 0; i < n; ++i) {
        if (bytes[i] == 0) continue;
        pthread_mutex_lock(&loop->lock);
        for (EventSignalWatch *w = loop->signals; w; w = w->next) {
            if (w->signum != bytes[i]) continue;
            pthread_mutex_unlock(&loop->lock);
            w->callback(loop, w->signum, w->userdata);
            pthread_mutex_lock(&loop->lock);
        }
        pthread_mutex_unlock(&loop->lock);
    }
}

int ready_events(const EventFileWatch *w, const fd_set *rd, const fd_set *wr) {
    int ev = 0;
    if ((w->events & EVENT_FILE_READ) && FD_ISSET(w->fd, rd)) ev |= EVENT_FILE_READ;
    if (wr && (w->events & EVENT_FILE_WRITE) && FD_ISSET(w->fd, wr)) ev |= EVENT_FILE_WRITE;
    return ev;
}

// Serves ready watches in list order. After every callback the walk starts
// again from the head: served watches have moved to the fired list and the
// others were not ready, so the order is unchanged, and a callback may remove
// any watch, not just its own. Watches added during this pass wait for the
// next wait. Returns false when the loop is exiting.
bool dispatch_files(EventLoop *loop, int count, const fd_set *rd, const fd_set *wr) {
    pthread_mutex_lock(&loop->lock);
    if (loop->exiting) {
        pthread_mutex_unlock(&loop->lock);
        return false;
    }
    unsigned pass = ++loop->dispatch_pass;
    while (count > 0) {
        EventFileWatch **pos = &loop->watches;
        int ev = 0;
        for (; *pos; pos = &(*pos)->next) {
            if ((*pos)->pass_added == pass) continue;
            if ((ev = ready_events(*pos, rd, wr)) != 0) break;
        }
        if (!*pos) break;
        EventFileWatch *w = *pos;
        *pos = w->next;
        w->next = loop->fired;
        loop->fired = w;
        count -= (ev == (EVENT_FILE_READ | EVENT_FILE_WRITE)) ? 2 : 1;
        EventFileFn cb = w->callback;
        int fd = w->fd;
        void *ud = w->userdata;
        pthread_mutex_unlock(&loop->lock);
        cb(loop, fd, ev, ud);
        pthread_mutex_lock(&loop->lock);
        if (loop->exiting) {
            pthread_mutex_unlock(&loop->lock);
            return false;
        }
    }
    while (EventFileWatch *w = loop->fired) {
        loop->fired = w->next;
        w->next = loop->watches;
        loop->watches = w;
    }
    pthread_mutex_unlock(&loop->lock);
    return true;
}

} // namespace

bool event_time_before(const EventTime &a, const EventTime &b) {
    return a.sec < b.sec || (a.sec == b.sec && a.usec < b.usec);
}

int event_now(EventTime *out) {
    return boot_clock_usec(&out->sec, &out->usec);
}

EventLoop *event_create(void *userdata) {
    auto *loop = static_cast<EventLoop *>(calloc(1, sizeof(EventLoop)));
    if (!loop) return nullptr;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        free(loop);
        return nullptr;
    }
    // select() cannot watch the pipe beyond FD_SETSIZE
    if (fds[0] >= FD_SETSIZE) {
        close(fds[0]);
        close(fds[1]);
        free(loop);
        return nullptr;
    }
    // a full pipe must never stall a writer or the signal handler
    fcntl(fds[1], F_SETFL, fcntl(fds[1], F_GETFL) | O_NONBLOCK);
    loop->wake_read = fds[0];
    loop->wake_write = fds[1];
    pthread_mutex_init(&loop->lock, nullptr);
    loop->userdata = userdata;
    return loop;
}

void *event_userdata(EventLoop *loop) {
    return loop ? loop->userdata : nullptr;
}

int event_wakeup(EventLoop *loop) {
    if (loop->wake_write < 0) return -1;
    if (loop->wake_pending.exchange(1) != 0) return 0; // the loop wakes already
    unsigned char zero = 0;
    ssize_t n;
    do {
        n = write(loop->wake_write, &zero, 1);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0; // full of signals: awake
    if (n != 1) loop->wake_pending.store(0);
    return n == 1 ? 0 : -1;
}

int event_exit(EventLoop *loop) {
    if (!loop) return -1;
    int rc = 0;
    pthread_mutex_lock(&loop->lock);
    if (!loop->exiting) {
        loop->exiting = 1;
        rc = event_wakeup(loop);
    }
    pthread_mutex_unlock(&loop->lock);
    return rc;
}

void event_free(EventLoop *loop) {
    if (!loop) return;
    event_exit(loop);
    EventLoop *self = loop;
    if (signal_target.compare_exchange_strong(self, nullptr)) signal_wake_fd.store(-1);
    event_del_time_callback(loop, nullptr);
    event_del_file_callback(loop, -1);
    while (EventSignalWatch *w = loop->signals) {
        loop->signals = w->next;
        free(w);
    }
    pthread_mutex_destroy(&loop->lock);
    if (loop->wake_read >= 0) close(loop->wake_read);
    if (loop->wake_write >= 0) close(loop->wake_write);
    free(loop);
}

int __event_add_time_callback(EventLoop *loop, const EventTime *interval, int flags,
                              EventTimeFn callback, void *arg) {
    EventTime now;
    if (!loop || !callback || (!interval && (flags & EVENT_TIME_REPEAT))) return -1;
    if (event_now(&now) != 0) return -1;
    auto *t = static_cast<EventTimer *>(calloc(1, sizeof(EventTimer)));
    if (!t) return -1;
    if (!interval) flags |= EVENT_TIME_NOW;
    t->interval = interval ? *interval : EventTime{0, 0};
    t->callback = callback;
    t->arg = arg;
    t->flags = flags;
    t->deadline = (flags & EVENT_TIME_NOW) ? now : time_add(now, t->interval);

    pthread_mutex_lock(&loop->lock);
    if (loop->exiting) {
        pthread_mutex_unlock(&loop->lock);
        free(t);
        return -1;
    }
    if (flags & EVENT_TIME_REPLACE) {
        remove_timers(&loop->pending, callback);
        remove_timers(&loop->due, callback);
    }
    insert_pending(loop, t);
    event_wakeup(loop);
    pthread_mutex_unlock(&loop->lock);
    return 0;
}

int event_del_time_callback(EventLoop *loop, EventTimeFn callback) {
    if (!loop) return -1;
    pthread_mutex_lock(&loop->lock);
    int count = remove_timers(&loop->pending, callback);
    count += remove_timers(&loop->due, callback);
    if (count > 0) event_wakeup(loop);
    pthread_mutex_unlock(&loop->lock);
    return count;
}

int __event_add_signal_callback(EventLoop *loop, int signum, EventSignalFn callback,
                                void *userdata) {
    if (!loop || signum <= 0 || signum > 255 || !callback) return -1;
    auto *w = static_cast<EventSignalWatch *>(calloc(1, sizeof(EventSignalWatch)));
    if (!w) return -1;
    w->signum = signum;
    w->callback = callback;
    w->userdata = userdata;
    pthread_mutex_lock(&loop->lock);
    bool refused = loop->exiting != 0;
    EventSignalWatch **pos = &loop->signals;
    for (; *pos; pos = &(*pos)->next)
        if ((*pos)->signum == signum) refused = true;
    if (refused) {
        pthread_mutex_unlock(&loop->lock);
        free(w);
        return -1;
    }
    *pos = w;
    pthread_mutex_unlock(&loop->lock);

    struct sigaction sa {};
    sa.sa_handler = event_signal_handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(signum, &sa, nullptr);
    signal_wake_fd.store(loop->wake_write);
    signal_target.store(loop);
    return 0;
}

int __event_add_file_callback(EventLoop *loop, int fd, int events, EventFileFn callback,
                              void *userdata) {
    if (!loop || fd < 0 || fd >= FD_SETSIZE || !callback ||
        !(events & (EVENT_FILE_READ | EVENT_FILE_WRITE)))
        return -1;
    auto *w = static_cast<EventFileWatch *>(calloc(1, sizeof(EventFileWatch)));
    if (!w) return -1;
    w->fd = fd;
    w->events = events;
    w->callback = callback;
    w->userdata = userdata;
    pthread_mutex_lock(&loop->lock);
    bool refused = loop->exiting != 0;
    for (EventFileWatch *x = loop->watches; x && !refused; x = x->next)
        if (x->fd == fd) refused = true;
    if (refused) {
        pthread_mutex_unlock(&loop->lock);
        free(w);
        return -1;
    }
    w->pass_added = loop->dispatch_pass;
    w->next = loop->watches;
    loop->watches = w;
    event_wakeup(loop);
    pthread_mutex_unlock(&loop->lock);
    return 0;
}

int event_del_file_callback(EventLoop *loop, int fd) {
    if (!loop) return -1;
    pthread_mutex_lock(&loop->lock);
    int count = remove_watches(&loop->watches, fd);
    count += remove_watches(&loop->fired, fd);
    if (count > 0) event_wakeup(loop);
    pthread_mutex_unlock(&loop->lock);
    return count;
}

int event_loop(EventLoop *loop) {
    for (;;) {
        fd_set rd, wr;
        pthread_mutex_lock(&loop->lock);
        if (loop->exiting) {
            pthread_mutex_unlock(&loop->lock);
            return 0;
        }
        FD_ZERO(&rd);
        FD_ZERO(&wr);
        FD_SET(loop->wake_read, &rd);
        int highest = loop->wake_read;
        EventTime now;
        bool timed = false;
        timeval tv{};
        if (event_now(&now) == 0 && loop->pending) {
            timed = true;
            const EventTime &d = loop->pending->deadline;
            if (event_time_before(now, d)) {
                int64_t us =
                    (static_cast<int64_t>(d.sec) - now.sec) * kUsecPerSec + (d.usec - now.usec);
                timespec boot{static_cast<time_t>(us / kUsecPerSec),
                              static_cast<long>(us % kUsecPerSec) * 1000L};
                timespec real;
                boot_clock_to_real(&boot, &real);
                tv.tv_sec = real.tv_sec;
                tv.tv_usec = real.tv_nsec / 1000;
            }
        }
        bool any_write = false;
        for (EventFileWatch *w = loop->watches; w; w = w->next) {
            if (w->events & EVENT_FILE_READ) FD_SET(w->fd, &rd);
            if (w->events & EVENT_FILE_WRITE) {
                FD_SET(w->fd, &wr);
                any_write = true;
            }
            if (w->fd > highest) highest = w->fd;
        }
        pthread_mutex_unlock(&loop->lock);

        int n = select(highest + 1, &rd, any_write ? &wr : nullptr, nullptr, timed ? &tv : nullptr);
        if (n < 0) {
            if (errno == EINTR || errno == EBADF) continue;
            return -1;
        }
        if (n == 0) {
            dispatch_timers(loop);
            continue;
        }
        if (FD_ISSET(loop->wake_read, &rd)) {
            dispatch_signals(loop);
            --n;
        }
        if (n == 0) continue;
        if (!dispatch_files(loop, n, &rd, any_write ? &wr : nullptr)) return 0;
    }
}
