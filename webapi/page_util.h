// Helpers that every page group uses: typed request members, answer members,
// and the configuration store's section 1 (opened and committed by the
// request entry around the page).
#pragma once

#include "cgi.h"

#include <cstddef>
#include <span>

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

// --- flat pages: a JSON member and the store key behind it ---

enum class FieldType { Text, Number };

struct StoreField {
    const char *json_key;  // a string literal
    const char *store_key; // section 1
    FieldType type;
};

// Answers each field's stored value in order: text as it stands, a number as
// the atoi of the text.
void answer_fields(cJSON *answer, std::span<const StoreField> fields);
// True when every field is in the request with its JSON type.
bool request_has_fields(const cJSON *request, std::span<const StoreField> fields);
// Stores each field of a request that request_has_fields accepted, in order:
// text verbatim, a number as "%d". 0, or -1 at the first write the store
// refused (the fields before it stay written).
int store_fields(const cJSON *request, std::span<const StoreField> fields);

// Dispatches on the method, compared exactly: "GET" to get, "POST" to post;
// any other method answers {"result":-1}, and so does a POST whose texts
// are not all request_texts_printable (before post runs: nothing is stored).
int page_by_method(const PageRequest &req, PageHandler get, PageHandler post);
// A GET of a flat page: answers the fields' stored values, without "result".
int answer_stored(const PageRequest &req, std::span<const StoreField> fields);
// The GET handler of a flat page whose fields are a constant table.
template <const auto &Fields> int flat_get(const PageRequest &req) {
    return answer_stored(req, Fields);
}

// Ends a POST that changed the store: {"result":-1} when rc is not 0 (a write
// was refused), else sets the follow-up action and answers {"result":0}.
int answer_change(const PageRequest &req, int rc, FollowUpAction action);

// A POST that needs every field: {"result":-1} when one is missing or
// mistyped (nothing stored), else stores them in order and ends as
// answer_change. The caller has checked request_texts_printable (as
// page_by_method does).
int post_fields(const PageRequest &req, std::span<const StoreField> fields, FollowUpAction action);
// The POST handler of such a page whose fields are a constant table.
template <const auto &Fields, FollowUpAction Action> int flat_post(const PageRequest &req) {
    return post_fields(req, Fields, Action);
}

// True when no text member of the request holds a byte below 0x20 or 0x7F.
// The firmware's scripts copy stored texts into line-oriented files (the
// Wi-Fi driver's and the DHCP server's configuration, the firewall's rule
// lists), where a line end would add lines of the poster's choosing.
bool request_texts_printable(const cJSON *request);

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
