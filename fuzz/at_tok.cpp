// The AT tokenizer walking a response line with any sequence of operations.
#include "at_tok.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// A field handed out must lie inside the line, with its end inside it too.
void check_inside(const char *field, const char *line, size_t size) {
    if (!field) return;
    if (field < line || field >= line + size) abort();
    if (!memchr(field, '\0', static_cast<size_t>(line + size - field))) abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size) {
    FuzzedDataProvider in(bytes, size);
    uint8_t op_count = in.ConsumeIntegralInRange<uint8_t>(0, 16);
    std::string ops = in.ConsumeBytesAsString(op_count);
    std::string text = in.ConsumeRemainingBytesAsString();
    // exactly as long as the line and its terminator, so any overrun is seen
    size_t line_size = strlen(text.c_str()) + 1;
    char *line = static_cast<char *>(malloc(line_size));
    memcpy(line, text.c_str(), line_size);

    char *cursor = line;
    bool ended = false;
    for (unsigned char op : ops) {
        int n = 0, rc = 0;
        char b = 0, *s = nullptr;
        switch (op % 7) {
        case 0:
            rc = at_tok_start(&cursor);
            break;
        case 1:
            s = at_tok_nexttoken(&cursor);
            rc = s ? 0 : -1;
            break;
        case 2:
            rc = at_tok_nextint(&cursor, &n);
            break;
        case 3:
            rc = at_tok_nextint_base(&cursor, &n, (op >> 3) % 2 ? 16 : 10, (op >> 4) % 2);
            break;
        case 4:
            rc = at_tok_nextbool(&cursor, (op >> 3) % 2 ? &b : nullptr);
            break;
        case 5:
            rc = at_tok_nextstr(&cursor, &s);
            break;
        default:
            rc = at_tok_nextint_base(&cursor, &n, 0, 0);
            break;
        }
        check_inside(s, line, line_size);
        check_inside(cursor, line, line_size);
        if (op % 7 == 4 && rc == 0 && b != 0 && b != 1) abort();
        // once no field is left, every operation fails
        if (ended && rc == 0) abort();
        if (!cursor) ended = true;
    }
    free(line);
    return 0;
}
