// Walks an AT response line ("+CREG: 2,\"1A2B\",7") field by field, in place.
#pragma once

int at_tok_start(char **cursor);
char *at_tok_nexttoken(char **cursor);
int at_tok_nextint_base(char **cursor, int *out, int base, int is_unsigned);
int at_tok_nextint(char **cursor, int *out);
int at_tok_nextbool(char **cursor, char *out);
int at_tok_nextstr(char **cursor, char **out);
