#include "json_text.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

// Capacity for need bytes: 4096 doubled for a new buffer, cap doubled otherwise.
static size_t grown_capacity(size_t cap, size_t need) {
    size_t c = cap ? cap * 2 : 4096;
    while (c < need) c *= 2;
    return c;
}

void buf_add(buf *b, const char *src, size_t n) {
    if (!src) return;
    size_t need = b->len + n + 1;
    if (need < n) return;
    if (need > b->cap) {
        size_t cap = grown_capacity(b->cap, need);
        char *data = static_cast<char *>(realloc(b->data, cap));
        if (!data) return;
        b->data = data;
        b->cap = cap;
    }
    memcpy(b->data + b->len, src, n);
    b->len += n;
    b->data[b->len] = '\0';
}

void buf_puts(buf *b, const char *s) {
    if (s) buf_add(b, s, strlen(s));
}

// Appends the decimal digits of v, most significant first.
static void buf_digits(buf *b, unsigned long long v) {
    char num[24];
    char *p = num + sizeof num;
    do {
        *--p = (char)('0' + v % 10);
        v /= 10;
    } while (v);
    buf_add(b, p, (size_t)(num + sizeof num - p));
}

void buf_int(buf *b, int v) {
    if (v < 0) buf_add(b, "-", 1);
    buf_digits(b, v < 0 ? 0ull - (unsigned long long)(long long)v : (unsigned long long)v);
}

void buf_u64(buf *b, unsigned long long v) { buf_digits(b, v); }

// The escape for byte c, or null when c stands for itself.
static const char *short_escape(unsigned char c) {
    switch (c) {
    case '"': return "\\\"";
    case '\\': return "\\\\";
    case '\n': return "\\n";
    case '\r': return "\\r";
    case '\t': return "\\t";
    default: return nullptr;
    }
}

void json_into(buf *b, const char *s) {
    buf_add(b, "\"", 1);
    for (const unsigned char *p = (const unsigned char *)s; p && *p; p++) {
        // Copy the run of bytes that need no escape in one append.
        const unsigned char *run = p;
        while (*p >= 0x20 && *p != '"' && *p != '\\') p++;
        if (p > run) buf_add(b, (const char *)run, (size_t)(p - run));
        if (!*p) break;
        const char *esc = short_escape(*p);
        char hex[8];
        if (!esc) {
            snprintf(hex, sizeof hex, "\\u%04x", *p);
            esc = hex;
        }
        buf_puts(b, esc);
    }
    buf_add(b, "\"", 1);
}

void buf_write(buf *b) {
    if (b->data && b->len) {
        fwrite(b->data, 1, b->len, stdout);
        fflush(stdout);
    }
    buf_free(b);
}

void buf_free(buf *b) {
    free(b->data);
    b->data = nullptr;
    b->len = b->cap = 0;
}

static const char json_header[] =
    "Content-Type: application/json; charset=utf-8\r\n"
    "Cache-Control: no-store\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "\r\n";

void print_json_header(void) {
    fwrite(json_header, 1, sizeof json_header - 1, stdout);
}

void err_json(int status, const char *reason, const char *message) {
    buf b = {};
    char line[96];
    int n = snprintf(line, sizeof line, "Status: %d %s\r\n", status, reason);
    buf_add(&b, line, (size_t)n);
    buf_add(&b, json_header, sizeof json_header - 1);
    buf_puts(&b, "{\"ok\":false,\"error\":\"");
    buf_puts(&b, message);
    buf_puts(&b, "\"}\n");
    buf_write(&b);
}
