#include "page_util.h"

#include "cgi.h"
#include "nvram_env.h"

#include <cJSON.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const cJSON *member(const cJSON *request, const char *key) {
    if (!cJSON_IsObject(request)) return nullptr;
    return cJSON_GetObjectItemCaseSensitive(request, key);
}

} // namespace

const char *request_string(const cJSON *request, const char *key) {
    const cJSON *item = member(request, key);
    return cJSON_IsString(item) && item->valuestring ? item->valuestring : nullptr;
}

bool request_number(const cJSON *request, const char *key, int *value) {
    const cJSON *item = member(request, key);
    if (!cJSON_IsNumber(item)) return false;
    *value = item->valueint;
    return true;
}

void answer_string(cJSON *answer, const char *key, const char *value) {
    cJSON *item = cJSON_CreateString(value);
    if (item && !cJSON_AddItemToObjectCS(answer, key, item)) cJSON_Delete(item);
}

void answer_number(cJSON *answer, const char *key, double value) {
    cJSON *item = cJSON_CreateNumber(value);
    if (item && !cJSON_AddItemToObjectCS(answer, key, item)) cJSON_Delete(item);
}

void answer_number_text(cJSON *answer, const char *key, const char *text) {
    answer_number(answer, key, atoi(text));
}

int answer_result(cJSON *answer, int result) {
    answer_number(answer, "result", result);
    return cgi_send_json(answer);
}

const char *store_get(const char *key) {
    return nvram_bufget(NVRAM_CONFIG_SECTION, key);
}

int store_get_int(const char *key) {
    return atoi(store_get(key));
}

int store_set(const char *key, const char *value) {
    return nvram_bufset(NVRAM_CONFIG_SECTION, key, value);
}

int store_set_int(const char *key, int value) {
    char text[16];
    snprintf(text, sizeof text, "%d", value);
    return store_set(key, text);
}

int store_set_uint(const char *key, unsigned int value) {
    char text[16];
    snprintf(text, sizeof text, "%u", value);
    return store_set(key, text);
}

void answer_fields(cJSON *answer, std::span<const StoreField> fields) {
    for (const StoreField &f : fields) {
        if (f.type == FieldType::Number)
            answer_number_text(answer, f.json_key, store_get(f.store_key));
        else
            answer_string(answer, f.json_key, store_get(f.store_key));
    }
}

bool request_has_fields(const cJSON *request, std::span<const StoreField> fields) {
    int number;
    for (const StoreField &f : fields) {
        bool ok = f.type == FieldType::Number ? request_number(request, f.json_key, &number)
                                              : request_string(request, f.json_key) != nullptr;
        if (!ok) return false;
    }
    return true;
}

int store_fields(const cJSON *request, std::span<const StoreField> fields) {
    for (const StoreField &f : fields) {
        int rc = -1;
        if (f.type == FieldType::Number) {
            int number;
            if (request_number(request, f.json_key, &number))
                rc = store_set_int(f.store_key, number);
        } else if (const char *text = request_string(request, f.json_key)) {
            rc = store_set(f.store_key, text);
        }
        if (rc != 0) return -1;
    }
    return 0;
}

int page_by_method(const PageRequest &req, PageHandler get, PageHandler post) {
    if (strcmp(req.method, "GET") == 0) return get(req);
    if (strcmp(req.method, "POST") == 0)
        return request_texts_printable(req.request) ? post(req) : answer_result(req.answer, -1);
    return answer_result(req.answer, -1);
}

int answer_stored(const PageRequest &req, std::span<const StoreField> fields) {
    answer_fields(req.answer, fields);
    return cgi_send_json(req.answer);
}

int answer_change(const PageRequest &req, int rc, FollowUpAction action) {
    if (rc != 0) return answer_result(req.answer, -1);
    req.context->follow_up = action;
    return answer_result(req.answer, 0);
}

int post_fields(const PageRequest &req, std::span<const StoreField> fields, FollowUpAction action) {
    if (!request_has_fields(req.request, fields)) return answer_result(req.answer, -1);
    return answer_change(req, store_fields(req.request, fields), action);
}

bool request_texts_printable(const cJSON *request) {
    if (!cJSON_IsObject(request)) return true;
    for (const cJSON *item = request->child; item; item = item->next) {
        if (!cJSON_IsString(item) || !item->valuestring) continue;
        for (const char *p = item->valuestring; *p; p++) {
            auto c = static_cast<unsigned char>(*p);
            if (c < 0x20 || c == 0x7F) return false;
        }
    }
    return true;
}

bool text_is_at_safe(const char *text) {
    for (const char *p = text; *p; p++) {
        auto c = static_cast<unsigned char>(*p);
        if (c == '"' || c < 32 || c == 127) return false;
    }
    return true;
}

bool text_is_digits(const char *text) {
    if (!*text) return false;
    for (const char *p = text; *p; p++)
        if (*p < '0' || *p > '9') return false;
    return true;
}

bool text_is_shell_safe(const char *text) {
    if (!*text) return false;
    for (const char *p = text; *p; p++) {
        char c = *p;
        bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!alnum && c != ' ' && !strchr(".-_/:,=", c)) return false;
    }
    return true;
}
