// events.cgi reading the modem daemon's files: the first line of the input
// is the published restart reason, the rest the event history. Whatever they
// hold, the answer has at most 200 events, each with a whole time and a
// printable text of at most 120 characters.
#include "fuzz_root.h"
#include "pages_events.h"

#include <cJSON.h>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool clean(const cJSON *item, size_t max) {
    if (!cJSON_IsString(item) || strlen(item->valuestring) > max) return false;
    for (const char *p = item->valuestring; *p; p++)
        if (*p < ' ' || *p > '~') return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size) {
    std::string input(reinterpret_cast<const char *>(bytes), size);
    size_t nl = input.find('\n');
    fuzz_write("/tmp/lted.restart", input.substr(0, nl));
    fuzz_write("/tmp/lted.events", nl == std::string::npos ? "" : input.substr(nl + 1));
    cJSON *answer = fuzz_page(page_events, "GET", nullptr);
    if (!clean(cJSON_GetObjectItemCaseSensitive(answer, "lastRestart"), 120)) abort();
    const cJSON *time = cJSON_GetObjectItemCaseSensitive(answer, "lastRestartTime");
    if (!clean(time, 19) || (time->valuestring[0] && strlen(time->valuestring) != 19)) abort();
    const cJSON *list = cJSON_GetObjectItemCaseSensitive(answer, "events");
    if (!cJSON_IsArray(list) || cJSON_GetArraySize(list) > 200) abort();
    const cJSON *item;
    cJSON_ArrayForEach(item, list) {
        const cJSON *when = cJSON_GetObjectItemCaseSensitive(item, "time");
        const cJSON *text = cJSON_GetObjectItemCaseSensitive(item, "text");
        if (!clean(when, 19) || strlen(when->valuestring) != 19) abort();
        if (!cJSON_IsNumber(cJSON_GetObjectItemCaseSensitive(item, "uptime"))) abort();
        if (!clean(text, 120) || !text->valuestring[0]) abort();
    }
    cJSON_Delete(answer);
    return 0;
}
