// Client of the configuration store: a per-process cache of the store's
// sections; every read also asks the driver, so values set by other
// processes are seen at once.
#pragma once

constexpr int MAX_CACHE_ENTRY = 1000;
constexpr int NVRAM_SECTION_COUNT = 6; // "uboot", "2860", "rtdev", "wifi3", "cert", "oem"

extern unsigned char libnvram_debug;

void nvram_init(int index);
// Never null: "" for a missing name, a bad index or a driver failure.
const char *nvram_bufget(int index, const char *name);
// nvram_bufget that tells a failure (bad index, driver failure, no memory:
// -1) from a value that is absent or empty (0); *value is set either way.
int nvram_bufget_checked(int index, const char *name, const char **value);
int nvram_bufset(int index, const char *name, const char *value);
int nvram_commit(int index);
void nvram_close(int index);

// Asks the driver for the whole section and calls each(name, value, user)
// for every pair in store order, beyond what the cache holds. Number of
// pairs, or -1 when the driver failed.
int nvram_getall_foreach(int index, void (*each)(const char *name, const char *value, void *user),
                         void *user);

// Section index of a name of the table above, or -1.
int nvram_section_index(const char *name);
// Name of a section index, or null.
const char *nvram_section_name(int index);
