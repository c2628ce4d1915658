#include "frame.h"

#include <cstring>

void frame_reset(FrameBuffer *fb) {
    fb->len = 0;
    fb->discarding = false;
}

void frame_feed(FrameBuffer *fb, const unsigned char *bytes, size_t len, FrameSink sink,
                void *userdata, bool join) {
    bool handing_on = true;
    size_t start = 0;
    // complete frames of these bytes, side by side, not yet handed on (join)
    size_t run_start = 0, run_len = 0;
    auto hand_on_run = [&] {
        if (run_len > 0 && handing_on && sink(bytes + run_start, run_len, userdata) < 0)
            handing_on = false;
        run_len = 0;
    };
    while (start < len) {
        const void *hit = memchr(bytes + start, FRAME_END, len - start);
        if (!hit) break;
        size_t seg =
            static_cast<size_t>(static_cast<const unsigned char *>(hit) - bytes) + 1 - start;
        if (!fb->discarding && fb->len + seg <= FRAME_CARRY_MAX && handing_on) {
            if (fb->len > 0) {
                memcpy(fb->data + fb->len, bytes + start, seg);
                if (sink(fb->data, fb->len + seg, userdata) < 0) handing_on = false;
            } else if (join) {
                if (run_len == 0) run_start = start;
                run_len += seg;
            } else if (sink(bytes + start, seg, userdata) < 0) {
                handing_on = false;
            }
        } else {
            hand_on_run(); // a dropped frame is cut out of the run
        }
        frame_reset(fb);
        start += seg;
    }
    hand_on_run();
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
