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

// Runs "HOOK ARGS" through the shell and waits: the carrier side is ready
// before the answer that tells of the call leaves the modem.
int run_hook(Sim *s, const char *args) {
    char line[640];
    snprintf(line, sizeof line, "%s %s", s->opt.data_hook, args);
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c", line, static_cast<char *>(nullptr));
        _exit(127);
    }
    int status;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

void carrier_sync(Sim *s) {
    if (!s->opt.data_hook[0]) return;
    bool up = s->present && (s->replay ? replay_call_up(s) : s->m.ctx[1].active);
    const char *addr = s->world.addr;
    if (up == s->carrier_up && (!up || strcmp(addr, s->carrier_addr) == 0)) return;
    s->carrier_up = up;
    snprintf(s->carrier_addr, sizeof s->carrier_addr, "%s", up ? addr : "");
    char args[64];
    snprintf(args, sizeof args, up ? "up %s" : "down", addr);
    int rc = run_hook(s, args);
    if (rc == 0)
        sim_log(s, "carrier %s", args);
    else
        sim_log(s, "carrier %s: hook failed (%d)", args, rc);
}
