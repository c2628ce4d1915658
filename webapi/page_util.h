// Helpers that every page group uses: typed request members, answer members,
// and the configuration store's section 1 (opened and committed by the
// request entry around the page).
#pragma once

#include <cstddef>

struct cJSON;

// --- request members: looked up by exact name; a request that is absent or
// not a JSON object has no members ---

// The member's text, or null when it is missing or not a JSON string.
const char *request_string(const cJSON *request, const char *key);
// The member's integer view (saturated to the int range) in *value: true,
// or false when it is missing or not a JSON number.
bool request_number(const cJSON *request, const char *key, int *value);

// --- answer members: key must outlive the answer (a string literal) ---

void answer_string(cJSON *answer, const char *key, const char *value);
void answer_number(cJSON *answer, const char *key, double value);
// A number from text with the C atoi rules (empty or non-numeric text: 0).
void answer_number_text(cJSON *answer, const char *key, const char *text);
// Adds "result" and writes the answer: the exit status of cgi_send_json.
int answer_result(cJSON *answer, int result);

// --- configuration store, section 1 ---

// Never null: "" for an absent key.
const char *store_get(const char *key);
int store_get_int(const char *key); // atoi of the text
// 0 or -1.
int store_set(const char *key, const char *value);
int store_set_int(const char *key, int value);           // "%d"
int store_set_uint(const char *key, unsigned int value); // "%u"

// --- checks of text that ends up inside a modem command line ---

// True when the text holds no '"' and no control character (bytes below 32
// and 127), so it can stand inside a quoted AT command argument.
bool text_is_at_safe(const char *text);
// True when the text is 1 or more decimal digits and nothing else.
bool text_is_digits(const char *text);

// --- checks of text that ends up inside a shell command line ---

// True when the text is not empty and every character is an ASCII letter, a
// digit, a blank or one of ". - _ / : , =": nothing a shell expands, quotes,
// redirects or separates commands with.
bool text_is_shell_safe(const char *text);
