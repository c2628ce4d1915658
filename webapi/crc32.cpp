#include "crc32.h"

#include <array>

namespace {

constexpr std::array<uint32_t, 256> make_table() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t c = i;
        for (int bit = 0; bit < 8; bit++)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[i] = c;
    }
    return table;
}

constexpr std::array<uint32_t, 256> kTable = make_table();

} // namespace

uint32_t crc32(uint32_t crc, const void *data, size_t length) {
    const auto *p = static_cast<const unsigned char *>(data);
    crc = ~crc;
    while (length-- > 0)
        crc = kTable[(crc ^ *p++) & 0xFF] ^ (crc >> 8);
    return ~crc;
}
