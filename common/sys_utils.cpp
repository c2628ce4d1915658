#include "sys_utils.h"

#include "fd_io.h"
#include "log.h"
#include "platform.h"

#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {
constexpr int kModemPowerPin = 2;
} // namespace

int do_system_call(const char *command) {
    const LogProgramConfig *cfg = log_program_config();
    RouterCommand line(command);
    int status = line.ok() ? system(line.c_str()) : -1;
    if (status == -1) {
        __log_str("%s: cmd excute error, %s\n", cfg->name, command);
        return -1;
    }
    if (WIFSIGNALED(status) || (status & 0x7f) != 0) {
        __log_str("%s: cmd %s error %d, %s\n", cfg->name, cfg->cmd_signal_word, status, command);
        return -1;
    }
    int code = WEXITSTATUS(status);
    if (code != 0)
        __log_str("%s: cmd %s error %d, %s\n", cfg->name, cfg->cmd_exit_word, code, command);
    return code;
}

int do_fork_call(const char *path, char *const argv[]) {
    pid_t pid = fork();
    if (pid < 0) {
        __log_str("%s: cmd fork error, %s\n", log_program_config()->name, path);
        return -1;
    }
    if (pid == 0) {
        RouterPath program(path);
        execvp(program.c_str(), argv);
        __log_str("%s: cmd execvp error, %s\n", log_program_config()->name, path);
        _exit(127);
    }
    return pid;
}

int _gpio_set(int pin, int on, int off, int blinks, int rests, int times) {
    return gpio_driver_request(pin, on, off, blinks, rests, times);
}

int gpio_set_level(int pin, int flag) {
    if (flag == 0) return _gpio_set(pin, GPIO_UNLIMITED, 0, 1, 0, GPIO_UNLIMITED);
    return _gpio_set(pin, 0, GPIO_UNLIMITED, 0, 1, GPIO_UNLIMITED);
}

int modem_power_set(int on) {
    return gpio_set_level(kModemPowerPin, on ? 0 : 1);
}

int read_file_string(const char *path, char *buf, size_t size) {
    RouterPath p(path);
    FILE *f = fopen(p.c_str(), "re");
    if (!f) return -1;
    if (size == 0 || !fgets(buf, static_cast<int>(size), f)) {
        fclose(f);
        return -1;
    }
    size_t len = strlen(buf);
    if (len > 0 && buf[len - 1] == '\n') {
        buf[--len] = '\0';
        if (len > 0 && buf[len - 1] == '\r') buf[--len] = '\0';
    } else if (len > 0 && buf[len - 1] == '\r') {
        buf[--len] = '\0';
    }
    fclose(f);
    return 0;
}

int write_file_string(const char *path, const char *text) {
    RouterPath p(path);
    FILE *f = fopen(p.c_str(), "we");
    if (!f) return -1;
    int rc = fputs(text, f) < 0 ? -1 : 0;
    if (fclose(f) != 0) rc = -1;
    return rc;
}

void ifc_init_ifreq(const char *name, struct ifreq *ifr) {
    memset(ifr, 0, sizeof *ifr);
    strncpy(ifr->ifr_name, name, IFNAMSIZ);
    ifr->ifr_name[IFNAMSIZ - 1] = '\0';
}

namespace {
int ifc_query(const char *name, unsigned long request, bool inet, struct ifreq *ifr) {
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return -1;
    ifc_init_ifreq(name, ifr);
    if (inet) ifr->ifr_addr.sa_family = AF_INET;
    int rc = ioctl(s, request, ifr);
    close(s);
    return rc;
}
} // namespace

int ifc_get_ifindex(const char *name, int *index) {
    struct ifreq ifr;
    int rc = ifc_query(name, SIOCGIFINDEX, false, &ifr);
    if (rc == 0) *index = ifr.ifr_ifindex;
    return rc;
}

int ifc_get_hwaddr(const char *name, unsigned char *hwaddr) {
    struct ifreq ifr;
    int rc = ifc_query(name, SIOCGIFHWADDR, false, &ifr);
    if (rc == 0) memcpy(hwaddr, ifr.ifr_hwaddr.sa_data, 6);
    return rc;
}

int ifc_get_addr(const char *name, uint32_t *addr) {
    struct ifreq ifr;
    int rc = ifc_query(name, SIOCGIFADDR, true, &ifr);
    if (rc == 0) {
        struct sockaddr_in sin;
        memcpy(&sin, &ifr.ifr_addr, sizeof sin);
        *addr = sin.sin_addr.s_addr;
    }
    return rc;
}

int ifc_get_netmask(const char *name, uint32_t *mask) {
    struct ifreq ifr;
    int rc = ifc_query(name, SIOCGIFNETMASK, true, &ifr);
    if (rc == 0) {
        struct sockaddr_in sin;
        memcpy(&sin, &ifr.ifr_netmask, sizeof sin);
        *mask = sin.sin_addr.s_addr;
    }
    return rc;
}

int time_bootup(BootTime *out) {
    return boot_clock_usec(&out->sec, &out->usec);
}

uint16_t inet_cksum(const void *data, size_t length) {
    const auto *p = static_cast<const unsigned char *>(data);
    uint32_t sum = 0;
    while (length > 1) {
        uint16_t word;
        memcpy(&word, p, 2); // memory order, as the packet holds it
        sum += word;
        p += 2;
        length -= 2;
    }
    if (length == 1) {
        uint16_t word = 0;
        memcpy(&word, p, 1);
        sum += word;
    }
    sum = (sum >> 16) + (sum & 0xFFFF);
    sum += sum >> 16;
    return static_cast<uint16_t>(~sum & 0xFFFF);
}

namespace {
bool blank(char c) {
    return static_cast<signed char>(c) <= 32;
}
} // namespace

char *str_trim(char *s) {
    while (*s && blank(*s))
        ++s;
    size_t len = strlen(s);
    while (len > 0 && blank(s[len - 1]))
        s[--len] = '\0';
    return s;
}

int str_split(char *s, char **out, int max, const char *delimiters) {
    int count = 0;
    char *save = nullptr;
    char *rest = s;
    while (count < max) {
        char *tok = strtok_r(rest, delimiters, &save);
        rest = nullptr;
        out[count] = tok;
        if (!tok) break;
        ++count;
    }
    return count;
}

int get_random_string(char *buf, size_t size) {
    if (!buf || size == 0) return -1;
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    size_t got = fd_read_full(fd, buf, size);
    close(fd);
    if (got != size) return -1;
    for (size_t i = 0; i < size; ++i) {
        unsigned char c = static_cast<unsigned char>(buf[i]);
        bool alnum = c < 0x80 && (isalpha(c) || isdigit(c));
        if (!alnum) buf[i] = static_cast<char>('A' + (c & 0x0F));
    }
    buf[size - 1] = '\0';
    return 0;
}
