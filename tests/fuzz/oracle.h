// Checks shared by the fuzz targets: UTF-8 validity, stdout capture and the
// shape every JSON response must have. A failed check aborts, which libFuzzer
// reports as a crash with the input that caused it.
#ifndef FUZZ_ORACLE_H
#define FUZZ_ORACLE_H

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <nlohmann/json.hpp>

// Aborts with a message when cond is false.
inline void require(bool cond, const char *what, const std::string &detail = "") {
    if (cond) return;
    fprintf(stderr, "oracle: %s\n%s\n", what, detail.c_str());
    abort();
}

// 1 when s is well-formed UTF-8 (no overlongs, surrogates or values past U+10FFFF).
inline bool valid_utf8(const std::string &s) {
    for (size_t i = 0; i < s.size();) {
        unsigned char c = (unsigned char)s[i];
        if (c < 0x80) {
            i++;
            continue;
        }
        size_t n = c >= 0xC2 && c <= 0xDF ? 1 : c >= 0xE0 && c <= 0xEF ? 2 : c >= 0xF0 && c <= 0xF4 ? 3 : 0;
        if (!n || i + n >= s.size()) return false;
        unsigned char c1 = (unsigned char)s[i + 1];
        if ((c == 0xE0 && c1 < 0xA0) || (c == 0xED && c1 > 0x9F)) return false;
        if ((c == 0xF0 && c1 < 0x90) || (c == 0xF4 && c1 > 0x8F)) return false;
        for (size_t k = 1; k <= n; k++)
            if (((unsigned char)s[i + k] & 0xC0) != 0x80) return false;
        i += n + 1;
    }
    return true;
}

// Standard output redirected into an in-memory file for the whole run.
struct stdout_capture {
    int fd = -1;
};

// Points fd 1 at a fresh memory file; call once at start-up.
inline void capture_begin(stdout_capture *c) {
    c->fd = memfd_create("fuzz_stdout", 0);
    require(c->fd >= 0, "memfd_create failed");
    fflush(stdout);
    dup2(c->fd, 1);
}

// Empties the capture before the next input.
inline void capture_reset(stdout_capture *c) {
    fflush(stdout);
    require(ftruncate(c->fd, 0) == 0, "ftruncate failed");
    lseek(c->fd, 0, SEEK_SET);
}

// Everything written to standard output since the last reset.
inline std::string capture_read(stdout_capture *c) {
    fflush(stdout);
    off_t end = lseek(c->fd, 0, SEEK_CUR);
    std::string out((size_t)end, '\0');
    if (end > 0) require(pread(c->fd, &out[0], (size_t)end, 0) == end, "pread failed");
    return out;
}

// Checks one JSON document: "ok" first, one final line feed and nothing else
// on its line, parses as JSON. When utf8_input, the text must be valid UTF-8
// and is parsed as it is; otherwise bytes from 0x80 up are masked before
// parsing, since they pass through unchecked. Returns the parsed document.
inline nlohmann::ordered_json check_document(const std::string &body, bool utf8_input) {
    require(body.rfind("{\"ok\":", 0) == 0, "document does not start with \"ok\"", body);
    require(!body.empty() && body.find('\n') == body.size() - 1, "not exactly one final line feed", body);
    std::string text = body;
    if (utf8_input) {
        require(valid_utf8(body), "UTF-8 input gave invalid UTF-8 output", body);
    } else {
        for (char &c : text)
            if ((unsigned char)c >= 0x80) c = '?';
    }
    nlohmann::ordered_json doc = nlohmann::ordered_json::parse(text, nullptr, false);
    require(!doc.is_discarded(), "document does not parse", body);
    require(doc.is_object() && doc.begin().key() == "ok", "first member is not ok", body);
    return doc;
}

#endif
