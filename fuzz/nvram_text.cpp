// The configuration store client loading a section text that a driver
// returns: the load, reads of the names it held, the walk over all pairs.
#include "nvram_driver.h"
#include "nvram_env.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string section_text; // what the driver answers to NVRAM_IOCTL_GETALL
constexpr const char *kDriverValue = "driver value";

struct Pair {
    std::string name, value;
};

// The pairs of the text in store order, up to the first string without "=".
std::vector<Pair> pairs_of(const std::string &text) {
    std::vector<Pair> pairs;
    size_t pos = 0;
    while (pos < text.size() && text[pos] != '\0') {
        size_t end = text.find('\0', pos);
        if (end == std::string::npos) break; // not terminated within the text
        std::string entry = text.substr(pos, end - pos);
        size_t eq = entry.find('=');
        if (eq == std::string::npos) break;
        pairs.push_back({entry.substr(0, eq), entry.substr(eq + 1)});
        pos = end + 1;
    }
    return pairs;
}

int walked;
void count_pair(const char *name, const char *value, void *user) {
    auto *pairs = static_cast<const std::vector<Pair> *>(user);
    if (walked >= static_cast<int>(pairs->size())) abort();
    const Pair &p = (*pairs)[static_cast<size_t>(walked++)];
    if (p.name != name || p.value != value) abort();
}

} // namespace

// Stands in for the kernel driver.
int nvram_driver_request(unsigned long request, NvramRequest *rq) {
    switch (request) {
    case NVRAM_IOCTL_GETALL: {
        // the driver may fill the whole buffer, terminated or not
        size_t room = nvram_section_size(rq->index) - 4;
        memcpy(rq->value, section_text.data(), std::min(room, section_text.size()));
        return 0;
    }
    case NVRAM_IOCTL_GET:
        strcpy(rq->value, kDriverValue);
        return 0;
    default:
        return 0;
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size) {
    FuzzedDataProvider in(bytes, size);
    int index = in.ConsumeIntegralInRange(0, NVRAM_SECTION_COUNT - 1);
    section_text = in.ConsumeRemainingBytesAsString();
    // the client's buffer holds zeros past what the driver fills
    std::string seen = section_text.substr(0, nvram_section_size(index) - 4);
    seen.resize(nvram_section_size(index) - 4, '\0');
    std::vector<Pair> pairs = pairs_of(seen);

    nvram_init(index);
    for (size_t i = 0; i < pairs.size() && i < MAX_CACHE_ENTRY; ++i)
        if (strcmp(nvram_bufget(index, pairs[i].name.c_str()), kDriverValue) != 0) abort();
    walked = 0;
    if (nvram_getall_foreach(index, count_pair, &pairs) != static_cast<int>(pairs.size())) abort();
    if (!pairs.empty() && nvram_bufset(index, pairs.back().name.c_str(), "new") != 0) abort();
    nvram_close(index);
    return 0;
}
