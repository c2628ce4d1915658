// The command server's split of a request payload into its items.
#include "command_server.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// Offsets of the item texts when the payload is well-formed, else empty: each
// item a non-zero length and that many bytes ending in a NUL, 1 to 20 of
// them, filling the payload exactly.
std::vector<size_t> expected_items(const uint8_t *p, size_t size) {
    std::vector<size_t> items;
    size_t at = 0;
    while (at < size) {
        uint32_t n;
        if (items.size() == CMD_ITEMS_MAX || size - at < sizeof n) return {};
        memcpy(&n, p + at, sizeof n);
        at += sizeof n;
        if (n == 0 || n > size - at || p[at + n - 1] != 0) return {};
        items.push_back(at);
        at += n;
    }
    return items;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size) {
    if (size > CMD_REQUEST_MAX) return 0; // the frame reader refuses more
    // a copy of exactly the payload's size, so a read past it is seen
    auto *payload = static_cast<char *>(malloc(size ? size : 1));
    memcpy(payload, bytes, size);
    char *items[CMD_ITEMS_MAX];
    int count = cmd_split_items(payload, size, items);
    std::vector<size_t> expected = expected_items(bytes, size);
    if (count < 0 ? !expected.empty() : static_cast<size_t>(count) != expected.size()) abort();
    for (int i = 0; i < count; ++i)
        if (items[i] != payload + expected[static_cast<size_t>(i)]) abort();
    free(payload);
    return 0;
}
