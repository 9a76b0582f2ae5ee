// Fuzzes get_query_val against a plain model of the lookup: the first pair
// whose raw name matches, its raw value cut to size - 1 bytes, then decoded
// once (%XX and '+'). Input: a first line "SIZE NAME", then the query string
// (no line feed after the first line means a null query string).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "oracle.h"
#include "request.h"

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::string model_decode(const std::string &raw) {
    std::string out;
    for (size_t i = 0; i < raw.size(); i++) {
        int hi = raw[i] == '%' && i + 2 < raw.size() ? hex_digit(raw[i + 1]) : -1;
        int lo = hi >= 0 ? hex_digit(raw[i + 2]) : -1;
        if (lo >= 0) {
            out += (char)(hi * 16 + lo);
            i += 2;
        } else {
            out += raw[i] == '+' ? ' ' : raw[i];
        }
    }
    return out;
}

// The model: returns 1 and the decoded value (NULs included) when found.
int model_lookup(const std::string &qs, const std::string &name, size_t size, std::string *value) {
    value->clear();
    if (qs.empty()) return 0;
    size_t n = name.size();
    for (size_t p = 0;;) {
        if (qs.compare(p, n, name) == 0 && p + n < qs.size() && qs[p + n] == '=') {
            size_t start = p + n + 1, end = qs.find('&', start);
            if (end == std::string::npos) end = qs.size();
            *value = model_decode(qs.substr(start, std::min(end - start, size - 1)));
            return 1;
        }
        size_t amp = qs.find('&', p);
        if (amp == std::string::npos || amp + 1 == qs.size()) return 0;
        p = amp + 1;
    }
}

// Runs one lookup into a heap buffer of exactly `size` bytes and compares.
void check_lookup(const char *qs, const std::string &name, size_t size) {
    std::vector<char> dst(size, '\x5a');
    int got = get_query_val(qs, name.c_str(), dst.data(), size);
    std::string want;
    int found = qs ? model_lookup(qs, name, size, &want) : 0;
    std::string where = "name=" + name + " size=" + std::to_string(size);
    require(got == found, "result differs from the model", where);
    require(want.size() < size, "decoded value longer than the buffer", where);
    require(memcmp(dst.data(), want.data(), want.size()) == 0 && dst[want.size()] == '\0',
            "decoded bytes differ from the model", where + " want=" + want);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string input(reinterpret_cast<const char *>(data), size);
    size_t eol = input.find('\n');
    std::string header = input.substr(0, eol);
    char *rest = nullptr;
    unsigned long buf_size = strtoul(header.c_str(), &rest, 10);
    std::string name = rest && *rest == ' ' ? std::string(rest + 1).c_str() : "";
    if (name.empty()) name = "unit";
    if (buf_size < 2) buf_size = 2 + (size ? data[0] : 0);
    if (buf_size > 65536) buf_size = 65536;
    if (eol == std::string::npos) {
        check_lookup(nullptr, name, buf_size);
        return 0;
    }
    std::string qs = input.substr(eol + 1).c_str();
    check_lookup(qs.c_str(), name, buf_size);
    // Every small size, so each cut position meets each escape form.
    for (size_t s = 2; s < 72; s++) check_lookup(qs.c_str(), name, s);
    return 0;
}
