// The MD5 message digest (RFC 1321), for the login's password digest.
#pragma once

#include <cstddef>
#include <cstdint>

struct Md5 {
    uint32_t state[4];
    uint64_t length; // bytes hashed so far
    unsigned char block[64];
};

void md5_init(Md5 *md5);
void md5_update(Md5 *md5, const void *data, size_t size);
// The 16-byte digest; md5 must be initialised again before reuse.
void md5_final(Md5 *md5, unsigned char digest[16]);
// The digest of data as 32 uppercase hexadecimal digits and a NUL.
void md5_hex(const void *data, size_t size, char out[33]);
