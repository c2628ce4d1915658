// An AT command's round trip through the daemon's AT channel against the
// raw round trip on the same pty and responder. Each round sends the same
// number of commands both ways, in turn.
//
//   at_bench [--commands N] [--rounds R]
//
// The responder (a child process on the pty's master) answers every line
// with "+CSQ: 20,99" and "OK", as a modem answers AT+CSQ.
#include "at_channel.h"
#include "bench_util.h"
#include "fd_io.h"
#include "log.h"

#include <sys/stat.h>
#include <termios.h>

namespace {

constexpr char kAnswer[] = "\r\n+CSQ: 20,99\r\n\r\nOK\r\n";
// the daemon's settings of its command tty
constexpr RawTtyOptions kCommandTty{IGNBRK | IGNPAR, true, 1, false, -1, false};

[[noreturn]] void respond(int master) {
    char buf[4096];
    for (;;) {
        ssize_t n = read(master, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) _exit(0);
        for (ssize_t i = 0; i < n; ++i)
            if (buf[i] == '\r' && write(master, kAnswer, sizeof kAnswer - 1) < 0) _exit(1);
    }
}

// CPU seconds of this process so far, all threads (the responder is apart).
double cpu_now() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
}

void raw_round(const std::string &dev, int count, std::vector<double> &lat) {
    int fd = tty_open_raw(dev.c_str(), &kCommandTty);
    if (fd < 0) bench::die("open pty");
    char buf[256];
    for (int i = 0; i < count; ++i) {
        double t0 = bench::now_s();
        if (write(fd, "AT+CSQ\r", 7) != 7) bench::die("write");
        size_t got = 0;
        while (got < 4 || memcmp(buf + got - 4, "OK\r\n", 4) != 0) {
            ssize_t n = read(fd, buf + got, sizeof buf - got);
            if (n <= 0) bench::die("read");
            got += static_cast<size_t>(n);
            if (got == sizeof buf) bench::die("answer too long");
        }
        lat.push_back((bench::now_s() - t0) * 1e6);
    }
    close(fd);
}

void ignore_line(const char *, const char *) {}

void channel_round(const std::string &dev, int count, std::vector<double> &lat) {
    int fd = tty_open_raw(dev.c_str(), &kCommandTty);
    if (fd < 0 || at_open(fd, ignore_line) != 0) bench::die("at_open");
    for (int i = 0; i < count; ++i) {
        double t0 = bench::now_s();
        AtReply *reply = nullptr;
        int rc = at_send_command_singleline("AT+CSQ", "+CSQ:", &reply);
        lat.push_back((bench::now_s() - t0) * 1e6);
        if (rc != 0 || !reply->success) {
            fprintf(stderr, "bench: AT+CSQ through the channel failed: %d\n", rc);
            exit(1);
        }
        at_response_free(reply);
    }
    at_close();
}

} // namespace

int main(int argc, char **argv) {
    int count = 2000, rounds = 5;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!strcmp(argv[i], "--commands"))
            count = atoi(argv[i + 1]);
        else if (!strcmp(argv[i], "--rounds"))
            rounds = atoi(argv[i + 1]);
    }
    if (count < 1 || rounds < 1) return 2;

    // the channel logs every line into the daemon's log, under a root of its own
    std::string root = bench::temp_dir("at-bench");
    mkdir((root + "/tmp").c_str(), 0755);
    setenv("ROUTER_ROOT", root.c_str(), 1);
    log_set_program(LogProgram::Lted);

    std::string dev;
    int keep;
    int master = bench::raw_pty(&dev, &keep);
    pid_t responder = fork();
    if (responder == 0) respond(master);

    // CPU per command beside the latencies: a loaded machine stretches
    // every wake-up, but much less the work done
    std::vector<double> raw_med, raw_p99, ch_med, ch_p99, raw_cpu, ch_cpu;
    for (int r = 1; r <= rounds; ++r) {
        std::vector<double> raw, chan;
        double c0 = cpu_now();
        raw_round(dev, count, raw);
        double c1 = cpu_now();
        channel_round(dev, count, chan);
        raw_cpu.push_back((c1 - c0) * 1e6 / count);
        ch_cpu.push_back((cpu_now() - c1) * 1e6 / count);
        raw_med.push_back(bench::median(raw));
        raw_p99.push_back(bench::quantile(raw, 0.99));
        ch_med.push_back(bench::median(chan));
        ch_p99.push_back(bench::quantile(chan, 0.99));
        printf("round %d/%d: raw %.1f / %.1f us, channel %.1f / %.1f us (median / p99)\n", r,
               rounds, raw_med.back(), raw_p99.back(), ch_med.back(), ch_p99.back());
        fflush(stdout);
    }
    printf("medians over %d rounds of %d commands:\n", rounds, count);
    printf("  raw      median %7.1f us  p99 %7.1f us  CPU %5.1f us per command\n",
           bench::median(raw_med), bench::median(raw_p99), bench::median(raw_cpu));
    printf("  channel  median %7.1f us  p99 %7.1f us  CPU %5.1f us per command\n",
           bench::median(ch_med), bench::median(ch_p99), bench::median(ch_cpu));
    printf("  channel / raw: median %.2fx, p99 %.2fx, CPU %.2fx\n",
           bench::median_ratio(ch_med, raw_med), bench::median_ratio(ch_p99, raw_p99),
           bench::median_ratio(ch_cpu, raw_cpu));

    kill(responder, SIGTERM);
    waitpid(responder, nullptr, 0);
    close(keep);
    close(master);
    std::string rm = "rm -rf " + root;
    if (system(rm.c_str()) != 0) fprintf(stderr, "bench: could not remove %s\n", root.c_str());
    return 0;
}
