// The one list of the web back end's page names: the last path component of
// SCRIPT_NAME selects an entry.
#pragma once

#include "cgi.h"

#include <cstddef>

struct PageEntry {
    const char *name;
    // Pages without a session check: "login.cgi" and "gps.cgi".
    bool session_needed;
    // "upgradefirmware.cgi": once the session check has passed, the router's
    // services are stopped before the body is read.
    bool stops_services;
    // Null while the page's group is not built: the page then answers as an
    // unknown page.
    PageHandler handler;
    // The upload pages: a multipart body of up to CGI_BODY_MAX bytes, never
    // parsed as JSON. Every other page takes at most CGI_JSON_BODY_MAX.
    bool takes_upload = false;
};

constexpr size_t PAGE_COUNT = 28;

// The entries in dispatch order.
const PageEntry *page_table();
// The entry of a page name, or null when the table does not list it.
const PageEntry *page_find(const char *name);
