// Small helpers shared by the benchmark harnesses: clocks, statistics,
// spawning a contestant and collecting its CPU time.
#pragma once

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace bench {

inline double now_s() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// q-quantile (0..1) by nearest rank; 0 for no samples.
inline double quantile(std::vector<double> v, double q) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t i = static_cast<size_t>(q * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}
inline double median(const std::vector<double> &v) {
    return quantile(v, 0.5);
}

// Median of a[i] / b[i]: ratios of runs taken side by side.
inline double median_ratio(const std::vector<double> &a, const std::vector<double> &b) {
    std::vector<double> r;
    for (size_t i = 0; i < a.size() && i < b.size(); ++i)
        if (b[i] > 0) r.push_back(a[i] / b[i]);
    return median(r);
}

[[noreturn]] inline void die(const char *what) {
    fprintf(stderr, "bench: %s: %s\n", what, strerror(errno));
    exit(1);
}

// Replaces every {key} in text.
inline std::string expand(std::string text,
                          const std::vector<std::pair<std::string, std::string>> &vars) {
    for (const auto &[key, value] : vars) {
        std::string pat = "{" + key + "}";
        for (size_t at; (at = text.find(pat)) != std::string::npos;)
            text.replace(at, pat.size(), value);
    }
    return text;
}

// A new private directory under $TMPDIR (else /tmp), named after what uses it.
inline std::string temp_dir(const char *name) {
    const char *base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/" + name + "-XXXXXX";
    if (!mkdtemp(tmpl.data())) die("mkdtemp");
    return tmpl;
}

// A raw pty pair: the master's descriptor, the slave's path in *dev and a
// descriptor of the slave in *keep, held so that the pty never reads as
// hung up between the opens of the program under test.
inline int raw_pty(std::string *dev, int *keep) {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) die("pty");
    *dev = ptsname(master);
    *keep = open(dev->c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio;
    tcgetattr(master, &tio);
    cfmakeraw(&tio);
    tcsetattr(master, TCSANOW, &tio);
    return master;
}

// Starts a command line split at blanks (no shell), output to /dev/null.
inline pid_t spawn(const std::string &line) {
    std::vector<std::string> words;
    for (size_t i = 0; i < line.size();) {
        size_t j = line.find(' ', i);
        if (j == std::string::npos) j = line.size();
        if (j > i) words.push_back(line.substr(i, j - i));
        i = j + 1;
    }
    if (words.empty()) return -1;
    pid_t pid = fork();
    if (pid != 0) return pid;
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    std::vector<char *> argv;
    for (auto &w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
}

// Read and write system calls of a process so far (all its threads).
inline void syscall_counts(pid_t pid, long *reads, long *writes) {
    std::string path = "/proc/" + std::to_string(pid) + "/io";
    if (FILE *f = fopen(path.c_str(), "r")) {
        char key[32];
        long value;
        while (fscanf(f, "%31s %ld", key, &value) == 2) {
            if (!strcmp(key, "syscr:")) *reads = value;
            if (!strcmp(key, "syscw:")) *writes = value;
        }
        fclose(f);
    }
}

// Stops a contestant (SIGTERM, SIGKILL after 5 s) and returns its CPU
// seconds (user + system, all threads).
inline double stop_and_cpu(pid_t pid) {
    kill(pid, SIGTERM);
    int status;
    rusage ru{};
    for (int waited_ms = 0;; waited_ms += 10) {
        pid_t r = wait4(pid, &status, WNOHANG, &ru);
        if (r == pid || (r < 0 && errno != EINTR)) break;
        if (waited_ms == 5000) kill(pid, SIGKILL);
        usleep(10000);
    }
    auto sec = [](const timeval &tv) {
        return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) * 1e-6;
    };
    return sec(ru.ru_utime) + sec(ru.ru_stime);
}

} // namespace bench
