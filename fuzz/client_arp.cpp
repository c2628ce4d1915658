// client.cgi reading the kernel's neighbour table "/proc/net/arp".
#include "fuzz_root.h"
#include "pages_device.h"

#include <cJSON.h>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size) {
    std::string table(reinterpret_cast<const char *>(bytes), size);
    fuzz_write("/proc/net/arp", table);
    cJSON *answer = fuzz_page(page_client, "GET", nullptr);
    const cJSON *list = cJSON_GetObjectItemCaseSensitive(answer, "arp");
    // at most one entry per line after the header, as a 256-byte line buffer
    // reads them (the kernel's lines are far shorter)
    if (static_cast<size_t>(cJSON_GetArraySize(list)) > fuzz_line_pieces(table, 256)) abort();
    const cJSON *item;
    cJSON_ArrayForEach(item, list) {
        for (const char *key : {"ip", "mac", "device"})
            if (!cJSON_IsString(cJSON_GetObjectItemCaseSensitive(item, key))) abort();
        for (const char *key : {"HWtype", "Flags"})
            if (!cJSON_IsNumber(cJSON_GetObjectItemCaseSensitive(item, key))) abort();
    }
    // whatever the table held, the answer prints as JSON
    char *text = cJSON_PrintUnformatted(answer);
    if (!text) abort();
    cJSON *back = cJSON_Parse(text);
    if (!back) abort();
    cJSON_Delete(back);
    free(text);
    cJSON_Delete(answer);
    return 0;
}
