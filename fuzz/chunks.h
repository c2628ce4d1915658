// Read sizes for harnesses that feed a stream in pieces: a parser must not
// depend on where the reads happen to split it.
#pragma once

#include <cstddef>
#include <cstdint>

struct Chunker {
    uint32_t state;

    explicit Chunker(uint32_t seed) : state(seed | 1) {}

    // The size of the next read, 1 to room: single bytes, short and long
    // pieces, and whole reads, as a tty or socket delivers them.
    size_t next(size_t room) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        size_t n;
        switch (state & 3) {
        case 0:
            n = 1;
            break;
        case 1:
            n = 1 + (state >> 2) % 16;
            break;
        case 2:
            n = 1 + (state >> 2) % 1024;
            break;
        default:
            n = room;
            break;
        }
        return n < room ? n : room;
    }
};
