#include "at_query.h"

#include "at_channel.h"
#include "at_tok.h"
#include "log.h"
#include "ril_context.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

constexpr size_t kCommandSize = 320;

__attribute__((format(printf, 3, 0))) bool at_vformat(char *buf, size_t size, const char *format,
                                                      va_list ap) {
    int n = vsnprintf(buf, size, format, ap);
    if (n >= 0 && static_cast<size_t>(n) < size) return true;
    // the name alone: the rest may hold a password
    __log_str("lted: %s: command too long, not sent: %.*s\n", "at_format",
              static_cast<int>(strcspn(format, "=")), format);
    return false;
}

} // namespace

bool at_format(char *buf, size_t size, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    bool ok = at_vformat(buf, size, format, ap);
    va_end(ap);
    return ok;
}

bool at_value_ok(const char *value, bool bare) {
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(value); *p; ++p) {
        if (*p == '"' || *p < 0x20 || *p == 0x7f) return false;
        // unquoted, ',' would end the field and shift the next value into it
        if (bare && (*p == ';' || *p == ',')) return false;
    }
    return true;
}

bool at_setting_usable(ModemContext *ctx, const char *name, const char *value, bool bare) {
    if (at_value_ok(value, bare)) return true;
    // Settings are loaded once per run: one line each is enough.
    for (const char *n : ctx->settings_refused)
        if (n && strcmp(n, name) == 0) return false;
    for (const char *&n : ctx->settings_refused)
        if (!n) {
            n = name;
            break;
        }
    __log_str("lted: %s: %s holds a quote, ';', ',' or a control character; not sent\n",
              "at_setting_usable", name);
    return false;
}

int at_send_formatted(AtReply **out, const char *format, ...) {
    if (out) *out = nullptr;
    char command[kCommandSize];
    va_list ap;
    va_start(ap, format);
    bool fits = at_vformat(command, sizeof command, format, ap);
    va_end(ap);
    return fits ? at_send_command(command, out) : AT_FAIL_IO;
}

char *at_reply_fields(int rc, AtReply *reply) {
    if (!at_succeeded(rc, reply) || !reply->lines) return nullptr;
    char *cursor = reply->lines->text;
    at_tok_start(&cursor);
    return cursor;
}

bool at_query_ints(const char *command, const char *prefix, int *values, int count) {
    AtReply *reply = nullptr;
    int rc = at_send_command_singleline(command, prefix, &reply);
    char *fields = at_reply_fields(rc, reply);
    bool ok = fields != nullptr;
    for (int i = 0; ok && i < count; ++i)
        ok = at_tok_nextint(&fields, &values[i]) == 0;
    at_response_free(reply);
    return ok;
}

bool at_query_value_after_two_ints(const char *command, const char *prefix, char *out,
                                   size_t size) {
    AtReply *reply = nullptr;
    int rc = at_send_command_singleline(command, prefix, &reply);
    char *fields = at_reply_fields(rc, reply);
    int skip;
    char *value;
    bool ok = at_tok_nextint(&fields, &skip) == 0 && at_tok_nextint(&fields, &skip) == 0 &&
              at_tok_nextstr(&fields, &value) == 0;
    if (ok) snprintf(out, size, "%s", value);
    at_response_free(reply);
    return ok;
}

bool at_line_int_and_string(const char *line, char (&copy)[AT_LINE_COPY_SIZE], int *number,
                            char **text) {
    snprintf(copy, sizeof copy, "%s", line);
    char *cursor = copy;
    return at_tok_start(&cursor) == 0 && at_tok_nextint(&cursor, number) == 0 &&
           at_tok_nextstr(&cursor, text) == 0;
}

int sysinfo_query(SysInfo *info) {
    AtReply *reply = nullptr;
    int rc = at_send_command_singleline("AT^SYSINFO", "^SYSINFO:", &reply);
    int read = -1;
    if (at_succeeded(rc, reply)) {
        char *fields = at_reply_fields(rc, reply);
        int *order[] = {&info->service_status, &info->service_domain, &info->roaming,
                        &info->system_mode, &info->sim_state};
        read = 0;
        for (int *v : order) {
            if (at_tok_nextint(&fields, v) < 0) break;
            ++read;
        }
    }
    at_response_free(reply);
    return read;
}
