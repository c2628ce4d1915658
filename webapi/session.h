// Login and sessions. All state lives in two tables under /tmp that every
// request process rewrites whole (through "<table>~" and a rename):
//   "/tmp/web.login"    failed logins:  "<address> <time> <count>"
//   "/tmp/web.session"  open sessions:  "<address> <15-character id> <time>"
// Times are whole boot-clock seconds. Each table's read-modify-rewrite runs
// under an exclusive lock ("<table>.lock"), so concurrent requests neither
// lose updates nor corrupt a table.
#pragma once

#include "cgi.h"

#include <cstddef>
#include <cstdint>

constexpr unsigned LOGIN_FAILURES_TO_LOCK = 3;
constexpr uint32_t LOGIN_LOCK_SECONDS = 180;
constexpr unsigned LOGIN_TABLE_LINES_MAX = 20;
constexpr unsigned SESSIONS_MAX = 10;
constexpr uint32_t SESSION_IDLE_SECONDS = 1800;
constexpr size_t SESSION_ID_SIZE = 16;     // 15 characters and a NUL
constexpr size_t SESSION_COOKIE_SIZE = 64; // a cookie value is shorter than this
constexpr size_t HTTP_COOKIE_MAX = 4096;   // HTTP_COOKIE is shorter than this

// "login.cgi" (no session check). Answers "disabledTime" while the address
// is locked out, else checks "username" against the store key "Login" and
// "password" (the MD5 digest of the store key "Password" in hexadecimal, any
// letter case), and answers "session" with a new id and "result". The whole
// login runs under the failed-login table's lock, so parallel guesses from
// one address are counted one after the other.
int page_login(const PageRequest &req);

// Seconds for which the address is refused (1 to 180), 0 when it may try.
// Also prunes the table. A table that exists but cannot be rewritten refuses
// every address (180).
uint32_t login_locked_for(const char *address);
// Counts one failed login of the address (restarting its 180 seconds).
void login_record_failure(const char *address);

// Opens a session for the address, dropping its older one: 0 with the new id
// in id_out, or -1 (no random id, table not writable, 10 live sessions, or
// an id that is already in use). A rewrite that cannot be written whole
// leaves its table as it was (and opens no session).
int session_open(const char *address, char id_out[SESSION_ID_SIZE]);
// True when the "session" cookie names a live session of the address; that
// session's idle time starts again.
bool session_check(const char *address);
// The value of the first "session" cookie in HTTP_COOKIE that is shorter
// than 64 characters, spaces and control characters trimmed: 0, or -1.
int session_cookie(char out[SESSION_COOKIE_SIZE]);
