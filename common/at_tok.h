// Walks an AT response line ("+CREG: 2,\"1A2B\",7") field by field, in place:
// the operations write zero bytes into the line, so tokenise a private copy.
// The cursor is the caller's pointer into the line; a null cursor means that
// no field is left, and every operation fails on it (or on a null cursor
// pointer).
#pragma once

// Moves the cursor just past the first ':' of the line. 0; -1 (cursor made
// null) when there is none.
int at_tok_start(char **cursor);
// The next field, or null when none is left. A quoted field runs to the next
// double quote (commas inside belong to it; text after the closing quote up
// to the next comma is dropped); a plain field runs to the next comma, blanks
// after it included. Leading blanks are skipped. The cursor moves past the
// field's comma, or becomes null at the end of the line.
char *at_tok_nexttoken(char **cursor);
// The next field as a number (strtol, or strtoul when is_unsigned, in base),
// stored in *out even when it holds none. 0; -1 when no field is left or no
// digit was read. Characters after the digits are ignored.
int at_tok_nextint_base(char **cursor, int *out, int base, int is_unsigned);
// at_tok_nextint_base in base 10, signed.
int at_tok_nextint(char **cursor, int *out);
// The next field as 0 or 1, stored in *out when out is not null. 0; -1 when
// it is no number or another one.
int at_tok_nextbool(char **cursor, char *out);
// The next field as text. 0; -1 when no field is left.
int at_tok_nextstr(char **cursor, char **out);
