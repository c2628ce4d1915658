// Relays from a pty to a TCP peer, side by side: each round runs every
// contestant once, in turn, on a fresh pty and connection, streams the same
// bytes into the pty and checks every byte that reaches the peer.
//
//   bridge_bench [--bytes N] [--rounds R] [--port P] [--frames] NAME=COMMAND ...
//
// COMMAND is split at blanks; {dev} is the pty's path, {root} a router root
// whose /dev/ttyUSB0 links to it, {port} the peer's TCP port on 127.0.0.1.
// --frames streams 0x7E-terminated frames of 8 to 600 bytes. The first
// contestant is compared with each of the others.
#include "bench_util.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>

namespace {

struct Contestant {
    std::string name, command;
    std::vector<double> mib_per_s, cpu_ms_per_mib;
};

// The stream repeats this table; its length is prime for unframed data, so a
// lost or repeated chunk never lines up with the pattern again.
std::vector<unsigned char> pattern;

void make_pattern(bool frames) {
    uint64_t x = 0x9E3779B97F4A7C15ull;
    auto next = [&x] {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        return x;
    };
    if (!frames) {
        pattern.resize(1000003);
        for (auto &b : pattern)
            b = static_cast<unsigned char>(next());
        return;
    }
    while (pattern.size() < 1000000) {
        size_t len = 8 + next() % 593;
        for (size_t i = 1; i < len; ++i) {
            unsigned char b = static_cast<unsigned char>(next());
            pattern.push_back(b == 0x7E ? 0x7D : b);
        }
        pattern.push_back(0x7E);
    }
}

struct Writer {
    int fd;
    size_t total;
};

void *write_stream(void *arg) {
    auto *w = static_cast<Writer *>(arg);
    size_t off = 0;
    while (off < w->total) {
        size_t at = off % pattern.size();
        size_t n = std::min({pattern.size() - at, w->total - off, size_t{65536}});
        ssize_t k = write(w->fd, pattern.data() + at, n);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) break;
        off += static_cast<size_t>(k);
    }
    return nullptr;
}

int listen_on(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(fd, 4) != 0)
        bench::die("listen");
    return fd;
}

// One run; ends the program when the bytes did not all arrive intact.
void run_once(Contestant &c, size_t total, int fixed_port) {
    std::string dev;
    int keep;
    int master = bench::raw_pty(&dev, &keep);

    std::string root = bench::temp_dir("bridge-bench");
    mkdir((root + "/dev").c_str(), 0755);
    mkdir((root + "/tmp").c_str(), 0755);
    if (symlink(dev.c_str(), (root + "/dev/ttyUSB0").c_str()) != 0) bench::die("symlink");

    int listener = listen_on(fixed_port);
    sockaddr_in a{};
    socklen_t alen = sizeof a;
    getsockname(listener, reinterpret_cast<sockaddr *>(&a), &alen);
    std::string port = std::to_string(ntohs(a.sin_port));

    pid_t pid =
        bench::spawn(bench::expand(c.command, {{"dev", dev}, {"root", root}, {"port", port}}));
    pollfd p{listener, POLLIN, 0};
    if (poll(&p, 1, 10000) != 1) {
        fprintf(stderr, "bench: %s did not connect\n", c.name.c_str());
        exit(1);
    }
    int conn = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    close(listener);

    Writer w{master, total};
    pthread_t writer;
    double t0 = bench::now_s();
    pthread_create(&writer, nullptr, write_stream, &w);
    static unsigned char buf[1 << 18];
    size_t got = 0;
    bool intact = true;
    while (got < total) {
        pollfd q{conn, POLLIN, 0};
        if (poll(&q, 1, 10000) != 1) {
            fprintf(stderr, "bench: %s: %zu of %zu bytes, then nothing for 10 s\n", c.name.c_str(),
                    got, total);
            intact = false;
            break;
        }
        ssize_t n = read(conn, buf, sizeof buf);
        if (n <= 0) {
            fprintf(stderr, "bench: %s closed after %zu bytes\n", c.name.c_str(), got);
            intact = false;
            break;
        }
        for (size_t i = 0; i < static_cast<size_t>(n);) {
            size_t at = (got + i) % pattern.size();
            size_t k = std::min(pattern.size() - at, static_cast<size_t>(n) - i);
            if (memcmp(buf + i, pattern.data() + at, k) != 0) {
                fprintf(stderr, "bench: %s: wrong bytes near offset %zu\n", c.name.c_str(),
                        got + i);
                intact = false;
                break;
            }
            i += k;
        }
        if (!intact) break;
        got += static_cast<size_t>(n);
    }
    double elapsed = bench::now_s() - t0;
    long reads = 0, writes = 0;
    bench::syscall_counts(pid, &reads, &writes);
    double cpu = bench::stop_and_cpu(pid);
    close(conn);
    close(keep);
    close(master); // ends a writer still blocked on a stalled relay
    pthread_join(writer, nullptr);
    unlink((root + "/dev/ttyUSB0").c_str());
    std::string rm = "rm -rf " + root;
    if (system(rm.c_str()) != 0) fprintf(stderr, "bench: could not remove %s\n", root.c_str());
    if (!intact) exit(1);

    double mib = static_cast<double>(total) / (1 << 20);
    c.mib_per_s.push_back(mib / elapsed);
    c.cpu_ms_per_mib.push_back(cpu * 1000 / mib);
    // bytes per read and write call: how the relay moved the stream
    printf("  %-10s %8.1f MiB/s %8.2f ms CPU/MiB  (%ld reads, %ld writes)\n", c.name.c_str(),
           mib / elapsed, cpu * 1000 / mib, reads, writes);
    fflush(stdout);
}

} // namespace

int main(int argc, char **argv) {
    size_t total = 100u << 20;
    int rounds = 5, port = 0;
    bool frames = false;
    std::vector<Contestant> cs;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--bytes" && i + 1 < argc)
            total = strtoull(argv[++i], nullptr, 0);
        else if (arg == "--rounds" && i + 1 < argc)
            rounds = atoi(argv[++i]);
        else if (arg == "--port" && i + 1 < argc)
            port = atoi(argv[++i]);
        else if (arg == "--frames")
            frames = true;
        else if (size_t eq = arg.find('='); eq != std::string::npos && eq > 0)
            cs.push_back({arg.substr(0, eq), arg.substr(eq + 1), {}, {}});
        else {
            fprintf(stderr,
                    "usage: %s [--bytes N] [--rounds R] [--port P] [--frames] NAME=COMMAND ...\n",
                    argv[0]);
            return 2;
        }
    }
    if (cs.size() < 2 || rounds < 1) return 2;
    make_pattern(frames);
    // whole frames only: a relay of frames holds back an unfinished one
    if (frames) total = (total + pattern.size() - 1) / pattern.size() * pattern.size();
    signal(SIGPIPE, SIG_IGN);

    for (int r = 1; r <= rounds; ++r) {
        printf("round %d/%d\n", r, rounds);
        for (auto &c : cs)
            run_once(c, total, port);
    }
    printf("medians over %d rounds, %.1f MiB each%s:\n", rounds,
           static_cast<double>(total) / (1 << 20), frames ? " of frames" : "");
    for (auto &c : cs)
        printf("  %-10s %8.1f MiB/s %8.2f ms CPU/MiB\n", c.name.c_str(), bench::median(c.mib_per_s),
               bench::median(c.cpu_ms_per_mib));
    // ratios within each round, then their median: both sides of a ratio
    // ran under the same load
    for (size_t i = 1; i < cs.size(); ++i)
        printf("  %s / %s: throughput %.2fx, CPU per MiB %.2fx\n", cs[0].name.c_str(),
               cs[i].name.c_str(), bench::median_ratio(cs[0].mib_per_s, cs[i].mib_per_s),
               bench::median_ratio(cs[0].cpu_ms_per_mib, cs[i].cpu_ms_per_mib));
    return 0;
}
