// sercat's frame gathering fed in reads of every size.
#include "chunks.h"
#include "frame.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Sink {
    std::vector<std::string> frames;
    bool refuse; // a peer that fails every other write
};

int take(const unsigned char *frame, size_t len, void *user) {
    auto *s = static_cast<Sink *>(user);
    if (len == 0 || len > FRAME_CARRY_MAX || frame[len - 1] != FRAME_END) abort();
    for (size_t i = 0; i + 1 < len; ++i)
        if (frame[i] == FRAME_END) abort();
    s->frames.emplace_back(reinterpret_cast<const char *>(frame), len);
    return s->refuse && s->frames.size() % 2 == 1 ? -1 : 0;
}

std::vector<std::string> feed(const std::string &data, uint32_t seed, bool refuse) {
    FrameBuffer fb;
    frame_reset(&fb);
    Sink sink{{}, refuse};
    Chunker chunks(seed);
    const auto *p = reinterpret_cast<const unsigned char *>(data.data());
    for (size_t pos = 0; pos < data.size();) {
        size_t n = chunks.next(std::min(data.size() - pos, FRAME_READ_MAX));
        frame_feed(&fb, p + pos, n, take, &sink);
        pos += n;
    }
    return sink.frames;
}

// Every run ending in 0x7E that fits, whatever the reads.
std::vector<std::string> expected_frames(const std::string &data) {
    std::vector<std::string> frames;
    size_t start = 0;
    for (size_t i = 0; i < data.size(); ++i) {
        if (static_cast<unsigned char>(data[i]) != FRAME_END) continue;
        if (i + 1 - start <= FRAME_CARRY_MAX) frames.push_back(data.substr(start, i + 1 - start));
        start = i + 1;
    }
    return frames;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size) {
    FuzzedDataProvider in(bytes, size);
    uint32_t seed = in.ConsumeIntegral<uint32_t>();
    bool refuse = in.ConsumeBool();
    std::string data = in.ConsumeRemainingBytesAsString();
    std::vector<std::string> frames = feed(data, seed, refuse);
    if (!refuse && frames != expected_frames(data)) abort();
    return 0;
}
