// Table checks for the settings pages: a request goes in with a session, and
// what it changed in the store, the follow-up action and the commands that
// the stand-ins recorded come out.
#pragma once

#include "cgi_harness.h"

#include <cJSON.h>
#include <gtest/gtest.h>

#include <map>
#include <ostream>
#include <string>
#include <vector>

// Failures name the action.
inline void PrintTo(FollowUpAction action, std::ostream *out) {
    const char *command = follow_up_command(action);
    *out << (command ? command : "no follow-up");
}

namespace ts {

using Section = std::map<std::string, std::string>;

// Names whose value differs (or that are new) in after.
inline Section section_changes(const Section &before, const Section &after) {
    Section changed;
    for (const auto &[name, value] : after) {
        auto it = before.find(name);
        if (it == before.end() || it->second != value) changed[name] = value;
    }
    return changed;
}

class PageChecks : public ::testing::Test {
  protected:
    WebRoot web;
    std::string cookie = "session=" + web.login();

    CgiAnswer call(CgiCall c) {
        c.cookie = cookie;
        return web.call(c);
    }
    std::string calls() const { return read_file(web.path("/sim/calls.log")); }

    struct Post {
        const char *page;
        std::string body;
        Section presets = {};      // stored before the request
        Section stored = {};       // exactly what the request changes
        FollowUpAction follow_up;  // on success
        std::string commands = {}; // lines the stand-ins record at once
        const char *method = "POST";
        int result = 0;
    };

    // Runs each request and checks its answer, follow-up, changes and commands.
    void check_posts(const std::vector<Post> &posts) {
        for (const Post &p : posts) {
            for (const auto &[name, value] : p.presets)
                web.store_set(name, value);
            Section before = web.store_section();
            std::string calls_before = calls();
            CgiAnswer a = call({.page = p.page, .method = p.method, .body = p.body});
            std::string what = std::string(p.page) + " " + p.body;
            EXPECT_EQ(a.json, "{\"result\":" + std::to_string(p.result) + "}") << what;
            EXPECT_EQ(a.follow_up, p.follow_up) << what;
            EXPECT_EQ(section_changes(before, web.store_section()), p.stored) << what;
            EXPECT_EQ(calls().substr(calls_before.size()), p.commands) << what;
        }
    }

    // A POST body that a page accepts in full, and what a refusal may have
    // stored already when a key checked late is missing or mistyped.
    struct FullPost {
        const char *page;
        std::string body;
        std::map<std::string, Section> stored_before = {};
    };

    // Refuses the body with each key missing, each key of the other JSON type,
    // each text with a control character, another method and a body that is
    // not JSON: {"result":-1}, no follow-up, no command, nothing stored (but
    // what stored_before names for a missing or mistyped key).
    void check_refusals(const FullPost &full) {
        cJSON *whole = cJSON_Parse(full.body.c_str());
        ASSERT_TRUE(whole) << full.body;
        struct Variant {
            std::string what, key, body, method = "POST", content_type = "application/json";
        };
        std::vector<Variant> variants = {
            {"method PUT", "", full.body, "PUT"},
            {"not JSON", "", full.body, "POST", "text/plain"},
        };
        for (const cJSON *item = whole->child; item; item = item->next) {
            cJSON *copy = cJSON_Duplicate(whole, 1);
            cJSON_DeleteItemFromObjectCaseSensitive(copy, item->string);
            char *text = cJSON_PrintUnformatted(copy);
            variants.push_back({std::string("without ") + item->string, item->string, text});
            free(text);
            cJSON_AddItemToObject(copy, item->string,
                                  cJSON_IsNumber(item) ? cJSON_CreateString("1")
                                                       : cJSON_CreateNumber(1));
            text = cJSON_PrintUnformatted(copy);
            variants.push_back({std::string("mistyped ") + item->string, item->string, text});
            free(text);
            cJSON_Delete(copy);
            if (!cJSON_IsString(item)) continue;
            // a line end or a DEL would add to the line-oriented files the
            // firmware writes from the texts
            copy = cJSON_Duplicate(whole, 1);
            std::string value =
                std::string(item->valuestring) + (variants.size() % 2 ? "\n" : "\x7f");
            cJSON_ReplaceItemInObjectCaseSensitive(copy, item->string,
                                                   cJSON_CreateString(value.c_str()));
            text = cJSON_PrintUnformatted(copy);
            variants.push_back({std::string("control character in ") + item->string, "", text});
            free(text);
            cJSON_Delete(copy);
        }
        cJSON_Delete(whole);

        for (const Variant &v : variants) {
            Section before = web.store_section();
            std::string calls_before = calls();
            CgiAnswer a = call({.page = full.page,
                                .method = v.method,
                                .body = v.body,
                                .content_type = v.content_type});
            std::string what = std::string(full.page) + " " + v.what;
            EXPECT_EQ(a.json, "{\"result\":-1}") << what;
            EXPECT_EQ(a.follow_up, FollowUpAction::None) << what;
            EXPECT_EQ(calls(), calls_before) << what;
            auto partial = full.stored_before.find(v.key);
            Section expected = partial == full.stored_before.end() ? Section{} : partial->second;
            Section changed = section_changes(before, web.store_section());
            EXPECT_EQ(changed, expected) << what;
            // the next variant starts from the same store
            for (const auto &[name, value] : changed)
                web.store_set(name, before.count(name) ? before[name] : "");
        }
    }
};

} // namespace ts
