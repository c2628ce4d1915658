// Unix-domain stream sockets and the framing on them: a 4-byte host-order
// length, then that many bytes.
#pragma once

#include <cstddef>

constexpr size_t SOCKET_FRAME_MAX = 0x40000;
constexpr int SOCKET_ETIMEDOUT = -62;
constexpr int SOCKET_EINVAL = -22;

int socket_create(int domain, int type);
// path: length bytes (at most 107, else SOCKET_EINVAL). A system path such as
// "/var/run/RIL_CMD" resolves under the router root on host builds like every
// other path; a first byte of zero names an abstract address. bind removes a
// file left at the path first.
int socket_unix_bind(int sock, const char *path, size_t length);
int socket_unix_connect(int sock, const char *path, size_t length);
int socket_write_size(int fd, const void *data, size_t length);
// Payload length, SOCKET_ETIMEDOUT when the whole message did not arrive in
// time, -1 on any other failure.
int socket_read_size(int fd, void *buffer, size_t capacity, int limit_ms);
int socket_write_all(int fd, const void *data, size_t length);
