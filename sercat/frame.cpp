#include "frame.h"

#include <cstring>

void frame_reset(FrameBuffer *fb) {
    fb->len = 0;
    fb->discarding = false;
}

void frame_feed(FrameBuffer *fb, const unsigned char *bytes, size_t len, FrameSink sink,
                void *userdata) {
    bool handing_on = true;
    size_t start = 0;
    while (start < len) {
        const void *hit = memchr(bytes + start, FRAME_END, len - start);
        if (!hit) break;
        size_t seg =
            static_cast<size_t>(static_cast<const unsigned char *>(hit) - bytes) + 1 - start;
        if (!fb->discarding && fb->len + seg <= FRAME_CARRY_MAX && handing_on) {
            const unsigned char *frame = bytes + start;
            if (fb->len > 0) {
                memcpy(fb->data + fb->len, frame, seg);
                frame = fb->data;
            }
            if (sink(frame, fb->len + seg, userdata) < 0) handing_on = false;
        }
        frame_reset(fb);
        start += seg;
    }
    size_t rest = len - start;
    if (rest == 0 || fb->discarding) return;
    if (fb->len + rest <= FRAME_CARRY_MAX) {
        memcpy(fb->data + fb->len, bytes + start, rest);
        fb->len += rest;
    } else {
        fb->len = 0;
        fb->discarding = true;
    }
}
