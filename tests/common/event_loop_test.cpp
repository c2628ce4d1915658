#include "event_loop.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <pthread.h>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace {

struct Trace {
    EventLoop *loop = nullptr;
    std::string order;
    int count = 0;
};

EventTime ms(int v) {
    return EventTime{v / 1000, (v % 1000) * 1000};
}

void append_a(EventLoop *, void *arg) {
    static_cast<Trace *>(arg)->order += 'a';
}
void append_b(EventLoop *, void *arg) {
    static_cast<Trace *>(arg)->order += 'b';
}
void append_c(EventLoop *, void *arg) {
    static_cast<Trace *>(arg)->order += 'c';
}
void exit_loop(EventLoop *loop, void *) {
    event_exit(loop);
}

class LoopTest : public ::testing::Test {
  protected:
    void SetUp() override {
        t.loop = loop = event_create(&t);
        ASSERT_NE(loop, nullptr);
    }
    void TearDown() override { event_free(loop); }
    // Runs the loop, bounded by a 5 s guard timer.
    int run() {
        EventTime guard{5, 0};
        __event_add_time_callback(loop, &guard, 0, exit_loop, nullptr);
        return event_loop(loop);
    }
    EventLoop *loop = nullptr;
    Trace t;
};

TEST_F(LoopTest, TimersRunByDeadlineAndEqualDeadlinesInInsertionOrder) {
    EventTime later = ms(60), sooner = ms(20);
    ASSERT_EQ(__event_add_time_callback(loop, &later, 0, append_c, &t), 0);
    ASSERT_EQ(__event_add_time_callback(loop, &sooner, 0, append_a, &t), 0);
    ASSERT_EQ(__event_add_time_callback(loop, &sooner, 0, append_b, &t), 0);
    EventTime end = ms(120);
    __event_add_time_callback(loop, &end, 0, exit_loop, nullptr);
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(t.order, "abc");
}

TEST_F(LoopTest, NullIntervalRunsOnceAndRefusesRepeat) {
    EXPECT_EQ(__event_add_time_callback(loop, nullptr, EVENT_TIME_REPEAT, append_a, &t), -1);
    EXPECT_EQ(__event_add_time_callback(loop, nullptr, 0, append_a, &t), 0);
    EventTime end = ms(80);
    __event_add_time_callback(loop, &end, 0, exit_loop, nullptr);
    run();
    EXPECT_EQ(t.order, "a");
}

TEST_F(LoopTest, HugeIntervalsNeverWrapIntoThePast) {
    // a sum past the clock's range would otherwise land before now and fire at once
    EventTime huge{INT32_MAX, 999999}, past{-5, 0};
    ASSERT_EQ(__event_add_time_callback(loop, &huge, 0, append_a, &t), 0);
    ASSERT_EQ(
        __event_add_time_callback(loop, &huge, EVENT_TIME_NOW | EVENT_TIME_REPEAT, append_b, &t),
        0);
    ASSERT_EQ(__event_add_time_callback(loop, &past, 0, append_c, &t), 0);
    EventTime end = ms(80);
    __event_add_time_callback(loop, &end, 0, exit_loop, nullptr);
    run();
    EXPECT_EQ(t.order, "cb"); // c was due first; b once, at its first run
}

void count_and_stop_at_3(EventLoop *loop, void *arg) {
    auto *tr = static_cast<Trace *>(arg);
    if (++tr->count == 3) event_exit(loop);
}

TEST_F(LoopTest, NowAndRepeatRunsAtOnceThenEveryInterval) {
    EventTime every = ms(30);
    ASSERT_EQ(__event_add_time_callback(loop, &every, EVENT_TIME_NOW | EVENT_TIME_REPEAT,
                                        count_and_stop_at_3, &t),
              0);
    timespec a, b;
    clock_gettime(CLOCK_MONOTONIC, &a);
    run();
    clock_gettime(CLOCK_MONOTONIC, &b);
    long elapsed = (b.tv_sec - a.tv_sec) * 1000 + (b.tv_nsec - a.tv_nsec) / 1000000;
    EXPECT_EQ(t.count, 3);
    EXPECT_GE(elapsed, 60); // first at once, two more after 30 ms each
}

// A repeating timer that replaces itself from its own run: the old record
// must not be re-armed, so exactly one timer stays.
void replace_self(EventLoop *loop, void *arg) {
    auto *tr = static_cast<Trace *>(arg);
    ++tr->count;
    EventTime far{100, 0};
    __event_add_time_callback(loop, &far, EVENT_TIME_REPLACE, replace_self, arg);
}

TEST_F(LoopTest, ReplaceFromInsideOwnCallbackStopsTheOldRepeat) {
    EventTime every = ms(10);
    __event_add_time_callback(loop, &every, EVENT_TIME_REPEAT, replace_self, &t);
    EventTime end = ms(100);
    __event_add_time_callback(loop, &end, 0, exit_loop, nullptr);
    run();
    EXPECT_EQ(t.count, 1);
    EXPECT_EQ(event_del_time_callback(loop, replace_self), 1);
}

void delete_self(EventLoop *loop, void *arg) {
    ++static_cast<Trace *>(arg)->count;
    event_del_time_callback(loop, delete_self);
}

TEST_F(LoopTest, DeleteFromInsideOwnCallbackStopsTheRepeat) {
    EventTime every = ms(10);
    __event_add_time_callback(loop, &every, EVENT_TIME_REPEAT, delete_self, &t);
    EventTime end = ms(100);
    __event_add_time_callback(loop, &end, 0, exit_loop, nullptr);
    run();
    EXPECT_EQ(t.count, 1);
}

TEST_F(LoopTest, ReplaceLeavesOneTimerAndDeleteAllCountsBothLists) {
    EventTime a = ms(1000);
    __event_add_time_callback(loop, &a, 0, append_a, &t);
    __event_add_time_callback(loop, &a, 0, append_a, &t);
    __event_add_time_callback(loop, &a, EVENT_TIME_REPLACE, append_a, &t);
    __event_add_time_callback(loop, &a, 0, append_b, &t);
    EXPECT_EQ(event_del_time_callback(loop, append_a), 1);
    __event_add_time_callback(loop, &a, 0, append_c, &t);
    EXPECT_EQ(event_del_time_callback(loop, nullptr), 2);
    EXPECT_EQ(event_del_time_callback(nullptr, nullptr), -1);
}

void arg_only(void *arg) {
    static_cast<Trace *>(arg)->order += 'x';
}

TEST_F(LoopTest, ArgOnlyTimersGetTheArgAlone) {
    EventTime soon = ms(5);
    __event_add_time_callback(loop, &soon, EVENT_TIME_ARG_ONLY | EVENT_TIME_REPLACE,
                              event_arg_only(arg_only), &t);
    EventTime end = ms(50);
    __event_add_time_callback(loop, &end, 0, exit_loop, nullptr);
    run();
    EXPECT_EQ(t.order, "x");
}

// Exit from inside a timer: the other timer of the same pass does not run.
void exit_and_mark(EventLoop *loop, void *arg) {
    static_cast<Trace *>(arg)->order += 'e';
    event_exit(loop);
}

TEST_F(LoopTest, ExitInsideTimerStopsThePass) {
    EventTime soon = ms(10);
    __event_add_time_callback(loop, &soon, 0, exit_and_mark, &t);
    __event_add_time_callback(loop, &soon, 0, append_a, &t);
    EXPECT_EQ(event_loop(loop), 0);
    EXPECT_EQ(t.order, "e");
    // an exiting loop refuses new work
    EXPECT_EQ(__event_add_time_callback(loop, &soon, 0, append_a, &t), -1);
}

struct Pipes {
    int a[2], b[2];
    Pipes() {
        EXPECT_EQ(pipe(a), 0);
        EXPECT_EQ(pipe(b), 0);
    }
    ~Pipes() {
        for (int fd : {a[0], a[1], b[0], b[1]})
            close(fd);
    }
};

void file_exit(EventLoop *loop, int, int, void *arg) {
    static_cast<Trace *>(arg)->order += 'f';
    event_exit(loop);
}

TEST_F(LoopTest, ExitInsideDescriptorCallbackStopsThePass) {
    Pipes p;
    ASSERT_EQ(__event_add_file_callback(loop, p.a[0], EVENT_FILE_READ, file_exit, &t), 0);
    ASSERT_EQ(__event_add_file_callback(loop, p.b[0], EVENT_FILE_READ, file_exit, &t), 0);
    ASSERT_EQ(write(p.a[1], "x", 1), 1);
    ASSERT_EQ(write(p.b[1], "x", 1), 1);
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(t.order, "f");
}

void record_events(EventLoop *loop, int, int events, void *arg) {
    auto *tr = static_cast<Trace *>(arg);
    tr->order += std::to_string(events);
    event_exit(loop);
}

TEST_F(LoopTest, ReadableAndWritableGiveOneCallbackWithBoth) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    ASSERT_EQ(write(sv[1], "x", 1), 1);
    ASSERT_EQ(__event_add_file_callback(loop, sv[0], EVENT_FILE_READ | EVENT_FILE_WRITE,
                                        record_events, &t),
              0);
    // the same descriptor twice is refused
    EXPECT_EQ(__event_add_file_callback(loop, sv[0], EVENT_FILE_READ, record_events, &t), -1);
    EXPECT_EQ(__event_add_file_callback(loop, sv[0], 0, record_events, &t), -1);
    run();
    EXPECT_EQ(t.order, "3");
    close(sv[0]);
    close(sv[1]);
}

TEST_F(LoopTest, DescriptorsBeyondTheSelectSetAreRefused) {
    EXPECT_EQ(__event_add_file_callback(loop, FD_SETSIZE, EVENT_FILE_READ, record_events, &t), -1);
    EXPECT_EQ(__event_add_file_callback(loop, FD_SETSIZE + 100, EVENT_FILE_READ, record_events, &t),
              -1);
    EXPECT_EQ(__event_add_file_callback(loop, -1, EVENT_FILE_READ, record_events, &t), -1);
}

// A callback that removes another ready watch: that watch must not run and
// the walk must not touch it afterwards.
struct Cross {
    Trace *t;
    int other_fd;
};
void remove_other(EventLoop *loop, int fd, int, void *arg) {
    auto *c = static_cast<Cross *>(arg);
    c->t->order += 'r';
    char buf[8];
    ssize_t n = read(fd, buf, sizeof buf);
    (void)n;
    event_del_file_callback(loop, c->other_fd);
}

TEST_F(LoopTest, CallbackMayRemoveAnotherReadyWatch) {
    Pipes p;
    Cross ca{&t, p.b[0]}, cb{&t, p.a[0]};
    __event_add_file_callback(loop, p.a[0], EVENT_FILE_READ, remove_other, &ca);
    __event_add_file_callback(loop, p.b[0], EVENT_FILE_READ, remove_other, &cb);
    ASSERT_EQ(write(p.a[1], "x", 1), 1);
    ASSERT_EQ(write(p.b[1], "x", 1), 1);
    EventTime end = ms(100);
    __event_add_time_callback(loop, &end, 0, exit_loop, nullptr);
    run();
    EXPECT_EQ(t.order, "r");
    EXPECT_EQ(event_del_file_callback(loop, -1), 1); // only the one that ran is left
}

struct SignalLog {
    std::vector<int> seen;
    int exit_after = -1; // exit when this signal is seen
};

void on_signal(EventLoop *loop, int signum, void *arg) {
    auto *s = static_cast<SignalLog *>(arg);
    s->seen.push_back(signum);
    if (signum == s->exit_after) event_exit(loop);
}

TEST_F(LoopTest, SignalsArriveInOrderAndBurstsBeyond32AreAllServed) {
    SignalLog s;
    ASSERT_EQ(__event_add_signal_callback(loop, SIGUSR1, on_signal, &s), 0);
    ASSERT_EQ(__event_add_signal_callback(loop, SIGUSR2, on_signal, &s), 0);
    EXPECT_EQ(__event_add_signal_callback(loop, SIGUSR1, on_signal, &s), -1);
    EXPECT_EQ(__event_add_signal_callback(loop, 0, on_signal, &s), -1);
    // 40 signals before the loop runs: they wait as bytes in the pipe
    for (int i = 0; i < 40; ++i)
        raise(i % 2 ? SIGUSR2 : SIGUSR1);
    EventTime end = ms(200);
    __event_add_time_callback(loop, &end, 0, exit_loop, nullptr);
    run();
    ASSERT_EQ(s.seen.size(), 40u);
    for (int i = 0; i < 40; ++i)
        EXPECT_EQ(s.seen[i], i % 2 ? SIGUSR2 : SIGUSR1) << i;
}

TEST_F(LoopTest, ExitInsideSignalCallbackStillServesTheSameRead) {
    SignalLog s;
    s.exit_after = SIGUSR1;
    __event_add_signal_callback(loop, SIGUSR1, on_signal, &s);
    __event_add_signal_callback(loop, SIGUSR2, on_signal, &s);
    raise(SIGUSR1);
    raise(SIGUSR2);
    raise(SIGUSR2);
    Pipes p;
    __event_add_file_callback(loop, p.a[0], EVENT_FILE_READ, file_exit, &t);
    ASSERT_EQ(write(p.a[1], "x", 1), 1);
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(s.seen, (std::vector<int>{SIGUSR1, SIGUSR2, SIGUSR2}));
    EXPECT_EQ(t.order, ""); // nothing after the signals of that read
}

TEST(LoopLifetime, SignalAfterFreeIsHarmless) {
    SignalLog s;
    EventLoop *loop = event_create(nullptr);
    ASSERT_EQ(__event_add_signal_callback(loop, SIGUSR1, on_signal, &s), 0);
    event_free(loop);
    // the handler stays installed; with no target it must do nothing
    int fds[2];
    ASSERT_EQ(pipe(fds), 0); // likely reuses the freed pipe's numbers
    raise(SIGUSR1);
    fcntl(fds[0], F_SETFL, O_NONBLOCK);
    char c;
    EXPECT_EQ(read(fds[0], &c, 1), -1);
    close(fds[0]);
    close(fds[1]);
    signal(SIGUSR1, SIG_DFL);
}

TEST_F(LoopTest, WakeupsNeverFillThePipeSoSignalsGetThrough) {
    SignalLog s;
    ASSERT_EQ(__event_add_signal_callback(loop, SIGUSR1, on_signal, &s), 0);
    // far more wake-ups than a pipe holds, before the loop reads any
    for (int i = 0; i < 70000; ++i)
        ASSERT_EQ(event_wakeup(loop), 0);
    raise(SIGUSR1);
    EventTime end = ms(200);
    __event_add_time_callback(loop, &end, 0, exit_loop, nullptr);
    run();
    EXPECT_EQ(s.seen, (std::vector<int>{SIGUSR1}));
}

TEST(LoopLifetime, ThreadsMayAddTimersWhileTheLoopWaits) {
    Trace t;
    EventLoop *loop = event_create(&t);
    t.loop = loop;
    pthread_t th;
    pthread_create(
        &th, nullptr,
        [](void *arg) -> void * {
            auto *tr = static_cast<Trace *>(arg);
            usleep(50000);
            __event_add_time_callback(tr->loop, nullptr, 0, exit_loop, nullptr);
            return nullptr;
        },
        &t);
    EXPECT_EQ(event_loop(loop), 0); // no timer at all until the thread adds one
    pthread_join(th, nullptr);
    event_free(loop);
}

} // namespace
