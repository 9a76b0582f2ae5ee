#include "page/page_writer.h"

#include <cstdio>
#include <cstring>

const char page_headers[] =
    "Content-Type: text/html; charset=utf-8\r\n"
    "Cache-Control: no-store\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "Content-Security-Policy: default-src 'none'; script-src 'unsafe-inline'; "
    "style-src 'unsafe-inline'; img-src data:; connect-src 'self'; "
    "form-action 'none'; base-uri 'none'\r\n"
    "\r\n";

static void put_text(const char *s, size_t n) {
    fwrite(s, 1, n, stdout);
}

void write_page(void) {
    put_text(page_headers, strlen(page_headers));
    // Write the template in runs between markers.
    const char *run = page_template;
    for (const char *p = page_template;; p++) {
        unsigned char c = (unsigned char)*p;
        if (c > 2) continue;
        put_text(run, (size_t)(p - run));
        if (c == 0) break;
        const char *block = c == 1 ? theme_head : theme_bridge;
        put_text(block, strlen(block));
        run = p + 1;
    }
    fflush(stdout);
}
