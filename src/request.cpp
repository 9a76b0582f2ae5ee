#include "request.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

static int hex_value(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Decodes %XX escapes and '+' in place; malformed escapes stay literal.
static void percent_decode(char *s) {
    char *w = s;
    for (const char *r = s; *r;) {
        int hi = *r == '%' ? hex_value((unsigned char)r[1]) : -1;
        int lo = hi >= 0 ? hex_value((unsigned char)r[2]) : -1;
        if (lo >= 0) {
            *w++ = (char)(hi * 16 + lo);
            r += 3;
        } else {
            *w++ = *r == '+' ? ' ' : *r;
            r++;
        }
    }
    *w = '\0';
}

// Finds the start of the value of the first pair named `name`, or null.
static const char *find_pair_value(const char *qs, const char *name) {
    size_t n = strlen(name);
    for (const char *p = qs;;) {
        if (strncmp(p, name, n) == 0 && p[n] == '=') return p + n + 1;
        p = strchr(p, '&');
        if (!p || !*++p) return nullptr;
    }
}

int get_query_val(const char *qs, const char *name, char *dst, size_t size) {
    dst[0] = '\0';
    if (!qs || !*qs) return 0;
    const char *v = find_pair_value(qs, name);
    if (!v) return 0;
    size_t n = 0;
    while (n < size - 1 && v[n] && v[n] != '&') {
        dst[n] = v[n];
        n++;
    }
    dst[n] = '\0';
    percent_decode(dst);
    return 1;
}

int is_post_request(void) {
    const char *m = getenv("REQUEST_METHOD");
    return m && strcmp(m, "POST") == 0;
}

int secret_equal(const char *a, const char *b) {
    size_t la = strlen(a), lb = strlen(b);
    unsigned char diff = la != lb;
    // Walk the expected secret in full whatever the offered text holds.
    for (size_t i = 0; i < lb; i++) {
        unsigned char ca = i < la ? (unsigned char)a[i] : 0;
        diff |= (unsigned char)(ca ^ (unsigned char)b[i]);
    }
    return diff == 0;
}

// The password after "Bearer " in an Authorization value, or null.
static const char *bearer_token(const char *auth) {
    while (*auth == ' ') auth++;
    if (strncmp(auth, "Bearer ", 7) != 0) return nullptr;
    auth += 7;
    while (*auth == ' ') auth++;
    return auth;
}

int password_ok(void) {
    const char *expected = getenv("BOT_PASSWORD");
    if (!expected || !*expected) return 1;
    const char *header = getenv("HTTP_X_BOT_PASSWORD");
    if (header && secret_equal(header, expected)) return 1;
    const char *auth = getenv("HTTP_AUTHORIZATION");
    const char *token = auth ? bearer_token(auth) : nullptr;
    if (token && secret_equal(token, expected)) return 1;
    const char *qs = getenv("QUERY_STRING");
    char pwd[256];
    if (!qs || !get_query_val(qs, "pwd", pwd, sizeof pwd)) return 0;
    return secret_equal(pwd, expected);
}

void write_unauthorized(void) {
    static const char response[] =
        "Status: 401 Unauthorized\r\n"
        "Content-Type: application/json; charset=utf-8\r\n"
        "Cache-Control: no-store\r\n"
        "X-Content-Type-Options: nosniff\r\n"
        "\r\n"
        "{\"ok\":false,\"error\":\"invalid node password\"}\n";
    fwrite(response, 1, sizeof response - 1, stdout);
}
