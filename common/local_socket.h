// Unix-domain stream sockets and the framing on them: a 4-byte host-order
// length, then that many bytes.
#pragma once

#include <cstddef>

constexpr size_t SOCKET_FRAME_MAX = 0x40000;
constexpr int SOCKET_ETIMEDOUT = -62;
constexpr int SOCKET_EINVAL = -22;

// A socket of the domain and type, close-on-exec. Descriptor or -1.
int socket_create(int domain, int type);
// path: length bytes (at most 107, else SOCKET_EINVAL). A system path such as
// "/var/run/RIL_CMD" resolves under the router root on host builds like every
// other path; a first byte of zero names an abstract address. bind removes a
// file left at the path first. The result of bind/connect (0 or -1), or
// SOCKET_EINVAL.
int socket_unix_bind(int sock, const char *path, size_t length);
int socket_unix_connect(int sock, const char *path, size_t length);
// One frame: the 4-byte host-order length, then the payload (length 0: the
// header alone). 0, or -1 when a write fails or length does not fit 32 bits.
int socket_write_size(int fd, const void *data, size_t length);
// socket_write_size within limit_ms of boot-clock time for the whole frame,
// so that a peer that does not read cannot hold the writer. fd must be
// non-blocking for the limit to hold. 0; SOCKET_ETIMEDOUT when the peer did
// not take it in time; -1 on any other failure. After a failure the stream
// is out of step: close it.
int socket_write_size_within(int fd, const void *data, size_t length, int limit_ms);
// Reads one frame's payload into buffer within limit_ms of boot-clock time
// for the whole frame. Payload length; SOCKET_ETIMEDOUT when it did not
// arrive in time; -1 on any other failure, also for a length of 0, above
// capacity or above SOCKET_FRAME_MAX (then nothing of the payload is read).
// After a failure the stream is out of step: close it.
int socket_read_size(int fd, void *buffer, size_t capacity, int limit_ms);
// Every byte of data, without a time limit (fd_write_all). 0 or -1.
int socket_write_all(int fd, const void *data, size_t length);
