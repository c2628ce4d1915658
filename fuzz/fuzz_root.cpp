#include "fuzz_root.h"

#include "cgi.h"
#include "nvram_env.h"
#include "platform.h"

#include <cJSON.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string root_dir;

void remove_root() {
    if (root_dir.empty()) return;
    std::string command = "rm -rf '" + root_dir + "'";
    if (system(command.c_str()) != 0) fprintf(stderr, "could not remove %s\n", root_dir.c_str());
}

void make_dirs(const std::string &path) {
    for (size_t i = 1; i <= path.size(); ++i)
        if (i == path.size() || path[i] == '/') mkdir(path.substr(0, i).c_str(), 0755);
}

} // namespace

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
    page(req);
    nvram_close(NVRAM_CONFIG_SECTION);
    return answer;
}
