// The session cookie taken out of whatever HTTP_COOKIE a browser sends.
#include "fuzz_root.h"
#include "session.h"

#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size) {
    std::string header(reinterpret_cast<const char *>(bytes), size);
    header = header.c_str(); // an environment value ends at its first NUL
    if (header.size() > 65536) header.resize(65536);
    fuzz_env("HTTP_COOKIE", header.c_str());
    char out[SESSION_COOKIE_SIZE + 16];
    memset(out, 'X', sizeof out);
    if (session_cookie(out) != 0) return 0;
    size_t n = strnlen(out, sizeof out);
    // a value shorter than 64, trimmed, taken from a "session" piece
    if (n >= SESSION_COOKIE_SIZE || header.size() >= HTTP_COOKIE_MAX) abort();
    // trimmed as the router has always trimmed it: no byte at either end that is at most 32
    // as a signed char (controls, space, 0x80-0xFF)
    if (n > 0 &&
        (static_cast<signed char>(out[0]) <= 32 || static_cast<signed char>(out[n - 1]) <= 32))
        abort();
    if (strchr(out, ';') || header.find("session") == std::string::npos ||
        header.find(out) == std::string::npos)
        abort();
    return 0;
}
