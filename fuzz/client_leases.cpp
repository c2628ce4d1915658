// client.cgi reading the DHCP server's lease file: 40-byte records.
#include "fuzz_root.h"
#include "pages_device.h"

#include <cJSON.h>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size) {
    fuzz_write("/var/udhcpd.leases", std::string(reinterpret_cast<const char *>(bytes), size));
    cJSON *answer = fuzz_page(page_client, "GET", nullptr);
    const cJSON *list = cJSON_GetObjectItemCaseSensitive(answer, "dhcp");
    // one entry per whole record, none left over, the key absent without any
    if (cJSON_GetArraySize(list) != static_cast<int>(size / 40)) abort();
    const cJSON *item;
    cJSON_ArrayForEach(item, list) {
        const cJSON *name = cJSON_GetObjectItemCaseSensitive(item, "hostname");
        const cJSON *mac = cJSON_GetObjectItemCaseSensitive(item, "mac");
        if (!cJSON_IsString(name) || strlen(name->valuestring) > 15) abort();
        if (!cJSON_IsString(mac) || strlen(mac->valuestring) != 17) abort();
    }
    cJSON_Delete(answer);
    return 0;
}
