// The connectivity watchdog's check of whatever its raw ICMP socket
// receives, and the round trip of its own request echoed back.
#include "watchdog.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size) {
    FuzzedDataProvider in(bytes, size);
    uint16_t id = in.ConsumeIntegral<uint16_t>();
    uint16_t seq = in.ConsumeIntegral<uint16_t>();
    uint8_t header_words = in.ConsumeIntegralInRange<uint8_t>(5, 15);
    std::vector<uint8_t> datagram = in.ConsumeRemainingBytes<uint8_t>();

    // exactly the bytes received, so a read past them is seen
    auto *copy = static_cast<uint8_t *>(malloc(datagram.size() ? datagram.size() : 1));
    if (!datagram.empty()) memcpy(copy, datagram.data(), datagram.size());
    if (ping_reply_matches(copy, datagram.size(), id, seq) &&
        (datagram.size() < 28 || copy[0] >> 4 != 4 || copy[9] != 1))
        abort();
    free(copy);

    // the request as a peer echoes it: an IPv4 header of any length, type 0
    std::vector<uint8_t> reply(header_words * 4u + PING_PACKET_SIZE, 0);
    reply[0] = static_cast<uint8_t>(0x40 | header_words);
    reply[2] = static_cast<uint8_t>(reply.size() >> 8);
    reply[3] = static_cast<uint8_t>(reply.size());
    reply[9] = 1;
    ping_build_request(reply.data() + header_words * 4, id, seq, 1, 2);
    reply[header_words * 4u] = 0;
    if (!ping_reply_matches(reply.data(), reply.size(), id, seq)) abort();
    // another sequence, or a datagram cut short of its total length, is not it
    if (ping_reply_matches(reply.data(), reply.size(), id, ping_next_seq(seq))) abort();
    if (ping_reply_matches(reply.data(), reply.size() - 1, id, seq)) abort();
    if (ping_next_seq(seq) == 0) abort();
    return 0;
}
