// Client of the configuration store: a per-process cache of the store's
// sections; every read also asks the driver, so values set by other
// processes are seen at once.
#pragma once

#include <cstddef>

constexpr int MAX_CACHE_ENTRY = 1000;
constexpr int NVRAM_SECTION_COUNT = 6; // "uboot", "2860", "rtdev", "wifi3", "cert", "oem"
// "2860": the system configuration that the daemon and the web pages use.
constexpr int NVRAM_CONFIG_SECTION = 1;

extern unsigned char libnvram_debug;

// Loads the section into the cache unless it is loaded already; a failure
// (printed on standard error) leaves it unloaded, and the next use tries
// again. A bad index does nothing.
void nvram_init(int index);
// The value the driver holds now, kept in the cache: valid until the next
// get or set of the name in the section or its close. Never null: "" for a
// missing name, a bad index or a driver failure.
const char *nvram_bufget(int index, const char *name);
// nvram_bufget that tells a failure (bad index, driver failure, no memory:
// -1) from a value that is absent or empty (0); *value is set either way.
int nvram_bufget_checked(int index, const char *name, const char **value);
// Stores the value in the driver (seen by every process at once) and the
// cache, and marks the section changed. 0, or -1 for a bad index, a driver
// failure or a full cache (nothing changed then).
int nvram_bufset(int index, const char *name, const char *value);
// Has the driver write the section to flash; clears the changed mark. 0 or -1.
int nvram_commit(int index);
// Releases the section's cache; a changed section is committed first. The
// next use loads it again. A bad index or an unloaded section does nothing.
void nvram_close(int index);

// Asks the driver for the whole section and calls each(name, value, user)
// for every pair in store order, beyond what the cache holds. Number of
// pairs, or -1 when the driver failed.
int nvram_getall_foreach(int index, void (*each)(const char *name, const char *value, void *user),
                         void *user);

// One string of a section text as NVRAM_IOCTL_GETALL returns it: "name=value"
// strings, each zero-terminated, the last one followed by an empty string.
struct NvramTextEntry {
    const char *text; // the string
    size_t length;    // without its terminator
    const char *eq;   // its first '=', or null
};
// Steps through a section text of size bytes: *pos (0 at the start) is where
// the next string begins and moves past it. 1 with the entry; 0 at the end:
// an empty string, the end of the bytes, or a string not terminated within
// them.
int nvram_text_next(const char *text, size_t size, size_t *pos, NvramTextEntry *entry);

// Section index of a name of the table above, or -1.
int nvram_section_index(const char *name);
// Name of a section index, or null.
const char *nvram_section_name(int index);
