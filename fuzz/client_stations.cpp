// client.cgi reading the Wi-Fi driver's station table: a 32-bit count, then
// 40-byte entries.
#include "fuzz_root.h"
#include "pages_device.h"

#include <cJSON.h>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size) {
    fuzz_write("/sim/ra0.stations", std::string(reinterpret_cast<const char *>(bytes), size));
    cJSON *answer = fuzz_page(page_client, "GET", nullptr);
    // what the driver announced, within the entries it filled (the table
    // holds 116)
    uint32_t count = 0;
    if (size >= sizeof count) memcpy(&count, bytes, sizeof count);
    size_t filled = size < 4 ? 0 : (size - 4) / 40;
    if (count > filled) count = static_cast<uint32_t>(filled);
    if (count > 116) count = 116;
    const cJSON *list = cJSON_GetObjectItemCaseSensitive(answer, "sta");
    if (cJSON_GetArraySize(list) != static_cast<int>(count)) abort();
    cJSON_Delete(answer);
    return 0;
}
