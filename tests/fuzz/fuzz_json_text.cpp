// Fuzzes the text buffer and JSON string literals against a model: each
// input is a run of operations (op byte, length byte, that many bytes) on one
// buffer. After every operation the buffer's text, length, terminator and
// capacity must match the model; every literal must parse back as JSON and,
// for UTF-8 text, give the text back unchanged.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "json_text.h"
#include "oracle.h"

namespace {

enum { OP_ADD, OP_PUTS, OP_JSON, OP_NULL, OP_BLOCK, OP_COUNT };
enum { BLOCK_UNIT = 1031, TEXT_LIMIT = 1 << 22 };

struct model {
    std::string text;
    size_t cap = 0;
};

// Grows the model's capacity as the buffer must: 4096 first, then doubling.
void model_add(model *m, const std::string &bytes) {
    size_t need = m->text.size() + bytes.size() + 1;
    if (need > m->cap) {
        size_t c = m->cap ? m->cap * 2 : 4096;
        while (c < need) c *= 2;
        m->cap = c;
    }
    m->text += bytes;
}

std::string model_literal(const std::string &s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"') out += "\\\"";
        else if (c == '\\') out += "\\\\";
        else if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else if (c == '\t') out += "\\t";
        else if (c < 0x20) {
            char hex[8];
            snprintf(hex, sizeof hex, "\\u%04x", c);
            out += hex;
        } else out += (char)c;
    }
    return out + "\"";
}

void check_same(const buf &b, const model &m) {
    require(b.len == m.text.size(), "length differs from the model");
    require(b.cap == m.cap, "capacity differs from the model",
            std::to_string(b.cap) + " != " + std::to_string(m.cap));
    if (!b.data) {
        require(b.len == 0 && b.cap == 0, "no storage but a length");
        return;
    }
    require(b.len + 1 <= b.cap && b.data[b.len] == '\0', "text not terminated within capacity");
    require(memcmp(b.data, m.text.data(), b.len) == 0, "text differs from the model");
}

// The literal for s must stand as a JSON value and, for UTF-8 s, read back as s.
void check_literal(const std::string &s) {
    buf b = {};
    buf_puts(&b, "{\"ok\":true,\"v\":");
    json_into(&b, s.c_str());
    buf_puts(&b, "}\n");
    std::string body(b.data, b.len);
    buf_free(&b);
    bool utf8 = valid_utf8(s);
    nlohmann::ordered_json doc = check_document(body, utf8);
    if (utf8) require(doc["v"] == s, "literal does not read back as its text", body);
}

void apply(buf *b, model *m, int op, const std::string &chunk, unsigned len) {
    std::string text = chunk.c_str();
    static const std::string block(255 * BLOCK_UNIT, 'x');
    switch (op) {
    case OP_ADD: buf_add(b, chunk.data(), chunk.size()); model_add(m, chunk); break;
    case OP_PUTS: buf_puts(b, text.c_str()); model_add(m, text); break;
    case OP_JSON:
        json_into(b, text.c_str());
        model_add(m, model_literal(text));
        check_literal(text);
        break;
    case OP_NULL:
        if (len % 2) {
            buf_add(b, nullptr, len);
        } else {
            json_into(b, nullptr);
            model_add(m, "\"\"");
        }
        break;
    case OP_BLOCK:
        if (m->text.size() > TEXT_LIMIT) break;
        buf_add(b, block.data(), len * BLOCK_UNIT);
        model_add(m, block.substr(0, len * BLOCK_UNIT));
        break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    buf b = {};
    model m;
    for (size_t i = 0; i + 1 < size;) {
        int op = data[i] % OP_COUNT;
        unsigned len = data[i + 1];
        size_t take = std::min<size_t>(len, size - i - 2);
        std::string chunk(reinterpret_cast<const char *>(data + i + 2), take);
        apply(&b, &m, op, chunk, len);
        check_same(b, m);
        i += 2 + take;
    }
    buf_free(&b);
    require(!b.data && !b.len && !b.cap, "buffer not zeroed after free");
    return 0;
}
