// Host stand-in of the configuration store driver. The store lives in the
// directory that "/dev/apsoc_nvram" maps to under the router root:
//
//     lock              flock()ed by every request (shared to read, exclusive to change)
//     <section>.live    the driver's working copy: what a set changes, what every process reads
//     <section>.flash   what the last commit wrote
//
// Both copies hold the section text exactly as NVRAM_IOCTL_GETALL returns it:
// "name=value" strings, each zero-terminated, ended by an empty string. A
// section without a live copy (a freshly booted router) starts from its
// flash copy, and without that from the factory settings built in from
// sim/nvram/<section>.defaults. Files are replaced through a temporary file
// and a rename, so a reader or a crash never sees half a section.
#include "fd_io.h"
#include "nvram_driver.h"
#include "nvram_env.h"
#include "platform.h"

#include "nvram_defaults.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr size_t kMaxSection = 0x4000;

// One section's text; used counts the closing empty string.
struct SectionText {
    char text[kMaxSection];
    size_t used;
    size_t capacity; // section size - 4
};

struct Store {
    char dir[512];
    int lock_fd;
};

// Opens the store and takes its lock; false (errno set) when there is no
// device, as on a router without the driver.
bool store_open(Store *st, int lock_kind) {
    st->lock_fd = -1;
    if (!router_root()) {
        errno = ENOENT;
        return false;
    }
    RouterPath dev("/dev/apsoc_nvram");
    if (!dev.ok()) {
        errno = ENAMETOOLONG;
        return false;
    }
    snprintf(st->dir, sizeof st->dir, "%s", dev.c_str());
    if (mkdir(st->dir, 0755) < 0 && errno != EEXIST) return false;
    char path[600];
    snprintf(path, sizeof path, "%s/lock", st->dir);
    st->lock_fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (st->lock_fd < 0) return false;
    int rc;
    do {
        rc = flock(st->lock_fd, lock_kind);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        int saved = errno;
        close(st->lock_fd);
        errno = saved;
        return false;
    }
    return true;
}

void store_close(Store *st) {
    int saved = errno;
    if (st->lock_fd >= 0) close(st->lock_fd); // releases the lock
    errno = saved;
}

void section_path(const Store *st, int index, const char *kind, char *path, size_t size) {
    snprintf(path, size, "%s/%s.%s", st->dir, nvram_section_name(index), kind);
}

// Makes the text well formed: ends it after its last complete string.
void text_seal(SectionText *t, size_t length) {
    size_t pos = 0, next = 0;
    NvramTextEntry e;
    // each string kept must leave room for the closing empty string
    while (nvram_text_next(t->text, length, &next, &e) && next < t->capacity)
        pos = next;
    t->text[pos] = '\0';
    t->used = pos + 1;
}

// 1 when read, 0 when the file does not exist, -1 on failure.
int text_read_file(SectionText *t, const char *path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? 0 : -1;
    size_t length = 0;
    for (;;) {
        ssize_t n = read(fd, t->text + length, t->capacity - length);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int saved = errno;
            close(fd);
            errno = saved;
            return -1;
        }
        if (n == 0) break;
        length += static_cast<size_t>(n);
        if (length == t->capacity) break;
    }
    close(fd);
    text_seal(t, length);
    return 1;
}

void text_from_defaults(SectionText *t, int index) {
    t->text[0] = '\0';
    t->used = 1;
    const char *lines = nullptr;
    for (const NvramDefaults &d : kNvramDefaults)
        if (strcmp(d.section, nvram_section_name(index)) == 0) lines = d.text;
    if (!lines) return;
    size_t pos = 0;
    for (const char *p = lines; *p;) {
        const char *end = strchr(p, '\n');
        size_t len = end ? static_cast<size_t>(end - p) : strlen(p);
        const char *next = end ? end + 1 : p + len;
        while (len > 0 && p[len - 1] == '\r')
            len--;
        const char *eq = static_cast<const char *>(memchr(p, '=', len));
        if (len > 0 && p[0] != '#' && eq && eq != p && pos + len + 2 <= t->capacity) {
            memcpy(t->text + pos, p, len);
            pos += len;
            t->text[pos++] = '\0';
        }
        p = next;
    }
    t->text[pos] = '\0';
    t->used = pos + 1;
}

// The section as the driver holds it now. 0, or -1 with errno.
int text_current(const Store *st, int index, SectionText *t) {
    t->capacity = nvram_section_size(index) - 4;
    char path[600];
    section_path(st, index, "live", path, sizeof path);
    int rc = text_read_file(t, path);
    if (rc != 0) return rc < 0 ? -1 : 0;
    section_path(st, index, "flash", path, sizeof path);
    rc = text_read_file(t, path);
    if (rc != 0) return rc < 0 ? -1 : 0;
    text_from_defaults(t, index);
    return 0;
}

// Offset of the entry of name, or -1.
long text_find(const SectionText *t, const char *name) {
    size_t name_len = strlen(name);
    size_t pos = 0, at = 0;
    NvramTextEntry e;
    for (; nvram_text_next(t->text, t->used, &pos, &e); at = pos)
        if (e.eq && static_cast<size_t>(e.eq - e.text) == name_len &&
            memcmp(e.text, name, name_len) == 0)
            return static_cast<long>(at);
    return -1;
}

// Replaces the file through a temporary file in the same directory.
int text_write_file(const Store *st, int index, const char *kind, const SectionText *t,
                    bool durable) {
    char path[600], tmp[620];
    section_path(st, index, kind, path, sizeof path);
    snprintf(tmp, sizeof tmp, "%s/.%s.%s.XXXXXX", st->dir, nvram_section_name(index), kind);
    int fd = mkstemp(tmp);
    if (fd < 0) return -1;
    bool ok = fd_write_all(fd, t->text, t->used, nullptr) == 0 && fchmod(fd, 0644) == 0 &&
              (!durable || fsync(fd) == 0);
    int saved = errno;
    if (close(fd) < 0 && ok) {
        saved = errno;
        ok = false;
    }
    if (ok && rename(tmp, path) == 0) return 0;
    if (ok) saved = errno;
    unlink(tmp);
    errno = saved ? saved : EIO;
    return -1;
}

int do_get(const Store *st, NvramRequest *rq) {
    if (!rq->name || !rq->value) {
        errno = EFAULT;
        return -1;
    }
    SectionText t;
    if (text_current(st, rq->index, &t) < 0) return -1;
    long at = text_find(&t, rq->name);
    rq->value[0] = '\0';
    if (at >= 0) {
        const char *value = t.text + at + strlen(rq->name) + 1;
        snprintf(rq->value, NVRAM_GET_BUFFER, "%s", value);
    }
    return 0;
}

int do_getall(const Store *st, NvramRequest *rq) {
    if (!rq->value) {
        errno = EFAULT;
        return -1;
    }
    SectionText t;
    if (text_current(st, rq->index, &t) < 0) return -1;
    memcpy(rq->value, t.text, t.used);
    return 0;
}

int do_set(const Store *st, NvramRequest *rq) {
    if (!rq->name || !rq->value) {
        errno = EFAULT;
        return -1;
    }
    if (rq->name[0] == '\0' || strchr(rq->name, '=')) {
        errno = EINVAL;
        return -1;
    }
    SectionText old_text, new_text;
    if (text_current(st, rq->index, &old_text) < 0) return -1;
    new_text.capacity = old_text.capacity;
    size_t entry_len = strlen(rq->name) + 1 + strlen(rq->value) + 1;
    long at = text_find(&old_text, rq->name);
    size_t old_len = at >= 0 ? strlen(old_text.text + at) + 1 : 0;
    size_t used = old_text.used - old_len + entry_len;
    if (used > new_text.capacity) {
        errno = ENOSPC; // the section would not fit its flash area
        return -1;
    }
    // The entry keeps its place; a new name goes to the end.
    size_t keep = at >= 0 ? static_cast<size_t>(at) : old_text.used - 1;
    memcpy(new_text.text, old_text.text, keep);
    snprintf(new_text.text + keep, entry_len, "%s=%s", rq->name, rq->value);
    size_t rest = keep + old_len;
    memcpy(new_text.text + keep + entry_len, old_text.text + rest, old_text.used - rest);
    new_text.used = used;
    return text_write_file(st, rq->index, "live", &new_text, false);
}

int do_commit(const Store *st, NvramRequest *rq) {
    SectionText t;
    if (text_current(st, rq->index, &t) < 0) return -1;
    return text_write_file(st, rq->index, "flash", &t, true);
}

} // namespace

int nvram_driver_request(unsigned long request, NvramRequest *rq) {
    bool change = request == NVRAM_IOCTL_SET || request == NVRAM_IOCTL_COMMIT;
    Store st;
    if (!store_open(&st, change ? LOCK_EX : LOCK_SH)) return NVRAM_DRIVER_NO_DEVICE;
    int rc;
    if (!rq || nvram_section_size(rq->index) == 0) {
        errno = EINVAL;
        rc = -1;
    } else if (request == NVRAM_IOCTL_GET) {
        rc = do_get(&st, rq);
    } else if (request == NVRAM_IOCTL_GETALL) {
        rc = do_getall(&st, rq);
    } else if (request == NVRAM_IOCTL_SET) {
        rc = do_set(&st, rq);
    } else if (request == NVRAM_IOCTL_COMMIT) {
        rc = do_commit(&st, rq);
    } else {
        errno = ENOTTY;
        rc = -1;
    }
    store_close(&st);
    return rc < 0 ? NVRAM_DRIVER_REFUSED : 0;
}
