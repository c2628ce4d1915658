// The file of a browser's multipart upload taken out of the raw body.
#include "pages_upgrade.h"

#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size) {
    // exactly the body's bytes, so a read past them is seen
    auto *body = static_cast<char *>(malloc(size ? size : 1));
    memcpy(body, bytes, size);
    const char *data = nullptr;
    size_t length = 0;
    if (upload_extract(body, size, &data, &length) == 0) {
        // a non-empty file inside the body, ending with CR LF and the first
        // line's delimiter, which it does not hold itself
        std::string text(body, size);
        std::string delimiter = text.substr(0, text.find("\r\n"));
        size_t start = static_cast<size_t>(data - body);
        if (data < body || length == 0 || start + length > size) abort();
        if (text.compare(start + length, 2 + delimiter.size(), "\r\n" + delimiter) != 0) abort();
        if (text.substr(start, length + 2 + delimiter.size()).find("\r\n" + delimiter) != length)
            abort();
        if (text.rfind("\r\n\r\n", start) == std::string::npos) abort();
    }
    free(body);
    return 0;
}
