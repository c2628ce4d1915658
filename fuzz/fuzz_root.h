// A private router root for harnesses whose parsers read system files: every
// system path of the code under test ("/tmp/web.session", "/proc/net/arp",
// ...) resolves below it. Commands that the code runs find no program (PATH
// names an empty folder), so nothing outside the root is touched; while a
// page runs, no shell starts at all (fuzz_shell_stand_in).
#pragma once

#include <cstddef>
#include <string>

// Makes the root once per process and points ROUTER_ROOT and PATH at it;
// removed when the process exits normally.
const std::string &fuzz_root();
// While on, a command line that the code under test hands to the shell is
// taken as run with exit status 0 and no process starts: a page that signals
// a daemon on every request would otherwise start a shell per input.
// libFuzzer's own commands (merging) always run.
void fuzz_shell_stand_in(bool on);
// Writes data to the system path below the root (making its folder).
void fuzz_write(const char *system_path, const std::string &data);
void fuzz_remove(const char *system_path);
// Removes the files of the system folder below the root.
void fuzz_clear(const char *system_dir);
// The file's content, "" when it does not exist.
std::string fuzz_read(const char *system_path);
// The number of lines fgets() reads from text with a buffer of that size
// (a longer line comes in pieces).
size_t fuzz_line_pieces(const std::string &text, size_t buffer_size);
// Sets the environment variable to value (up to its first NUL, at most
// 65536 bytes), or unsets it when value is null. The entry is rewritten in
// place: setenv() keeps every value it was given for the life of the
// process, which millions of runs exhaust. At most 8 names.
void fuzz_env(const char *name, const char *value);
// Boot-clock seconds now, as the session tables count them.
unsigned long fuzz_now();

struct cJSON;
struct PageRequest;
using FuzzPage = int (*)(const PageRequest &req);

// Runs a page as the request entry would, its answer going nowhere: the
// answer object, which the caller deletes.
cJSON *fuzz_page(FuzzPage page, const char *method, const cJSON *request);
