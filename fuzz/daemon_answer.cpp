// The web back end's daemon client reading whatever the daemon's socket
// answers: the frame, then the cut into lines.
#include "daemon_client.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

// The lines of an answer: each runs to the next "\n" or to the first NUL; a
// "\n" that is the last byte received makes no empty line; at most slots.
std::vector<std::string> cut(const std::string &received, int slots) {
    std::string text = received.c_str();
    std::vector<std::string> lines;
    size_t at = 0;
    while (static_cast<int>(lines.size()) < slots) {
        size_t nl = at <= text.size() ? text.find('\n', at) : std::string::npos;
        lines.push_back(at <= text.size() ? text.substr(at, nl == std::string::npos ? nl : nl - at)
                                          : "");
        if (nl == std::string::npos || nl + 1 >= received.size()) break;
        at = nl + 1;
    }
    return lines;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size) {
    FuzzedDataProvider in(bytes, size);
    int slots = in.ConsumeIntegralInRange(-1, 31);
    bool framed = in.ConsumeBool(); // a well-formed frame, or raw bytes from a broken daemon
    std::string payload = in.ConsumeRemainingBytesAsString();

    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) abort();
    std::string stream = payload;
    if (framed) {
        uint32_t n = static_cast<uint32_t>(payload.size());
        stream.insert(0, reinterpret_cast<const char *>(&n), sizeof n);
    }
    if (write(sv[1], stream.data(), stream.size()) != static_cast<ssize_t>(stream.size())) abort();
    shutdown(sv[1], SHUT_WR); // all there is: the client must not wait for more

    char message[CMD_MESSAGE_MAX];
    int length = cmd_pack(message, "GETHOMEINFO");
    char answer[CMD_MESSAGE_MAX];
    std::vector<char *> lines(static_cast<size_t>(slots > 0 ? slots : 1));
    int rc = cmd_exchange(sv[0], message, static_cast<size_t>(length), answer, lines.data(), slots);
    close(sv[0]);
    close(sv[1]);

    if (!framed) return 0; // whatever a broken daemon sends: no fault is all there is to check
    if (payload.empty() || payload.size() > CMD_ANSWER_MAX) {
        if (rc != -1) abort();
        return 0;
    }
    if (slots < 1) {
        if (rc != 0) abort();
        return 0;
    }
    std::vector<std::string> expected = cut(payload, slots);
    int want = 0;
    if (expected.size() == 1)
        want = 1;
    else if (expected[0] == "SUCCESS:")
        want = static_cast<int>(expected.size()) - 1;
    if (rc != want) abort();
    size_t first = expected.size() == 1 ? 0 : 1;
    for (int i = 0; i < rc; ++i) {
        const char *line = lines[static_cast<size_t>(i)];
        if (line < answer || line >= answer + CMD_MESSAGE_MAX) abort();
        if (expected[first + static_cast<size_t>(i)] != line) abort();
    }
    return 0;
}
