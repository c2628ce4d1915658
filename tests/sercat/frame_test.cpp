// Frame gathering must not depend on how the bytes were split into reads.
#include "frame.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Collected {
    std::vector<std::string> frames;
    int fail_at = -1; // index of the frame the sink refuses
};

int collect(const unsigned char *frame, size_t len, void *userdata) {
    auto *c = static_cast<Collected *>(userdata);
    c->frames.emplace_back(reinterpret_cast<const char *>(frame), len);
    return static_cast<int>(c->frames.size()) - 1 == c->fail_at ? -1 : 0;
}

void feed(FrameBuffer *fb, const std::string &bytes, Collected *c, bool join = false) {
    frame_feed(fb, reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(), collect, c,
               join);
}

std::vector<std::string> split_and_feed(const std::string &stream, size_t chunk,
                                        bool join = false) {
    FrameBuffer fb;
    frame_reset(&fb);
    Collected c;
    for (size_t off = 0; off < stream.size(); off += chunk)
        feed(&fb, stream.substr(off, chunk), &c, join);
    return c.frames;
}

TEST(Frame, SameFramesWhateverTheReadSizes) {
    std::string longest = std::string(FRAME_CARRY_MAX - 1, 'L') + "~";
    std::string too_long = std::string(FRAME_CARRY_MAX, 'X') + "~";
    std::string stream = "ab~" + too_long + "~" + longest + "cd~" + too_long + too_long + "e~f";
    std::vector<std::string> expected{"ab~", "~", longest, "cd~", "e~"};
    std::string all;
    for (const auto &f : expected)
        all += f;
    for (size_t chunk :
         {size_t{1}, size_t{3}, size_t{1000}, size_t{4095}, FRAME_READ_MAX, stream.size()}) {
        EXPECT_EQ(split_and_feed(stream, chunk), expected) << "chunk " << chunk;
        // joined: the same bytes, in runs of whole frames
        std::string joined;
        for (const auto &run : split_and_feed(stream, chunk, true)) {
            EXPECT_EQ(run.back(), '~') << "chunk " << chunk;
            joined += run;
        }
        EXPECT_EQ(joined, all) << "chunk " << chunk;
    }
    EXPECT_EQ(split_and_feed("a~b~c~d", 7, true), std::vector<std::string>{"a~b~c~"});
    EXPECT_EQ(split_and_feed("xa~b~c~d", 2, true), (std::vector<std::string>{"xa~", "b~", "c~"}));
}

TEST(Frame, RefusedFrameDropsTheRestOfThatReadButKeepsTheCarry) {
    FrameBuffer fb;
    frame_reset(&fb);
    Collected c;
    c.fail_at = 0;
    feed(&fb, "a~b~c", &c);
    EXPECT_EQ(c.frames, std::vector<std::string>{"a~"});
    feed(&fb, "d~", &c);
    EXPECT_EQ(c.frames, (std::vector<std::string>{"a~", "cd~"}));
}

} // namespace
