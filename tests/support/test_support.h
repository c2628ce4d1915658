// Helpers for tests that run the real programs against a simulated router.
#pragma once

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace ts {

// Full path of a built program ("tracelink", "lted", "modemsim", ...). With
// ROUTER_TEST_ARCH set ("mipsel"), the programs of that architecture's
// simulation build (their launchers in build/<arch>-sim/launch) stand in for
// the host's; what that build lacks (the modem simulator) stays the host's.
std::string bin_path(const std::string &name);
// The number by which the programs under test know a host signal (their
// logs print it): on mipsel SIGUSR1 and SIGUSR2 are 16 and 17.
int program_signal_number(int host_signal);
// Path below the source tree ("sim/bin", ...).
std::string source_path(const std::string &rel);

// A private simulated router: a temporary directory that the programs see as
// ROUTER_ROOT, with the usual directories made and its boot clock starting
// now at the given speed-up. Removed at destruction unless KEEP_ROOT is set.
class TempRoot {
  public:
    explicit TempRoot(unsigned clock_factor = 1);
    ~TempRoot();
    TempRoot(const TempRoot &) = delete;
    TempRoot &operator=(const TempRoot &) = delete;

    const std::string &dir() const { return dir_; }
    // A system path ("/tmp/lted.log") as seen from the test.
    std::string path(const std::string &system_path) const { return dir_ + system_path; }
    unsigned factor() const { return factor_; }
    // Restarts the boot clock so that it reads `seconds` of uptime now, at
    // the root's speed-up.
    void set_uptime(unsigned seconds);
    // Sets the router's wall clock to `epoch_seconds` now; it runs on at the
    // real speed. Programs read the clock once: set it before they start.
    void set_wall_clock(long long epoch_seconds);
    // Environment for programs run inside this router: ROUTER_ROOT, and PATH
    // with the firmware stand-ins first.
    std::vector<std::string> env() const;

  private:
    void write_clock() const;

    std::string dir_;
    unsigned factor_;
    long long boot_ns_ = 0;
    long long wall_offset_ = 0; // seconds
};

struct Process {
    pid_t pid = -1;
    std::string out_path; // standard output
    std::string err_path; // standard error
    int status = -1;      // wait status once reaped

    // Sends the signal (if still running).
    void signal(int signum) const;
    // Waits up to ms for the exit; true when reaped.
    bool wait(int ms);
    bool running();
    int exit_code() const; // -1 when killed by a signal or not reaped
    std::string out() const;
    std::string err() const;
    ~Process(); // kills and reaps what is still running
};

// Starts argv[0] (a path) with the extra environment entries ("NAME=value")
// on top of the test's own; standard input is /dev/null.
void spawn(Process &p, const std::vector<std::string> &argv,
           const std::vector<std::string> &extra_env = {}, const std::string &cwd = "");

// Polls every 10 ms until pred() is true or ms have passed.
bool wait_until(const std::function<bool()> &pred, int ms);

std::string read_file(const std::string &path);
bool file_exists(const std::string &path);
void write_file(const std::string &path, const std::string &text);
void append_file(const std::string &path, const std::string &text);
bool contains(const std::string &haystack, const std::string &needle);
size_t count_of(const std::string &haystack, const std::string &needle);
// Lines of a text file, without line ends.
std::vector<std::string> read_lines(const std::string &path);
void make_dirs(const std::string &path);
void remove_tree(const std::string &path);

// Milliseconds on CLOCK_MONOTONIC.
long long now_ms();

} // namespace ts
