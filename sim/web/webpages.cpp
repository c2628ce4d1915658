// Prints the web back end's page names, one a line, from its page table: the
// simulated router's web root gets one CGI entry per name.
#include "page_table.h"

#include <cstdio>

int main() {
    const PageEntry *pages = page_table();
    for (size_t i = 0; i < PAGE_COUNT; i++)
        printf("%s\n", pages[i].name);
    return 0;
}
