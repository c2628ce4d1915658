// The request entry of the web back end: one run per HTTP request reads the
// CGI environment and body, checks the session, calls one page, writes one
// JSON answer and, after it, runs the page's follow-up action.
#pragma once

#include <csignal>
#include <cstddef>

struct cJSON;

// Exit statuses of one run.
constexpr int CGI_STATUS_OK = 0;
// refused before any answer: nothing was written
constexpr int CGI_STATUS_REFUSED = 100;
// the answer object could not be printed: nothing was written
constexpr int CGI_STATUS_PRINT_FAILED = 110;
// refused by the request checks: a 403 answer with its reason was written
constexpr int CGI_STATUS_FORBIDDEN = 103;

// CONTENT_LENGTH is accepted from 0 to this many bytes on the upload pages,
// whose multipart body is never parsed.
constexpr size_t CGI_BODY_MAX = 6291456;
// ... and to this many on every other page: a JSON request never needs more
// (the settings section holds 16 KiB), and the parser takes many times the
// body's size in memory, before the session check.
constexpr size_t CGI_JSON_BODY_MAX = 65536;

// What runs 2 seconds after the answer has gone out.
enum class FollowUpAction { None, Restart, Reboot, FirewallReload };

// Per-request state that pages may change.
struct RequestContext {
    FollowUpAction follow_up; // None at the start of every request
};

// Everything a page gets. Each page uses only what its dispatch entry lists.
struct PageRequest {
    const char *method;      // REQUEST_METHOD, compared exactly with "GET" and "POST"
    const cJSON *request;    // the parsed JSON body, or null: behaves as an object without members
    cJSON *answer;           // the empty answer object; members keep their insertion order
    RequestContext *context; // the follow-up action
    const char *body;        // the raw body with a NUL after body_length bytes; null when empty
    size_t body_length;      // CONTENT_LENGTH
    size_t body_received;    // bytes that really arrived (the rest of body_length is zeros)
    const char *remote_addr; // REMOTE_ADDR: the client's identity for sessions
    // On a page that stops the services: a descriptor of "/tmp/fw.bin" whose
    // upload lock (upload_lock_take) was taken before they were stopped, or
    // -1 when another upload held it and nothing was stopped.
    int upload_lock = -1;
};

// A page fills req.answer, calls cgi_send_json exactly once and returns its
// result (or CGI_STATUS_REFUSED where the page refuses without
// answering). It may set req.context->follow_up before returning.
using PageHandler = int (*)(const PageRequest &req);

// Prints the answer unformatted and writes exactly
//   "Content-Length: <len+1>\n" "Content-Type:application/json; charset=utf-8\n\n" <json> "\n"
// to the answer output. CGI_STATUS_OK, or CGI_STATUS_PRINT_FAILED when the
// object could not be printed (nothing is written then).
int cgi_send_json(cJSON *answer);

// Where answers go: the descriptor given here (standard output by default).
void cgi_set_output(int fd);

// Serves one request from the CGI environment (getenv) and the body on
// in_fd: every step up to the answer, the store closed (committing what the
// page changed). Leaves the follow-up action in *context without running it.
// Returns the exit status.
int cgi_handle_request(int in_fd, RequestContext *context);

// The command line of an action; null for None.
const char *follow_up_command(FollowUpAction action);

// After the answer: for an action other than None forks a child that lets go
// of the answer output and standard input, sleeps 2 seconds and runs the
// action's command line; the caller (the parent) returns at once.
void cgi_run_follow_up(const RequestContext *context);

// Runs a command line that leaves a program running after the request (one
// ending in " &") through do_system_call, with standard input, standard
// output and the answer output pointing at /dev/null meanwhile, so that the
// program neither writes into the answer (a bridge prints its usage and
// exit messages on standard output) nor keeps the web server's pipes open
// after the request. The descriptors are restored afterwards. The result of
// do_system_call.
int cgi_run_background(const char *command);

// Writes to a peer that went away (the web server, the modem daemon) fail
// with EPIPE while this lives, instead of ending the run. Commands that the
// run starts keep the default disposition.
class SigpipeIgnored {
  public:
    SigpipeIgnored() {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigaction(SIGPIPE, &ignore, &old_);
    }
    ~SigpipeIgnored() { sigaction(SIGPIPE, &old_, nullptr); }
    SigpipeIgnored(const SigpipeIgnored &) = delete;
    SigpipeIgnored &operator=(const SigpipeIgnored &) = delete;

  private:
    struct sigaction old_ {};
};
