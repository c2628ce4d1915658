#include "pages_events.h"

#include "event_history.h"
#include "page_util.h"
#include "sys_utils.h"

#include <cJSON.h>
#include <cstring>

namespace {

// The daemon keeps the history within this; a longer file is damaged, and
// only its end is read.
constexpr size_t kReadMax = EVENTS_MAX_BYTES;

void answer_events(cJSON *answer) {
    cJSON *list = cJSON_CreateArray();
    if (!list) return;
    if (!cJSON_AddItemToObjectCS(answer, "events", list)) {
        cJSON_Delete(list);
        return;
    }
    static char text[kReadMax];
    long len = event_file_tail(EVENTS_FILE, text, sizeof text);
    // the newest EVENTS_MAX_LINES lines that parse, in a ring
    static EventLine lines[EVENTS_MAX_LINES];
    size_t count = 0;
    size_t end = len > 0 ? static_cast<size_t>(len) : 0, n;
    for (size_t at = 0; const char *line = event_next_line(text, end, &at, &n);)
        if (event_line_parse(line, n, &lines[count % EVENTS_MAX_LINES])) count++;
    size_t shown = count < EVENTS_MAX_LINES ? count : EVENTS_MAX_LINES;
    for (size_t i = 0; i < shown; i++) {
        const EventLine &e = lines[(count - 1 - i) % EVENTS_MAX_LINES];
        cJSON *item = cJSON_CreateObject();
        if (!item || !cJSON_AddItemToArray(list, item)) {
            cJSON_Delete(item);
            return;
        }
        char words[EVENT_TEXT_MAX + 1];
        memcpy(words, e.text, e.text_len);
        words[e.text_len] = '\0';
        answer_string(item, "time", e.time);
        answer_number(item, "uptime", static_cast<double>(e.uptime));
        answer_string(item, "text", words);
    }
}

} // namespace

int page_events(const PageRequest &req) {
    char value[RESTART_VALUE_MAX];
    char time[EVENT_TIME_LEN + 1] = "", reason[EVENT_TEXT_MAX + 1] = "";
    if (read_file_string(RESTART_FILE, value, sizeof value) == 0)
        restart_value_split(value, time, reason, sizeof reason);
    answer_string(req.answer, "lastRestart", reason);
    answer_string(req.answer, "lastRestartTime", time);
    answer_events(req.answer);
    return cgi_send_json(req.answer);
}

int restart_reason_store(const char *reason) {
    char value[RESTART_VALUE_MAX];
    restart_value_make(reason, value, sizeof value);
    return store_set(RESTART_REASON_KEY, value);
}
