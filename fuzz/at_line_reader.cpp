// The AT channel's line splitter fed the modem's bytes in reads of every size.
#include "at_line_reader.h"
#include "chunks.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Stream {
    const std::string *data;
    size_t pos;
    Chunker chunks;
};

ssize_t read_stream(char *dst, size_t room, void *user) {
    auto *s = static_cast<Stream *>(user);
    if (room == 0) abort(); // the reader asked for nothing: it would spin
    size_t left = s->data->size() - s->pos;
    if (left == 0) return 0;
    size_t n = s->chunks.next(room < left ? room : left);
    memcpy(dst, s->data->data() + s->pos, n);
    s->pos += n;
    return static_cast<ssize_t>(n);
}

AtLineReader reader;

std::vector<std::string> split(const std::string &data, uint32_t seed) {
    Stream s{&data, 0, Chunker(seed)};
    at_line_reader_reset(&reader);
    std::vector<std::string> lines;
    while (char *line = at_line_reader_next(&reader, read_stream, &s)) {
        size_t len = strlen(line);
        if (len == 0 || len >= AT_BUFFER_SIZE || strpbrk(line, "\r\n")) abort();
        lines.emplace_back(line, len);
    }
    return lines;
}

// What the lines must be whatever the reads: the text between line ends,
// without NULs, empty ones skipped, those that do not fit the buffer dropped
// whole, and the unfinished last one never handed out.
std::vector<std::string> expected_lines(const std::string &data) {
    std::vector<std::string> lines;
    std::string cur;
    for (char c : data) {
        if (c == '\0') continue;
        if (c == '\r' || c == '\n') {
            if (!cur.empty() && cur.size() < static_cast<size_t>(AT_BUFFER_SIZE))
                lines.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    return lines;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size) {
    FuzzedDataProvider in(bytes, size);
    uint32_t seed = in.ConsumeIntegral<uint32_t>();
    std::string data = in.ConsumeRemainingBytesAsString();
    split(data, seed);
    // Without the prompt "> " (a line only when it is all that was read so
    // far) the lines must not depend on the read sizes at all.
    for (char &c : data)
        if (c == '>') c = '<';
    if (split(data, seed) != expected_lines(data)) abort();
    return 0;
}
