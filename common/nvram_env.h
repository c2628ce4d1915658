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
int nvram_bufset(int index, const char *name, const char *value);
int nvram_commit(int index);
void nvram_close(int index);

// Section index of a name of the table above, or -1.
int nvram_section_index(const char *name);
const char *nvram_section_name(int index);
