#include "at_channel.h"

#include "at_line_reader.h"
#include "at_tok.h"
#include "fd_io.h"
#include "log.h"
#include "platform.h"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

namespace {

constexpr const char *kFinalSuccess[] = {"OK", "CONNECT"};
constexpr const char *kFinalError[] = {
    "ERROR", "+CMS ERROR:", "+CME ERROR:", "NO CARRIER", "NO ANSWER", "NO DIALTONE"};
// lines followed by one more line, their PDU
constexpr const char *kSmsUnsolicited[] = {"+CMT:", "+CDS:", "+CBM:"};

constexpr int kHandshakeTries = 8;
constexpr int kHandshakeTimeoutMs = 250;
constexpr size_t kOneWriteMax = 512; // longer commands go out in two writes

// The one channel of the process. Everything below the locks is guarded by
// cmd_lock; closed is also read without it (at_is_open).
struct Channel {
    pthread_mutex_t write_lock = PTHREAD_MUTEX_INITIALIZER;
    pthread_mutex_t cmd_lock = PTHREAD_MUTEX_INITIALIZER;
    // senders wait here for their final line; at_close waits here for the
    // reader to let go of the descriptor (CLOCK_MONOTONIC)
    pthread_cond_t cond;

    int fd = -1;
    int wake_read = -1; // at_close wakes the reader through this pipe
    int wake_write = -1;
    std::atomic<bool> closed{true};
    bool reader_active = false;
    AtUnsolicitedFn unsolicited = nullptr;
    AtEventFn on_timeout = nullptr;
    AtEventFn on_reader_closed = nullptr;

    // the pending command
    AtReply *pending = nullptr;
    AtReplyType type = AT_REPLY_NONE;
    const char *prefix = nullptr;
    bool final_seen = false;

    // the lines of the current device; the reader thread's alone
    AtLineReader reader_lines;
};

Channel channel;
pthread_once_t channel_once = PTHREAD_ONCE_INIT;

// The deadline is computed on the monotonic clock, so the condition must
// measure it there too: a wall-clock jump must not shorten or stretch a wait.
void channel_init_once() {
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&channel.cond, &attr);
    pthread_condattr_destroy(&attr);
}

void channel_init() {
    pthread_once(&channel_once, channel_init_once);
}

thread_local bool on_reader_thread = false;

bool starts_with_any(const char *line, const char *const *list, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (strStartsWith(line, list[i])) return true;
    return false;
}

bool is_final_success(const char *line) {
    return starts_with_any(line, kFinalSuccess, sizeof kFinalSuccess / sizeof *kFinalSuccess);
}
bool is_final_error(const char *line) {
    return starts_with_any(line, kFinalError, sizeof kFinalError / sizeof *kFinalError);
}
bool is_sms_unsolicited(const char *line) {
    return starts_with_any(line, kSmsUnsolicited, sizeof kSmsUnsolicited / sizeof *kSmsUnsolicited);
}

void free_lines(AtLine *l) {
    while (l) {
        AtLine *next = l->next;
        free(l->text);
        free(l);
        l = next;
    }
}

// --- reader side ---

// Reads what is there. >0 bytes, 0 at end of file, -1 on an error or when
// at_close asks the reader to stop.
ssize_t read_some(int fd, int wake, char *dst, size_t room) {
    for (;;) {
        pollfd p[2] = {{fd, POLLIN, 0}, {wake, POLLIN, 0}};
        int r = poll(p, 2, -1);
        if (r < 0) {
            if (errno == EINTR) continue;
            __log_str("lted: atchannel: read error %s\n", strerror(errno));
            return -1;
        }
        if (p[1].revents) return -1;
        if (p[0].revents & POLLNVAL) {
            __log_str("lted: atchannel: read error %s\n", strerror(EBADF));
            return -1;
        }
        if (!p[0].revents) continue;
        ssize_t n = read(fd, dst, room);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            __log_str("lted: atchannel: read error %s\n", strerror(errno));
            return -1;
        }
        if (n == 0) __log_str("lted: atchannel: EOF reached\n");
        return n;
    }
}

struct ReaderFds {
    int fd;
    int wake;
};

ssize_t read_device(char *dst, size_t room, void *user) {
    auto *fds = static_cast<ReaderFds *>(user);
    return read_some(fds->fd, fds->wake, dst, room);
}

// One line from the modem (valid until the next call), or null when reading stops.
char *at_read_line(ReaderFds *fds) {
    return at_line_reader_next(&channel.reader_lines, read_device, fds);
}

void add_intermediate(const char *line) {
    auto *l = static_cast<AtLine *>(calloc(1, sizeof(AtLine)));
    if (!l) return;
    l->text = strdup(line);
    if (!l->text) {
        free(l);
        return;
    }
    l->next = channel.pending->lines; // reversed once the command completes
    channel.pending->lines = l;
}

// With cmd_lock held. True when the line completed the pending command: the
// caller wakes the sender once it has let go of the lock, so that the sender
// does not wake only to wait for the lock.
bool at_classify_line(const char *line) {
    // once the final line is in, further lines are not the command's
    if (!channel.pending || channel.final_seen) {
        if (channel.unsolicited) channel.unsolicited(line, nullptr);
        return false;
    }
    bool ok = is_final_success(line);
    if (ok || is_final_error(line)) {
        channel.pending->success = ok ? 1 : 0;
        channel.pending->final_line = strdup(line);
        channel.final_seen = true;
        return true;
    }
    bool collect = false;
    switch (channel.type) {
    case AT_REPLY_NONE:
        break;
    case AT_REPLY_NUMERIC:
        collect = !channel.pending->lines && isdigit(static_cast<unsigned char>(line[0]));
        break;
    case AT_REPLY_SINGLELINE:
        collect = !channel.pending->lines && strStartsWith(line, channel.prefix);
        break;
    case AT_REPLY_MULTILINE:
        collect = strStartsWith(line, channel.prefix);
        break;
    case AT_REPLY_ALLLINE:
    case AT_REPLY_NOPREFIX:
        collect = true;
        break;
    }
    if (collect)
        add_intermediate(line);
    else if (channel.unsolicited)
        channel.unsolicited(line, nullptr);
    return false;
}

void *at_reader_thread(void *) {
    on_reader_thread = true;
    pthread_mutex_lock(&channel.cmd_lock);
    ReaderFds fds{channel.fd, channel.wake_read};
    AtUnsolicitedFn handler = channel.unsolicited;
    pthread_mutex_unlock(&channel.cmd_lock);

    for (;;) {
        char *line = at_read_line(&fds);
        if (!line) break;
        if (is_sms_unsolicited(line)) {
            char *copy = strdup(line);
            char *pdu = at_read_line(&fds);
            if (!pdu) {
                free(copy);
                break;
            }
            if (copy && handler) handler(copy, pdu);
            free(copy);
            continue;
        }
        pthread_mutex_lock(&channel.cmd_lock);
        bool complete = at_classify_line(line);
        pthread_mutex_unlock(&channel.cmd_lock);
        if (complete) pthread_cond_broadcast(&channel.cond);
    }

    // A dead reader always closes the channel, so that no sender waits for
    // the deadline on a device that is gone.
    pthread_mutex_lock(&channel.cmd_lock);
    bool lost = !channel.closed;
    channel.closed = true;
    AtEventFn callback = channel.on_reader_closed;
    pthread_cond_broadcast(&channel.cond);
    pthread_mutex_unlock(&channel.cmd_lock);
    if (lost && callback) callback();

    pthread_mutex_lock(&channel.cmd_lock);
    channel.reader_active = false;
    pthread_cond_broadcast(&channel.cond);
    pthread_mutex_unlock(&channel.cmd_lock);
    return nullptr;
}

// --- sender side ---

void clear_pending() {
    channel.pending = nullptr;
    channel.prefix = nullptr;
    channel.type = AT_REPLY_NONE;
    channel.final_seen = false;
}

// The command and its "\r" in one write when they fit a line buffer: the
// modem wakes once per command, not twice.
int write_command(const char *command, const timespec *deadline) {
    char line[kOneWriteMax];
    size_t len = strlen(command);
    if (len < sizeof line) {
        memcpy(line, command, len);
        line[len] = '\r';
        return fd_write_all(channel.fd, line, len + 1, deadline);
    }
    int written = fd_write_all(channel.fd, command, len, deadline);
    return written == 0 ? fd_write_all(channel.fd, "\r", 1, deadline) : written;
}

// With both locks held; both senders hold the write lock, so no other
// command is pending here.
int at_exchange_locked(const char *command, AtReplyType type, const char *prefix, int timeout_ms,
                       AtReply **out) {
    if (channel.fd < 0 || channel.closed) return AT_FAIL_CLOSED;

    // The deadline covers the write: a modem that holds CTS low must not
    // block the loop thread for good.
    if (timeout_ms <= 0) timeout_ms = AT_DEFAULT_TIMEOUT_MS;
    timespec interval{static_cast<time_t>(timeout_ms / 1000),
                      static_cast<long>(timeout_ms % 1000) * 1000000L};
    timespec deadline;
    boot_clock_real_deadline(&interval, &deadline);

    __log_str("lted: AT> %s\n", command);
    int written = write_command(command, &deadline);
    if (written == FD_WRITE_TIMEOUT) return AT_FAIL_TIMEOUT;
    if (written != 0) return AT_FAIL_IO;

    channel.pending = static_cast<AtReply *>(calloc(1, sizeof(AtReply)));
    if (!channel.pending) return AT_FAIL_IO;
    channel.type = type;
    channel.prefix = prefix ? prefix : "";
    channel.final_seen = false;

    while (!channel.final_seen && !channel.closed) {
        int rc = pthread_cond_timedwait(&channel.cond, &channel.cmd_lock, &deadline);
        // a final line that came in with the deadline still counts
        if (rc == ETIMEDOUT && !channel.final_seen && !channel.closed) {
            at_response_free(channel.pending);
            clear_pending();
            return AT_FAIL_TIMEOUT;
        }
    }

    AtReply *reply = channel.pending;
    bool complete = channel.final_seen;
    bool closed = channel.closed;
    clear_pending();
    if (!complete) {
        // closed before the final line: there is no answer to hand out
        at_response_free(reply);
        return AT_FAIL_CLOSED;
    }
    AtLine *reversed = nullptr;
    while (AtLine *l = reply->lines) {
        reply->lines = l->next;
        l->next = reversed;
        reversed = l;
    }
    reply->lines = reversed;
    if (out)
        *out = reply;
    else
        at_response_free(reply);
    // a final line that came with the close is handed out, the close reported
    return closed ? AT_FAIL_CLOSED : 0;
}

int at_exchange(const char *command, AtReplyType type, const char *prefix, int timeout_ms,
                AtReply **out) {
    if (out) *out = nullptr;
    if (on_reader_thread) return AT_FAIL_THREAD;
    channel_init();
    pthread_mutex_lock(&channel.write_lock);
    pthread_mutex_lock(&channel.cmd_lock);
    int rc = at_exchange_locked(command, type, prefix, timeout_ms, out);
    AtEventFn on_timeout = channel.on_timeout;
    pthread_mutex_unlock(&channel.cmd_lock);
    pthread_mutex_unlock(&channel.write_lock);
    if (rc == AT_FAIL_TIMEOUT && on_timeout) on_timeout();
    return rc;
}

// Singleline and numeric commands promise one intermediate line to a caller
// that takes the reply.
int at_exchange_one_line(const char *command, AtReplyType type, const char *prefix, AtReply **out) {
    if (!out) return at_exchange(command, type, prefix, 0, nullptr);
    AtReply *reply = nullptr;
    int rc = at_exchange(command, type, prefix, 0, &reply);
    if (rc == 0 && reply->success && !reply->lines) {
        at_response_free(reply);
        reply = nullptr;
        rc = AT_FAIL_NO_LINE;
    }
    *out = reply;
    return rc;
}

} // namespace

int at_open(int fd, AtUnsolicitedFn handler) {
    channel_init();
    if (fd < 0) return -1;
    pthread_mutex_lock(&channel.cmd_lock);
    bool busy = channel.fd >= 0 || channel.reader_active;
    pthread_mutex_unlock(&channel.cmd_lock);
    if (busy) at_close();

    int wake[2];
    if (pipe2(wake, O_CLOEXEC) != 0) {
        perror("pipe");
        return -1;
    }
    // writes wait for the tty within the command's deadline (fd_write_all)
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    pthread_mutex_lock(&channel.cmd_lock);
    channel.fd = fd;
    channel.wake_read = wake[0];
    channel.wake_write = wake[1];
    channel.unsolicited = handler;
    channel.closed = false;
    if (channel.pending) at_response_free(channel.pending);
    clear_pending();
    at_line_reader_reset(&channel.reader_lines);
    channel.reader_active = true;

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t tid;
    int rc = pthread_create(&tid, &attr, at_reader_thread, nullptr);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        // the caller keeps the descriptor
        channel.reader_active = false;
        channel.closed = true;
        channel.fd = -1;
        channel.wake_read = channel.wake_write = -1;
        pthread_mutex_unlock(&channel.cmd_lock);
        close(wake[0]);
        close(wake[1]);
        errno = rc;
        perror("pthread_create");
        return -1;
    }
    pthread_mutex_unlock(&channel.cmd_lock);
    return 0;
}

void at_close() {
    channel_init();
    pthread_mutex_lock(&channel.cmd_lock);
    channel.closed = true;
    pthread_cond_broadcast(&channel.cond);
    if (channel.wake_write >= 0) {
        char byte = 0;
        ssize_t n;
        do {
            n = write(channel.wake_write, &byte, 1);
        } while (n < 0 && errno == EINTR);
    }
    // The reader stops at once on the wake-up; closing the descriptor under
    // a running reader could hand it a reused descriptor number.
    if (!on_reader_thread)
        while (channel.reader_active)
            pthread_cond_wait(&channel.cond, &channel.cmd_lock);
    int fd = channel.fd;
    channel.fd = -1;
    int wr = channel.wake_read, ww = channel.wake_write;
    channel.wake_read = channel.wake_write = -1;
    pthread_mutex_unlock(&channel.cmd_lock);
    if (fd >= 0) close(fd);
    if (wr >= 0) close(wr);
    if (ww >= 0) close(ww);
}

int at_is_open() {
    // an open channel always has its descriptor: closed says it all
    return channel.closed.load() ? 0 : 1;
}

int at_send_command_timeout(const char *command, AtReplyType type, const char *prefix,
                            int timeout_ms, AtReply **out) {
    return at_exchange(command, type, prefix, timeout_ms, out);
}

int at_send_command(const char *command, AtReply **out) {
    return at_exchange(command, AT_REPLY_NONE, nullptr, 0, out);
}

int at_send_command_singleline(const char *command, const char *prefix, AtReply **out) {
    return at_exchange_one_line(command, AT_REPLY_SINGLELINE, prefix, out);
}

int at_send_command_numeric(const char *command, AtReply **out) {
    return at_exchange_one_line(command, AT_REPLY_NUMERIC, nullptr, out);
}

int at_send_command_multiline(const char *command, const char *prefix, AtReply **out) {
    return at_exchange(command, AT_REPLY_MULTILINE, prefix, 0, out);
}

int at_send_command_allline(const char *command, AtReply **out) {
    return at_exchange(command, AT_REPLY_ALLLINE, nullptr, 0, out);
}

int at_send_command_noprefix(const char *command, AtReply **out) {
    return at_exchange(command, AT_REPLY_NOPREFIX, nullptr, 0, out);
}

int at_handshake() {
    if (on_reader_thread) return AT_FAIL_THREAD;
    channel_init();
    pthread_mutex_lock(&channel.write_lock);
    pthread_mutex_lock(&channel.cmd_lock);
    int rc = AT_FAIL_CLOSED;
    for (int i = 0; i < kHandshakeTries; ++i) {
        rc = at_exchange_locked("ATQ0", AT_REPLY_NONE, nullptr, kHandshakeTimeoutMs, nullptr);
        if (rc == 0) {
            // Late answers to the earlier tries must reach the reader now, as
            // unsolicited lines, not later as the next command's answer: the
            // command lock is let go while they drain.
            pthread_mutex_unlock(&channel.cmd_lock);
            boot_clock_sleep_ms(kHandshakeTimeoutMs);
            pthread_mutex_lock(&channel.cmd_lock);
            break;
        }
    }
    pthread_mutex_unlock(&channel.cmd_lock);
    pthread_mutex_unlock(&channel.write_lock);
    return rc;
}

int at_get_cme_error(const AtReply *reply) {
    if (!reply) return -1;
    if (reply->success > 0) return 0;
    if (!reply->final_line || !strStartsWith(reply->final_line, "+CME ERROR:")) return -1;
    char copy[128];
    snprintf(copy, sizeof copy, "%s", reply->final_line);
    char *cursor = copy;
    int err;
    if (at_tok_start(&cursor) < 0 || at_tok_nextint(&cursor, &err) < 0) return -1;
    return err;
}

int at_succeeded(int rc, const AtReply *reply) {
    return rc >= 0 && reply && reply->success == 1 ? 1 : 0;
}

void at_set_on_timeout(AtEventFn callback) {
    channel_init();
    pthread_mutex_lock(&channel.cmd_lock);
    channel.on_timeout = callback;
    pthread_mutex_unlock(&channel.cmd_lock);
}

void at_set_on_reader_closed(AtEventFn callback) {
    channel_init();
    pthread_mutex_lock(&channel.cmd_lock);
    channel.on_reader_closed = callback;
    pthread_mutex_unlock(&channel.cmd_lock);
}

void at_response_free(AtReply *reply) {
    if (!reply) return;
    free_lines(reply->lines);
    free(reply->final_line);
    free(reply);
}

int strStartsWith(const char *line, const char *prefix) {
    return strncmp(line, prefix, strlen(prefix)) == 0 ? 1 : 0;
}
