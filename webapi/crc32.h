// CRC-32 in the IEEE 802.3 form that zlib computes, for the firmware image
// check.
#pragma once

#include <cstddef>
#include <cstdint>

// Continues the CRC crc (0 to start) over length bytes of data: reflected
// polynomial 0xEDB88320, register inverted before and after, so that
// crc32(crc32(0, a), b) is the CRC of a followed by b.
uint32_t crc32(uint32_t crc, const void *data, size_t length);
