// The local-socket frame reader on whatever a peer writes: frames one after
// the other until the stream fails or ends.
#include "local_socket.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size) {
    FuzzedDataProvider in(bytes, size);
    // the capacities of the command server, the daemon client and the limit
    static constexpr size_t kCapacities[] = {1, 4, 4095, 4096, 8192, SOCKET_FRAME_MAX};
    size_t capacity = in.PickValueInArray(kCapacities);
    std::string stream = in.ConsumeRemainingBytesAsString();

    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) abort();
    int buf_size = 1 << 20;
    setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &buf_size, sizeof buf_size);
    setsockopt(sv[0], SOL_SOCKET, SO_RCVBUF, &buf_size, sizeof buf_size);
    if (write(sv[1], stream.data(), stream.size()) != static_cast<ssize_t>(stream.size())) abort();
    close(sv[1]); // the peer is done: the reader must not wait for more

    // exactly the capacity, so that a payload past it is seen
    auto *buffer = static_cast<char *>(malloc(capacity));
    size_t pos = 0;
    for (;;) {
        int n = socket_read_size(sv[0], buffer, capacity, 1000);
        if (n == SOCKET_ETIMEDOUT) abort(); // everything was there at once
        if (n < 0) break;
        uint32_t header;
        if (pos + sizeof header + static_cast<size_t>(n) > stream.size()) abort();
        memcpy(&header, stream.data() + pos, sizeof header);
        if (n == 0 || static_cast<size_t>(n) > capacity || header != static_cast<uint32_t>(n))
            abort();
        if (memcmp(buffer, stream.data() + pos + sizeof header, static_cast<size_t>(n)) != 0)
            abort();
        pos += sizeof header + static_cast<size_t>(n);
    }
    free(buffer);
    close(sv[0]);
    return 0;
}
