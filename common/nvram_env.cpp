// Client of the configuration store: per-process caches of the store's
// sections. The driver holds the values; the cache only gives callers stable
// pointers, and every read refreshes it from the driver.
#include "nvram_env.h"

#include "nvram_driver.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

unsigned char libnvram_debug = 0;

namespace {

constexpr const char *kModule = "nvram_env";
// Value copies get at least this much room so that a value that changes
// slightly stays at the same address.
constexpr size_t kMinValueRoom = 32;

struct NvramCacheEntry {
    char *name;
    char *value;
    size_t room; // bytes allocated for value
};

struct NvramSectionInfo {
    const char *name;
    size_t size; // in flash
};

constexpr NvramSectionInfo kSections[NVRAM_SECTION_COUNT] = {
    {"uboot", 0x1000}, {"2860", 0x4000}, {"rtdev", 0x2000},
    {"wifi3", 0x2000}, {"cert", 0x1000}, {"oem", 0x2000},
};

// Zero-initialised, so the caches cost no space in the program file.
struct NvramSection {
    char *text; // section text, only alive during nvram_init
    NvramCacheEntry cache[MAX_CACHE_ENTRY];
    unsigned char valid;
    unsigned char dirty;
};

NvramSection sections[NVRAM_SECTION_COUNT];

#define NVRAM_TRACE(...)                                                                           \
    do {                                                                                           \
        if (libnvram_debug) nvram_trace(__LINE__, __VA_ARGS__);                                    \
    } while (0)

// Traces go to standard error: in the CGI standard output is the answer.
__attribute__((format(printf, 2, 3))) void nvram_trace(int line, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    fprintf(stderr, "%s %d: ", kModule, line);
    vfprintf(stderr, format, ap);
    va_end(ap);
}

bool in_range(int index) {
    return index >= 0 && index < NVRAM_SECTION_COUNT;
}

// One driver request; failures are reported the way the callers expect.
int request(unsigned long req, NvramRequest *rq) {
    int rc = nvram_driver_request(req, rq);
    if (rc == NVRAM_DRIVER_NO_DEVICE) {
        perror("/dev/apsoc_nvram");
        return -1;
    }
    if (rc < 0) {
        perror("ioctl");
        return -1;
    }
    return 0;
}

int cache_find(const NvramSection *s, const char *name) {
    for (int i = 0; i < MAX_CACHE_ENTRY && s->cache[i].name; i++)
        if (strcmp(s->cache[i].name, name) == 0) return i;
    return -1;
}

int cache_free_slot(const NvramSection *s) {
    for (int i = 0; i < MAX_CACHE_ENTRY; i++)
        if (!s->cache[i].name) return i;
    return -1;
}

// Stores a copy of value in the entry, in place when it fits so that the
// caller's pointer stays the same. 0, or -1 when out of memory (the entry
// keeps its old value).
int cache_store_value(NvramCacheEntry *e, const char *value) {
    size_t len = strlen(value);
    if (e->value && len < e->room) {
        memmove(e->value, value, len + 1);
        return 0;
    }
    size_t room = len + 1 < kMinValueRoom ? kMinValueRoom : len + 1;
    char *copy = static_cast<char *>(malloc(room));
    if (!copy) return -1;
    memcpy(copy, value, len + 1);
    free(e->value);
    e->value = copy;
    e->room = room;
    return 0;
}

void cache_clear(NvramSection *s) {
    for (NvramCacheEntry &e : s->cache) {
        free(e.name);
        free(e.value);
        e = NvramCacheEntry{};
    }
}

// Fills the cache from the section text; an entry without "=" ends it. -1
// when memory ran out.
int cache_load(NvramSection *s, size_t text_size) {
    size_t pos = 0;
    NvramTextEntry t;
    for (int n = 0; n < MAX_CACHE_ENTRY && nvram_text_next(s->text, text_size, &pos, &t); n++) {
        if (!t.eq) break;
        NvramCacheEntry &e = s->cache[n];
        e.name = strndup(t.text, static_cast<size_t>(t.eq - t.text));
        if (!e.name || cache_store_value(&e, t.eq + 1) < 0) return -1;
    }
    return 0;
}

} // namespace

void nvram_init(int index) {
    if (!in_range(index)) return;
    NvramSection *s = &sections[index];
    if (s->valid) return;
    NVRAM_TRACE("nvram_init(%d)\n", index);
    size_t text_size = kSections[index].size - 4;
    // Two zero bytes past what the driver fills keep the parse inside the
    // buffer even if the driver's text is not terminated.
    s->text = static_cast<char *>(calloc(text_size + 2, 1));
    if (!s->text) {
        perror(kModule);
        return;
    }
    NvramRequest rq{index, 0, nullptr, s->text};
    if (request(NVRAM_IOCTL_GETALL, &rq) == 0) {
        if (cache_load(s, text_size) == 0) {
            s->valid = 1;
            s->dirty = 0;
        } else {
            errno = ENOMEM;
            perror(kModule);
            cache_clear(s);
        }
    }
    free(s->text);
    s->text = nullptr;
}

int nvram_bufget_checked(int index, const char *name, const char **value) {
    *value = "";
    if (!in_range(index) || !name) return -1;
    NvramSection *s = &sections[index];
    if (!s->valid) nvram_init(index);
    if (!s->valid) return -1;
    NVRAM_TRACE("nvram_bufget(%d, %s)\n", index, name);
    char *buf = static_cast<char *>(malloc(NVRAM_GET_BUFFER));
    if (!buf) {
        perror(kModule);
        return -1;
    }
    buf[0] = '\0';
    NvramRequest rq{index, 0, const_cast<char *>(name), buf};
    if (request(NVRAM_IOCTL_GET, &rq) < 0) {
        free(buf);
        return -1;
    }
    buf[NVRAM_GET_BUFFER - 1] = '\0'; // an over-long value is cut, never overrun
    int rc = 0;
    int n = cache_find(s, name);
    if (n < 0 && buf[0] != '\0') {
        // Set by another process since the load: cache it when there is room.
        n = cache_free_slot(s);
        if (n >= 0 && !(s->cache[n].name = strdup(name))) n = -1;
    }
    if (n >= 0) {
        if (cache_store_value(&s->cache[n], buf) == 0) {
            *value = s->cache[n].value;
        } else {
            errno = ENOMEM;
            perror(kModule);
            rc = -1;
        }
    }
    free(buf);
    return rc;
}

const char *nvram_bufget(int index, const char *name) {
    const char *value;
    nvram_bufget_checked(index, name, &value);
    return value;
}

int nvram_bufset(int index, const char *name, const char *value) {
    if (!in_range(index) || !name || !value) return -1;
    NvramSection *s = &sections[index];
    if (!s->valid) nvram_init(index);
    if (!s->valid) return -1;
    NVRAM_TRACE("nvram_bufset(%d, %s, %s)\n", index, name, value);
    // Find the cache slot first: a value the cache cannot hold is refused
    // before the driver takes it, so a failure changes nothing.
    int n = cache_find(s, name);
    char *name_copy = nullptr;
    if (n < 0) {
        n = cache_free_slot(s);
        if (n < 0) {
            fprintf(stderr,
                    "%s %d: ERROR! run out of env cache, please increase MAX_CACHE_ENTRY:%d\n",
                    kModule, __LINE__, MAX_CACHE_ENTRY);
            return -1;
        }
        name_copy = strdup(name);
        if (!name_copy) {
            perror(kModule);
            return -1;
        }
    }
    NvramRequest rq{index, 0, const_cast<char *>(name), const_cast<char *>(value)};
    if (request(NVRAM_IOCTL_SET, &rq) < 0) {
        free(name_copy);
        return -1;
    }
    NvramCacheEntry *e = &s->cache[n];
    if (name_copy) e->name = name_copy;
    if (cache_store_value(e, value) < 0) {
        errno = ENOMEM;
        perror(kModule);
        if (name_copy) {
            e->name = nullptr;
            free(name_copy);
        }
        s->dirty = 1; // the driver has the value all the same
        return -1;
    }
    s->dirty = 1;
    return 0;
}

int nvram_commit(int index) {
    if (!in_range(index)) return -1;
    NvramSection *s = &sections[index];
    if (!s->valid) nvram_init(index);
    NVRAM_TRACE("nvram_commit(%d)\n", index);
    NvramRequest rq{index, 0, nullptr, nullptr};
    if (request(NVRAM_IOCTL_COMMIT, &rq) < 0) return -1;
    s->dirty = 0;
    return 0;
}

void nvram_close(int index) {
    if (!in_range(index)) return;
    NvramSection *s = &sections[index];
    if (!s->valid) return;
    NVRAM_TRACE("nvram_close(%d)\n", index);
    if (s->dirty) nvram_commit(index);
    free(s->text);
    s->text = nullptr;
    cache_clear(s);
    s->valid = 0;
    s->dirty = 0;
}

int nvram_getall_foreach(int index, void (*each)(const char *name, const char *value, void *user),
                         void *user) {
    if (!in_range(index) || !each) return -1;
    size_t text_size = kSections[index].size - 4;
    char *text = static_cast<char *>(calloc(text_size + 2, 1));
    if (!text) {
        perror(kModule);
        return -1;
    }
    NvramRequest rq{index, 0, nullptr, text};
    if (request(NVRAM_IOCTL_GETALL, &rq) < 0) {
        free(text);
        return -1;
    }
    int count = 0;
    size_t pos = 0;
    NvramTextEntry t;
    while (nvram_text_next(text, text_size, &pos, &t) && t.eq) {
        text[t.eq - text] = '\0'; // the name ends there
        each(t.text, t.eq + 1, user);
        count++;
    }
    free(text);
    return count;
}

int nvram_text_next(const char *text, size_t size, size_t *pos, NvramTextEntry *entry) {
    if (*pos >= size || text[*pos] == '\0') return 0;
    const char *start = text + *pos;
    const void *nul = memchr(start, '\0', size - *pos);
    if (!nul) return 0;
    entry->text = start;
    entry->length = static_cast<size_t>(static_cast<const char *>(nul) - start);
    entry->eq = static_cast<const char *>(memchr(start, '=', entry->length));
    *pos += entry->length + 1;
    return 1;
}

int nvram_section_index(const char *name) {
    if (!name) return -1;
    for (int i = 0; i < NVRAM_SECTION_COUNT; i++)
        if (strcmp(kSections[i].name, name) == 0) return i;
    return -1;
}

const char *nvram_section_name(int index) {
    return in_range(index) ? kSections[index].name : nullptr;
}

size_t nvram_section_size(int index) {
    return in_range(index) ? kSections[index].size : 0;
}
