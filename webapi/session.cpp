#include "session.h"

#include "md5.h"
#include "nvram_env.h"
#include "page_util.h"
#include "platform.h"
#include "sys_utils.h"

#include <cJSON.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <strings.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

struct Table {
    const char *path;
    const char *temporary;
    const char *lock;
    // a process may take a table's lock again while it holds it
    int lock_fd;
    int depth;
};

Table login_table = {"/tmp/web.login", "/tmp/web.login~", "/tmp/web.login.lock", -1, 0};
Table session_table = {"/tmp/web.session", "/tmp/web.session~", "/tmp/web.session.lock", -1, 0};

// Holds a table's exclusive lock for a scope; ok() is false when the lock
// file could not be opened or locked, which the callers treat like a
// temporary file that cannot be created.
class TableLock {
  public:
    explicit TableLock(Table *table) : table_(table) {
        if (table_->depth > 0) {
            table_->depth++;
            return;
        }
        RouterPath path(table_->lock);
        int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0) return;
        while (flock(fd, LOCK_EX) != 0) {
            if (errno != EINTR) {
                close(fd);
                return;
            }
        }
        table_->lock_fd = fd;
        table_->depth = 1;
    }
    ~TableLock() {
        if (!ok()) return;
        if (--table_->depth == 0) {
            close(table_->lock_fd); // releases the lock
            table_->lock_fd = -1;
        }
    }
    TableLock(const TableLock &) = delete;
    TableLock &operator=(const TableLock &) = delete;
    bool ok() const { return table_->lock_fd >= 0; }

  private:
    Table *table_;
};

// The table and its temporary, open for one rewrite.
struct Rewrite {
    FILE *in = nullptr;  // null when the table does not exist
    FILE *out = nullptr; // null when the temporary could not be created
    ~Rewrite() {
        if (in) fclose(in);
        if (out) fclose(out);
    }
};

// Opens the table (when it exists) and then, unless the table is required
// and absent or the lock is not held, the temporary. True when the temporary
// is open.
bool rewrite_open(const Table *table, const TableLock &lock, bool table_required, Rewrite *rw) {
    RouterPath path(table->path), temporary(table->temporary);
    rw->in = fopen(path.c_str(), "re");
    if ((table_required && !rw->in) || !lock.ok()) return false;
    rw->out = fopen(temporary.c_str(), "we");
    return rw->out != nullptr;
}

// Puts the rewritten table in place. A temporary that could not be written
// whole (a full /tmp) is removed instead, so the table stays as it was
// rather than losing its lines. True when the table was replaced.
bool rewrite_commit(const Table *table, Rewrite *rw) {
    bool written = ferror(rw->out) == 0;
    if (fclose(rw->out) != 0) written = false;
    rw->out = nullptr;
    RouterPath path(table->path), temporary(table->temporary);
    if (written && rename(temporary.c_str(), path.c_str()) == 0) return true;
    unlink(temporary.c_str());
    return false;
}

// One line of either table: three fields, the second as text (session id)
// and as a number (failed-login time).
struct Row {
    char *address;
    char *middle;
    unsigned long number; // third field
};

bool next_row(FILE *in, char line[256], Row *row) {
    while (fgets(line, 256, in)) {
        char *fields[3];
        if (str_split(line, fields, 3, " \t\n") < 3) continue;
        row->address = fields[0];
        row->middle = fields[1];
        row->number = strtoul(fields[2], nullptr, 10);
        return true;
    }
    return false;
}

uint32_t now_seconds() {
    BootTime t;
    time_bootup(&t);
    return static_cast<uint32_t>(t.sec);
}

uint32_t age(uint32_t now, unsigned long then) {
    return now - static_cast<uint32_t>(then);
}

bool failure_live(uint32_t now, unsigned long time, unsigned long count) {
    return time != 0 && count != 0 && age(now, time) < LOGIN_LOCK_SECONDS;
}

bool session_live(uint32_t now, unsigned long time) {
    return time != 0 && age(now, time) < SESSION_IDLE_SECONDS;
}

int answer_login(cJSON *answer, uint32_t disabled, const char *session, int result) {
    if (disabled) answer_number(answer, "disabledTime", disabled);
    if (session) answer_string(answer, "session", session);
    return answer_result(answer, result);
}

} // namespace

uint32_t login_locked_for(const char *address) {
    TableLock lock(&login_table);
    uint32_t now = now_seconds();
    Rewrite rw;
    bool writable = rewrite_open(&login_table, lock, true, &rw);
    if (!rw.in) return 0;
    if (!writable) return LOGIN_LOCK_SECONDS;

    unsigned live = 0;
    uint32_t remaining = 0;
    char line[256];
    Row row;
    while (next_row(rw.in, line, &row)) {
        unsigned long time = strtoul(row.middle, nullptr, 10);
        if (!failure_live(now, time, row.number)) continue;
        live++;
        fprintf(rw.out, "%s %lu %lu\n", row.address, time, row.number);
        if (strcmp(row.address, address) == 0 && row.number >= LOGIN_FAILURES_TO_LOCK)
            remaining = static_cast<uint32_t>(time) + LOGIN_LOCK_SECONDS - now;
    }
    rewrite_commit(&login_table, &rw);
    if (remaining) return remaining;
    return live >= LOGIN_TABLE_LINES_MAX ? LOGIN_LOCK_SECONDS : 0;
}

void login_record_failure(const char *address) {
    TableLock lock(&login_table);
    uint32_t now = now_seconds();
    Rewrite rw;
    if (!rewrite_open(&login_table, lock, false, &rw)) return;

    bool found = false;
    char line[256];
    Row row;
    while (rw.in && next_row(rw.in, line, &row)) {
        unsigned long time = strtoul(row.middle, nullptr, 10);
        if (!failure_live(now, time, row.number)) continue;
        if (strcmp(row.address, address) == 0) {
            found = true;
            fprintf(rw.out, "%s %lu %lu\n", row.address, static_cast<unsigned long>(now),
                    row.number + 1);
        } else {
            fprintf(rw.out, "%s %lu %lu\n", row.address, time, row.number);
        }
    }
    if (!found) fprintf(rw.out, "%s %lu %u\n", address, static_cast<unsigned long>(now), 1u);
    rewrite_commit(&login_table, &rw);
}

int session_open(const char *address, char id_out[SESSION_ID_SIZE]) {
    char id[SESSION_ID_SIZE];
    if (get_random_string(id, sizeof id) != 0) return -1;
    TableLock lock(&session_table);
    uint32_t now = now_seconds();
    Rewrite rw;
    if (!rewrite_open(&session_table, lock, false, &rw)) return -1;

    unsigned live = 0;
    bool collision = false;
    char line[256];
    Row row;
    while (rw.in && next_row(rw.in, line, &row)) {
        if (!session_live(now, row.number)) continue;
        live++;
        if (strcmp(row.middle, id) == 0) collision = true;
        if (strcmp(row.address, address) != 0)
            fprintf(rw.out, "%s %s %lu\n", row.address, row.middle, row.number);
    }
    if (live >= SESSIONS_MAX || collision) {
        rewrite_commit(&session_table, &rw);
        return -1;
    }
    fprintf(rw.out, "%s %s %lu\n", address, id, static_cast<unsigned long>(now));
    if (!rewrite_commit(&session_table, &rw)) return -1; // an id that no check would find
    memcpy(id_out, id, sizeof id);
    return 0;
}

bool session_check(const char *address) {
    char cookie[SESSION_COOKIE_SIZE];
    if (session_cookie(cookie) != 0) return false;
    TableLock lock(&session_table);
    uint32_t now = now_seconds();
    Rewrite rw;
    if (!rewrite_open(&session_table, lock, true, &rw)) return false;

    bool passed = false;
    char line[256];
    Row row;
    while (next_row(rw.in, line, &row)) {
        if (!session_live(now, row.number)) continue;
        unsigned long time = row.number;
        if (strcmp(row.address, address) == 0 && strcmp(row.middle, cookie) == 0) {
            passed = true;
            time = now;
        }
        fprintf(rw.out, "%s %s %lu\n", row.address, row.middle, time);
    }
    rewrite_commit(&session_table, &rw);
    return passed;
}

int session_cookie(char out[SESSION_COOKIE_SIZE]) {
    const char *header = getenv("HTTP_COOKIE");
    if (!header) return -1;
    size_t length = strlen(header);
    if (length >= HTTP_COOKIE_MAX) return -1;
    char copy[HTTP_COOKIE_MAX];
    memcpy(copy, header, length + 1);

    char *save = nullptr;
    for (char *piece = strtok_r(copy, ";", &save); piece; piece = strtok_r(nullptr, ";", &save)) {
        char *equals = strchr(piece, '=');
        if (!equals) continue;
        *equals = '\0';
        const char *name = str_trim(piece);
        const char *value = str_trim(equals + 1);
        if (strcmp(name, "session") != 0 || strlen(value) >= SESSION_COOKIE_SIZE) continue;
        memcpy(out, value, strlen(value) + 1);
        return 0;
    }
    return -1;
}

int page_login(const PageRequest &req) {
    // The lock-out decision, the password check and the failure count form
    // one step, so parallel guesses cannot pass the lock-out together.
    TableLock lock(&login_table);
    uint32_t disabled = login_locked_for(req.remote_addr);
    if (disabled) return answer_login(req.answer, disabled, nullptr, 0);
    if (strcmp(req.method, "GET") == 0) return answer_result(req.answer, 0);
    if (strcmp(req.method, "POST") != 0) return answer_result(req.answer, -1);

    const char *username = request_string(req.request, "username");
    const char *password = request_string(req.request, "password");
    if (!username || !password) return answer_result(req.answer, -1);

    if (strcmp(username, store_get("Login")) == 0) {
        const char *stored = store_get("Password");
        char digest[33];
        md5_hex(stored, strlen(stored), digest);
        if (strcasecmp(password, digest) == 0) {
            char id[SESSION_ID_SIZE];
            if (session_open(req.remote_addr, id) != 0) return answer_result(req.answer, -1);
            return answer_login(req.answer, 0, id, 0);
        }
    }
    login_record_failure(req.remote_addr);
    return answer_login(req.answer, login_locked_for(req.remote_addr), nullptr, -1);
}
