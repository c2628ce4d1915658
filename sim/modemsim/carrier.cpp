// The carrier side of the modem's network interface. Real modems hand out an
// address over their USB network device while a data call is up; here the
// data hook (a shell command given with --data-hook) does that work, for
// instance a DHCP server on the far end of a virtual link.
#include "modemsim.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Starts "HOOK ARGS" through the shell: its pid, or -1.
pid_t start_hook(Sim *s, const char *args) {
    char line[640];
    snprintf(line, sizeof line, "%s %s", s->opt.data_hook, args);
    pid_t pid = fork();
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c", line, static_cast<char *>(nullptr));
        _exit(127);
    }
    return pid;
}

// The hook's exit status once it ended (block: wait for it), -2 while it runs.
int end_of_hook(pid_t pid, bool block) {
    int status;
    pid_t r;
    while ((r = waitpid(pid, &status, block ? 0 : WNOHANG)) < 0)
        if (errno != EINTR) return -1;
    if (r == 0) return -2;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void log_hook(Sim *s, const char *args, int rc) {
    if (rc == 0)
        sim_log(s, "carrier %s", args);
    else
        sim_log(s, "carrier %s: hook failed (%d)", args, rc);
}

} // namespace

void carrier_wait(Sim *s, bool block) {
    if (s->hook_pid <= 0) return;
    int rc = end_of_hook(s->hook_pid, block);
    if (rc == -2) return;
    s->hook_pid = 0;
    log_hook(s, s->hook_args, rc);
}

void carrier_sync(Sim *s) {
    if (!s->opt.data_hook[0]) return;
    carrier_wait(s, false);
    bool up = s->present && (s->replay ? replay_call_up(s) : s->m.ctx[1].active);
    const char *addr = s->world.addr;
    if (up == s->carrier_up && (!up || strcmp(addr, s->carrier_addr) == 0)) return;
    // The carrier side is ready before the answer that tells of the call
    // leaves the modem. A replay's answers already take as long as the
    // recorded modem's hooks did: there the hooks run beside them, one at a
    // time, and the next one starts once this one has ended.
    if (s->hook_pid > 0) return;
    s->carrier_up = up;
    snprintf(s->carrier_addr, sizeof s->carrier_addr, "%s", up ? addr : "");
    char args[64];
    snprintf(args, sizeof args, up ? "up %s" : "down", addr);
    pid_t pid = start_hook(s, args);
    if (pid < 0) return log_hook(s, args, -1);
    if (s->replay) {
        s->hook_pid = pid;
        snprintf(s->hook_args, sizeof s->hook_args, "%s", args);
        return;
    }
    log_hook(s, args, end_of_hook(pid, true));
}

void carrier_finish(Sim *s) {
    carrier_wait(s, true);
    carrier_sync(s);
    carrier_wait(s, true);
}
