// JSON text: a growable buffer, string literals, and response framing.
#ifndef PLUGIN_JSON_TEXT_H
#define PLUGIN_JSON_TEXT_H

#include <cstddef>

// A growable text buffer, always NUL-terminated once it has storage.
// Start it zeroed; release it with buf_free.
struct buf {
    char *data;
    size_t len;
    size_t cap;
};

// Appends n bytes of src (NULs included). A null src appends nothing. When
// storage cannot be grown the bytes are dropped and the buffer is unchanged.
void buf_add(buf *b, const char *src, size_t n);
// Appends the string s without its NUL; null appends nothing.
void buf_puts(buf *b, const char *s);
// Appends an int ("%d") or an unsigned 64-bit number ("%llu").
void buf_int(buf *b, int v);
void buf_u64(buf *b, unsigned long long v);
// Appends s as a JSON string literal; null gives "".
void json_into(buf *b, const char *s);
// Writes the buffer's text to standard output in one write, then frees it.
void buf_write(buf *b);
// Frees the storage and zeroes the buffer.
void buf_free(buf *b);

// Writes the header block of a JSON response.
void print_json_header(void);
// Writes a complete error response: status line, header block, error body.
void err_json(int status, const char *reason, const char *message);

#endif
