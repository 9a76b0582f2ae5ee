#include "json_text.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "word_scan.h"

// Capacity for need bytes: 4096 doubled for a new buffer, cap doubled otherwise.
static size_t grown_capacity(size_t cap, size_t need) {
    size_t c = cap ? cap * 2 : 4096;
    while (c < need) c *= 2;
    return c;
}

char *buf_reserve(buf *b, size_t n) {
    size_t need = b->len + n + 1;
    if (need < n) return nullptr;
    if (need > b->cap) {
        size_t cap = grown_capacity(b->cap, need);
        char *data = static_cast<char *>(realloc(b->data, cap));
        if (!data) return nullptr;
        b->data = data;
        b->cap = cap;
    }
    return b->data + b->len;
}

void buf_commit(buf *b, char *end) {
    b->len = (size_t)(end - b->data);
    *end = '\0';
}

void buf_add(buf *b, const char *src, size_t n) {
    if (!src) return;
    char *p = buf_reserve(b, n);
    if (!p) return;
    memcpy(p, src, n);
    buf_commit(b, p + n);
}

void buf_puts(buf *b, const char *s) {
    if (s) buf_add(b, s, strlen(s));
}

char *put_u64(char *p, unsigned long long v) {
    char digits[20];
    int n = 0;
    do {
        digits[n++] = (char)('0' + v % 10);
        v /= 10;
    } while (v);
    while (n) *p++ = digits[--n];
    return p;
}

char *put_int(char *p, int v) {
    if (v >= 0) return put_u64(p, (unsigned long long)v);
    *p++ = '-';
    return put_u64(p, 0ull - (unsigned long long)(long long)v);
}

void buf_int(buf *b, int v) {
    char *p = buf_reserve(b, 11);
    if (p) buf_commit(b, put_int(p, v));
}

void buf_u64(buf *b, unsigned long long v) {
    char *p = buf_reserve(b, 20);
    if (p) buf_commit(b, put_u64(p, v));
}

// For each byte, the length of its form inside a literal: 1 for the byte
// itself, 2 for a short escape, 6 for the \u00XX escape.
struct form_table {
    unsigned char len[256];
};

static constexpr form_table make_forms(void) {
    form_table t{};
    for (int c = 0; c < 256; c++) t.len[c] = c < 0x20 ? 6 : 1;
    const unsigned char short_escapes[] = {'"', '\\', '\n', '\r', '\t'};
    for (unsigned char c : short_escapes) t.len[c] = 2;
    return t;
}

static constexpr form_table k_forms = make_forms();

// Writes the escape of byte c, one whose form is longer than the byte.
static char *put_escape(char *p, unsigned char c) {
    static const char hex[] = "0123456789abcdef";
    *p++ = '\\';
    switch (c) {
    case '"': *p++ = '"'; return p;
    case '\\': *p++ = '\\'; return p;
    case '\n': *p++ = 'n'; return p;
    case '\r': *p++ = 'r'; return p;
    case '\t': *p++ = 't'; return p;
    default: break;
    }
    p = put_lit(p, "u00");
    *p++ = hex[c >> 4];
    *p++ = hex[c & 15];
    return p;
}

// The bytes of w that need an escape: below 0x20, quotation marks and backslashes.
static uint64_t word_needs_escape(uint64_t w) {
    return word_bytes_below(w, 0x20) | word_bytes_equal(w, '"') | word_bytes_equal(w, '\\');
}

char *put_json(char *p, const char *s, size_t n) {
    const unsigned char *q = (const unsigned char *)s, *end = q + n;
    *p++ = '"';
    while (q < end) {
        uint64_t w;
        if (end - q >= 8 && !word_needs_escape(w = word_load(q))) {
            memcpy(p, &w, 8);
            p += 8;
            q += 8;
            continue;
        }
        unsigned char c = *q++;
        if (k_forms.len[c] == 1) *p++ = (char)c;
        else p = put_escape(p, c);
    }
    *p++ = '"';
    return p;
}

char *put_json_field(char *p, const char *field, size_t width) {
    const char *q = field, *end = field + width;
    *p++ = '"';
    while (end - q >= 16) {
        byte_block b = block_load(q);
        memcpy(p, &b, 16);
        byte_block stop = (byte_block)(b < 0x20) | (byte_block)(b == '"') | (byte_block)(b == '\\');
        size_t k = block_first(stop);
        p += k;
        q += k;
        if (k == 16) continue;
        if (!*q) break;
        p = put_escape(p, (unsigned char)*q++);
    }
    // Only a field without a NUL in its last block gets here with bytes left.
    for (; q < end && *q; q++) {
        unsigned char c = (unsigned char)*q;
        if (k_forms.len[c] == 1) *p++ = (char)c;
        else p = put_escape(p, c);
    }
    *p++ = '"';
    return p;
}

void json_into(buf *b, const char *s) {
    size_t n = s ? strlen(s) : 0, size = 2;
    for (size_t i = 0; i < n; i++) size += k_forms.len[(unsigned char)s[i]];
    char *p = buf_reserve(b, size);
    if (p) buf_commit(b, put_json(p, s, n));
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
    buf_puts(&b, "{\"ok\":false,\"error\":");
    json_into(&b, message);
    buf_puts(&b, "}\n");
    buf_write(&b);
}
