#include "test_support.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace ts {

std::string bin_path(const std::string &name) {
    const char *arch = getenv("ROUTER_TEST_ARCH");
    if (arch && arch[0]) {
        std::string launch = source_path("build/" + std::string(arch) + "-sim/launch");
        if (access(launch.c_str(), X_OK) != 0) {
            // never the host's programs in their place
            fprintf(stderr, "ROUTER_TEST_ARCH=%s: %s is missing\n", arch, launch.c_str());
            abort();
        }
        if (access((launch + "/" + name).c_str(), X_OK) == 0) return launch + "/" + name;
    }
    return std::string(ROUTER_BIN_DIR) + "/" + name;
}

int program_signal_number(int host_signal) {
    const char *arch = getenv("ROUTER_TEST_ARCH");
    if (!arch || strcmp(arch, "mipsel") != 0) return host_signal;
    if (host_signal == SIGUSR1) return 16;
    if (host_signal == SIGUSR2) return 17;
    return host_signal; // the signals the programs handle besides have one number
}

std::string source_path(const std::string &rel) {
    return std::string(ROUTER_SOURCE_DIR) + "/" + rel;
}

long long now_ms() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

void make_dirs(const std::string &path) {
    std::string cur;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        cur = path.substr(0, pos);
        if (!cur.empty()) mkdir(cur.c_str(), 0755);
    }
}

void remove_tree(const std::string &path) {
    nftw(
        path.c_str(),
        [](const char *p, const struct stat *, int, struct FTW *) { return remove(p); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

TempRoot::TempRoot(unsigned clock_factor) : factor_(clock_factor) {
    char tmpl[] = "/tmp/router-root-XXXXXX";
    char *d = mkdtemp(tmpl);
    if (!d) abort();
    dir_ = d;
    for (const char *sub : {"/tmp", "/var/run", "/dev", "/sys/bus/usb/devices",
                            "/proc/sys/net/ipv4", "/etc_ro", "/sim", "/bin"})
        make_dirs(dir_ + sub);
    set_uptime(0);
}

void TempRoot::set_uptime(unsigned seconds) {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    boot_ns_ = static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec -
               seconds * 1000000000LL / factor_;
    write_clock();
}

void TempRoot::set_wall_clock(long long epoch_seconds) {
    wall_offset_ = epoch_seconds - static_cast<long long>(time(nullptr));
    write_clock();
}

void TempRoot::write_clock() const {
    write_file(dir_ + "/sim/clock", std::to_string(boot_ns_) + " " + std::to_string(factor_) + " " +
                                        std::to_string(wall_offset_) + "\n");
}

TempRoot::~TempRoot() {
    if (!getenv("KEEP_ROOT")) remove_tree(dir_);
}

std::vector<std::string> TempRoot::env() const {
    const char *path = getenv("PATH");
    return {"ROUTER_ROOT=" + dir_, "PATH=" + source_path("sim/bin") + ":" + dir_ +
                                       "/bin:" + (path ? path : "/usr/bin:/bin")};
}

void Process::signal(int signum) const {
    if (pid > 0 && status == -1) ::kill(pid, signum);
}

bool Process::wait(int ms) {
    if (pid <= 0) return false;
    if (status != -1) return true;
    long long end = now_ms() + ms;
    for (;;) {
        int st;
        pid_t r = waitpid(pid, &st, WNOHANG);
        if (r == pid) {
            status = st;
            return true;
        }
        if (r < 0 && errno != EINTR) return false;
        if (now_ms() >= end) return false;
        usleep(5000);
    }
}

bool Process::running() {
    return pid > 0 && !wait(0);
}

int Process::exit_code() const {
    if (status == -1 || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

std::string Process::out() const {
    return read_file(out_path);
}
std::string Process::err() const {
    return read_file(err_path);
}

Process::~Process() {
    if (pid > 0 && status == -1) {
        ::kill(pid, SIGKILL);
        wait(5000);
    }
    if (!out_path.empty()) unlink(out_path.c_str());
    if (!err_path.empty()) unlink(err_path.c_str());
}

void spawn(Process &p, const std::vector<std::string> &argv,
           const std::vector<std::string> &extra_env, const std::string &cwd) {
    char out_t[] = "/tmp/proc-out-XXXXXX";
    char err_t[] = "/tmp/proc-err-XXXXXX";
    int out_fd = mkstemp(out_t);
    int err_fd = mkstemp(err_t);
    p.out_path = out_t;
    p.err_path = err_t;

    std::vector<std::string> env_s;
    for (char **e = environ; *e; ++e) {
        std::string entry(*e);
        std::string name = entry.substr(0, entry.find('='));
        bool overridden = false;
        for (const auto &x : extra_env)
            if (x.substr(0, x.find('=')) == name) overridden = true;
        if (!overridden) env_s.push_back(entry);
    }
    for (const auto &x : extra_env)
        env_s.push_back(x);
    std::vector<char *> envp, args;
    for (auto &s : env_s)
        envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> argv_s = argv;
    for (auto &s : argv_s)
        args.push_back(s.data());
    args.push_back(nullptr);

    pid_t pid = fork();
    if (pid == 0) {
        int in = open("/dev/null", O_RDONLY);
        dup2(in, 0);
        dup2(out_fd, 1);
        dup2(err_fd, 2);
        setpgid(0, 0);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    close(out_fd);
    close(err_fd);
    p.pid = pid;
    p.status = -1;
}

bool wait_until(const std::function<bool()> &pred, int ms) {
    long long end = now_ms() + ms;
    for (;;) {
        if (pred()) return true;
        if (now_ms() >= end) return false;
        usleep(10000);
    }
}

std::string read_file(const std::string &path) {
    std::string s;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) return s;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        s.append(buf, n);
    fclose(f);
    return s;
}

bool file_exists(const std::string &path) {
    return access(path.c_str(), F_OK) == 0;
}

void write_file(const std::string &path, const std::string &text) {
    FILE *f = fopen(path.c_str(), "wb");
    if (!f) return;
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
}

void append_file(const std::string &path, const std::string &text) {
    FILE *f = fopen(path.c_str(), "ab");
    if (!f) return;
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
}

bool contains(const std::string &haystack, const std::string &needle) {
    return haystack.find(needle) != std::string::npos;
}

size_t count_of(const std::string &haystack, const std::string &needle) {
    size_t n = 0;
    for (size_t pos = haystack.find(needle); pos != std::string::npos;
         pos = haystack.find(needle, pos + needle.size()))
        ++n;
    return n;
}

std::vector<std::string> read_lines(const std::string &path) {
    std::vector<std::string> lines;
    std::string s = read_file(path), cur;
    for (char c : s) {
        if (c == '\n') {
            lines.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty()) lines.push_back(cur);
    return lines;
}

} // namespace ts
