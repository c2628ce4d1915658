#include "fuzz_root.h"

#include "cgi.h"
#include "nvram_env.h"
#include "platform.h"

#include <array>
#include <cJSON.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <ftw.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string root_dir;
bool shell_stand_in = false;

int remove_entry(const char *path, const struct stat *, int, FTW *) {
    return remove(path) == 0 ? 0 : -1;
}

// Without a shell: PATH names the empty folder by now.
void remove_root() {
    if (root_dir.empty()) return;
    if (nftw(root_dir.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS) != 0)
        fprintf(stderr, "could not remove %s\n", root_dir.c_str());
}

struct EnvEntry {
    char text[32 + 1 + 65536 + 1]; // "NAME=value"
};
std::array<EnvEntry, 8> env_entries;

void make_dirs(const std::string &path) {
    for (size_t i = 1; i <= path.size(); ++i)
        if (i == path.size() || path[i] == '/') mkdir(path.substr(0, i).c_str(), 0755);
}

} // namespace

extern "C" int system(const char *command) {
    if (shell_stand_in) return command ? 0 : 1;
    using SystemFn = int (*)(const char *);
    static auto real = reinterpret_cast<SystemFn>(dlsym(RTLD_NEXT, "system"));
    return real ? real(command) : -1;
}

void fuzz_shell_stand_in(bool on) {
    shell_stand_in = on;
}

const std::string &fuzz_root() {
    if (!root_dir.empty()) return root_dir;
    char dir[] = "/tmp/fuzz-root.XXXXXX";
    if (!mkdtemp(dir)) abort();
    root_dir = dir;
    for (const char *sub : {"/tmp", "/var/run", "/proc/net", "/etc_ro", "/sim", "/dev", "/nobin"})
        make_dirs(root_dir + sub);
    setenv("ROUTER_ROOT", dir, 1);
    setenv("PATH", (root_dir + "/nobin").c_str(), 1);
    atexit(remove_root);
    return root_dir;
}

void fuzz_write(const char *system_path, const std::string &data) {
    std::string path = fuzz_root() + system_path;
    make_dirs(path.substr(0, path.rfind('/')));
    FILE *f = fopen(path.c_str(), "we");
    if (!f) abort();
    fwrite(data.data(), 1, data.size(), f);
    fclose(f);
}

void fuzz_remove(const char *system_path) {
    unlink((fuzz_root() + system_path).c_str());
}

void fuzz_clear(const char *system_dir) {
    std::string dir = fuzz_root() + system_dir;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.') unlink((dir + "/" + e->d_name).c_str());
        closedir(d);
    }
}

std::string fuzz_read(const char *system_path) {
    std::string text;
    FILE *f = fopen((fuzz_root() + system_path).c_str(), "re");
    if (!f) return text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, n);
    fclose(f);
    return text;
}

size_t fuzz_line_pieces(const std::string &text, size_t buffer_size) {
    size_t n = 0, len = 0;
    for (char c : text) {
        ++len;
        if (c == '\n' || len == buffer_size - 1) {
            ++n;
            len = 0;
        }
    }
    return n + (len > 0);
}

void fuzz_env(const char *name, const char *value) {
    size_t name_len = strlen(name);
    if (name_len == 0 || name_len > 32) abort();
    EnvEntry *entry = nullptr;
    for (EnvEntry &e : env_entries)
        if (strncmp(e.text, name, name_len) == 0 && e.text[name_len] == '=') entry = &e;
    if (!entry)
        for (EnvEntry &e : env_entries)
            if (!entry && !e.text[0]) entry = &e;
    if (!entry) abort();
    if (!value) {
        unsetenv(name);
        return;
    }
    size_t value_len = strnlen(value, 65536);
    memcpy(entry->text, name, name_len);
    entry->text[name_len] = '=';
    memcpy(entry->text + name_len + 1, value, value_len);
    entry->text[name_len + 1 + value_len] = '\0';
    // put once, and again after an unset or a setenv() of the same name
    if (getenv(name) != entry->text + name_len + 1) putenv(entry->text);
}

unsigned long fuzz_now() {
    fuzz_root();
    timespec now;
    boot_clock_now(&now);
    return static_cast<unsigned long>(now.tv_sec);
}

cJSON *fuzz_page(FuzzPage page, const char *method, const cJSON *request) {
    static int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    cgi_set_output(null_fd);
    RequestContext context{FollowUpAction::None};
    cJSON *answer = cJSON_CreateObject();
    PageRequest req{method, request, answer, &context, nullptr, 0, 0, "198.51.100.7"};
    nvram_init(NVRAM_CONFIG_SECTION);
    fuzz_shell_stand_in(true);
    page(req);
    fuzz_shell_stand_in(false);
    nvram_close(NVRAM_CONFIG_SECTION);
    return answer;
}
