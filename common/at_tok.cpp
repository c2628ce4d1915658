// AT response tokenizer: takes a line apart in place, one field per call.
#include "at_tok.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

namespace {

void skip_white_space(char **cursor) {
    while (**cursor != '\0' && isspace(static_cast<unsigned char>(**cursor)))
        (*cursor)++;
}

// Moves the cursor past the next comma, or to the end of the line.
void skip_next_comma(char **cursor) {
    while (**cursor != '\0' && **cursor != ',')
        (*cursor)++;
    if (**cursor == ',') (*cursor)++;
}

} // namespace

int at_tok_start(char **cursor) {
    if (!cursor) return -1;
    if (!*cursor) return -1;
    char *colon = strchr(*cursor, ':');
    if (!colon) {
        *cursor = nullptr;
        return -1;
    }
    *cursor = colon + 1;
    return 0;
}

char *at_tok_nexttoken(char **cursor) {
    if (!cursor || !*cursor) return nullptr;
    skip_white_space(cursor);
    char *field;
    if (**cursor == '"') {
        field = ++(*cursor);
        char *quote = strchr(field, '"');
        if (quote) {
            *quote = '\0';
            *cursor = quote + 1;
            skip_next_comma(cursor);
        } else {
            *cursor = nullptr; // the field runs to the end of the line
        }
    } else {
        field = *cursor;
        char *comma = strchr(field, ',');
        if (comma) {
            *comma = '\0';
            *cursor = comma + 1;
        } else {
            *cursor = nullptr;
        }
    }
    return field;
}

int at_tok_nextint_base(char **cursor, int *out, int base, int is_unsigned) {
    if (!cursor || !*cursor) return -1;
    char *field = at_tok_nexttoken(cursor);
    if (!field) return -1;
    char *end;
    if (is_unsigned)
        *out = static_cast<int>(strtoul(field, &end, base));
    else
        *out = static_cast<int>(strtol(field, &end, base));
    return end == field ? -1 : 0;
}

int at_tok_nextint(char **cursor, int *out) {
    return at_tok_nextint_base(cursor, out, 10, 0);
}

int at_tok_nextbool(char **cursor, char *out) {
    int value;
    if (at_tok_nextint(cursor, &value) < 0) return -1;
    if (value != 0 && value != 1) return -1;
    if (out) *out = static_cast<char>(value);
    return 0;
}

int at_tok_nextstr(char **cursor, char **out) {
    if (!cursor || !*cursor) return -1;
    *out = at_tok_nexttoken(cursor);
    return 0;
}
