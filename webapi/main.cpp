// The web back end: run by the web server once per HTTP request, under the
// name of the page it serves.
#include "cgi.h"
#include "log.h"

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

int main() {
    log_set_program(LogProgram::Cgi);
    // The web server sends SIGTERM as soon as it has the whole answer, which
    // goes out before the store is committed and the follow-up is forked: the
    // run must finish regardless. Programs it starts get the default at exec.
    struct sigaction hold {};
    hold.sa_handler = [](int) {};
    hold.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &hold, nullptr);
    // The answer gets a private descriptor; whatever else a library prints on
    // standard output goes to standard error and cannot corrupt it.
    int out = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (out >= 0 && dup2(STDERR_FILENO, STDOUT_FILENO) >= 0) cgi_set_output(out);

    RequestContext context{FollowUpAction::None};
    int status = cgi_handle_request(STDIN_FILENO, &context);
    cgi_run_follow_up(&context);
    return status;
}
