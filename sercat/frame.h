// Frames of the diagnostic link: runs of bytes ending with 0x7E, gathered
// across reads and handed on whole.
#pragma once

#include <cstddef>

constexpr unsigned char FRAME_END = 0x7E;
constexpr size_t FRAME_READ_MAX = 4096;  // one read or receive
constexpr size_t FRAME_CARRY_MAX = 4100; // longest frame handed on

struct FrameBuffer {
    size_t len;      // bytes of the unfinished frame
    bool discarding; // an over-long frame is skipped up to its end
    unsigned char data[FRAME_CARRY_MAX];
};

// Takes one complete frame; a negative result drops the other frames of the
// same feed.
using FrameSink = int (*)(const unsigned char *frame, size_t len, void *userdata);

void frame_reset(FrameBuffer *fb);
// Hands every frame completed by these bytes to the sink, in order, and keeps
// the unfinished rest. A frame longer than FRAME_CARRY_MAX is dropped whole,
// so its tail never reaches the peer glued to the next frame. With join,
// complete frames that lie side by side in bytes go to the sink in one call
// (a run of whole frames: at most two calls per feed when nothing is dropped).
void frame_feed(FrameBuffer *fb, const unsigned char *bytes, size_t len, FrameSink sink,
                void *userdata, bool join = false);
