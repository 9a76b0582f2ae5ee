// JSON text: a growable buffer, string literals, and response framing.
#ifndef PLUGIN_JSON_TEXT_H
#define PLUGIN_JSON_TEXT_H

#include <cstddef>
#include <cstring>

// A growable text buffer, always NUL-terminated once it has storage.
// Start it zeroed; release it with buf_free.
struct buf {
    char *data;
    size_t len;
    size_t cap;
};

// Makes room for n more bytes and the terminator, growing the storage as
// buf_add does. Returns the position to write at, or null when storage
// cannot be grown (the buffer is then unchanged). Finish with buf_commit.
char *buf_reserve(buf *b, size_t n);
// Ends a write that started at buf_reserve: end is one past the last byte
// written; the length moves there and the text is terminated.
void buf_commit(buf *b, char *end);

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
// Writers into room that buf_reserve made: each writes at p and returns the
// position after what it wrote.
template <size_t N>
inline char *put_lit(char *p, const char (&text)[N]) {
    memcpy(p, text, N - 1);
    return p + N - 1;
}
// The n bytes at s as a JSON string literal: at most 2 + 6 * n bytes.
char *put_json(char *p, const char *s, size_t n);
// The text of a fixed-width field as a JSON string literal, up to its NUL or
// its width. The field is read sixteen bytes at a time, never past its
// width, and up to 15 bytes are written past the returned position, so the
// room must hold 6 * width + 18 bytes.
char *put_json_field(char *p, const char *field, size_t width);
// Decimal digits of v: at most 20 bytes, 11 for an int with its sign.
char *put_u64(char *p, unsigned long long v);
char *put_int(char *p, int v);

// Writes the buffer's text to standard output in one write, then frees it.
void buf_write(buf *b);
// Frees the storage and zeroes the buffer.
void buf_free(buf *b);

// Writes the header block of a JSON response.
void print_json_header(void);
// Writes a complete error response: status line, header block, and the
// error body with message as a JSON string.
void err_json(int status, const char *reason, const char *message);

#endif
