// Reading the HTTP request: query parameters, the method, the node password.
#ifndef PLUGIN_REQUEST_H
#define PLUGIN_REQUEST_H

#include <cstddef>

// Looks up the first pair named `name` in the raw query string `qs` (may be
// null) and stores its value, cut to size - 1 raw bytes and then
// percent-decoded in place, in dst. dst always ends up NUL-terminated (empty
// when nothing is found). size must be at least 2. Returns 1 when the pair
// exists, even with an empty value, else 0.
int get_query_val(const char *qs, const char *name, char *dst, size_t size);

// 1 when REQUEST_METHOD is exactly "POST", else 0.
int is_post_request(void);

// Compares two strings in time that depends on their lengths only, not on
// where they first differ. 1 when equal.
int secret_equal(const char *a, const char *b);

// The node password check. Returns 1 when the request may go on (the check is
// off, or one of the three places presents the password); 0 when it must be
// refused with the 401 response.
int password_ok(void);

// Writes the fixed 401 response.
void write_unauthorized(void);

#endif
