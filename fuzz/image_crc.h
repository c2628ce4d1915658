// CRC-32 as zlib computes it, bit by bit: the harnesses' own, independent of
// the one under test.
#pragma once

#include <cstddef>
#include <cstdint>

inline uint32_t reference_crc32(const unsigned char *p, size_t n) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

inline uint32_t get_be32(const unsigned char *p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

inline void put_be32(unsigned char *p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

// Makes the 64-byte header of image (size bytes) carry the magic and the
// right data and header CRCs.
inline void seal_image(unsigned char *image, size_t size) {
    put_be32(image, 0x27051956u);
    put_be32(image + 24, reference_crc32(image + 64, size - 64));
    put_be32(image + 4, 0);
    put_be32(image + 4, reference_crc32(image, 64));
}
