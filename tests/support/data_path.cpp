#include "data_path.h"

#include <cstdlib>
#include <sys/wait.h>
#include <unistd.h>

namespace ts {

namespace {

std::string ip_program() {
    for (const char *p : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"})
        if (access(p, X_OK) == 0) return p;
    return "";
}

std::string carrier_script() {
    return source_path("sim/carrier");
}

int shell(const std::string &command) {
    int st = system(command.c_str());
    return st != -1 && WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

std::string quoted(const std::string &s) {
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

} // namespace

std::string data_path_unavailable() {
    if (geteuid() != 0) return "needs root";
    if (ip_program().empty()) return "no ip program (iproute2)";
    if (shell("command -v busybox >/dev/null 2>&1") != 0) return "no busybox";
    return "";
}

DataPath::DataPath(const TempRoot &root, const std::string &ifname) {
    static int serial = 0;
    id_ = "rtsim-" + std::to_string(getpid()) + "-t" + std::to_string(serial++);
    shell(quoted(carrier_script()) + " sweep");
    ok_ = shell(quoted(carrier_script()) + " create " + id_ + " " + quoted(ifname)) == 0;
    make_dirs(root.path("/sbin"));
    if (symlink(source_path("sim/rootfs/sbin/udhcpc.sh").c_str(), root.path("/sbin/udhcpc.sh").c_str()) !=
        0)
        ok_ = false;
}

DataPath::~DataPath() {
    shell(quoted(carrier_script()) + " destroy " + id_);
}

std::vector<std::string> DataPath::modemsim_args(const std::string &addr) const {
    return {"--addr", addr, "--data-hook", carrier_script() + " hook " + id_};
}

std::vector<std::string> DataPath::in_router(const std::vector<std::string> &argv) const {
    std::vector<std::string> out = {ip_program(), "netns", "exec", router_ns()};
    out.insert(out.end(), argv.begin(), argv.end());
    return out;
}

int DataPath::router_sh(const std::string &command) const {
    return shell(ip_program() + " netns exec " + router_ns() + " sh -c " + quoted(command));
}

int DataPath::carrier_sh(const std::string &command) const {
    return shell(ip_program() + " netns exec " + carrier_ns() + " sh -c " + quoted(command));
}

} // namespace ts
