#include <gtest/gtest.h>

#include <cstring>
#include <nlohmann/json.hpp>
#include <string>

#include "capture.h"
#include "json_text.h"

namespace {

std::string literal(const std::string &s) {
    buf b = {};
    json_into(&b, s.c_str());
    std::string out(b.data, b.len);
    buf_free(&b);
    return out;
}

TEST(JsonInto, EscapesExactlyTheBytesThatNeedIt) {
    const struct {
        std::string in, out;
    } cases[] = {
        {"", "\"\""},
        {"plain", "\"plain\""},
        {"q\"b\\t\tx\x01\xc3\xa9", "\"q\\\"b\\\\t\\tx\\u0001\xc3\xa9\""},
        {"\x08\x0c", "\"\\u0008\\u000c\""},
        {"\n\r\x1b\x1f", "\"\\n\\r\\u001b\\u001f\""},
        {"a/b\x7f", "\"a/b\x7f\""},
        {"Dienst f\xc3\xbcr \xe6\x9c\x8d", "\"Dienst f\xc3\xbcr \xe6\x9c\x8d\""},
    };
    for (const auto &c : cases) {
        std::string got = literal(c.in);
        EXPECT_EQ(got, c.out);
        // Every control byte comes back as the same text through a real parser.
        ASSERT_TRUE(nlohmann::json::accept(got)) << got;
        EXPECT_EQ(nlohmann::json::parse(got).get<std::string>(), c.in);
    }
}

TEST(JsonInto, BytesAbove0x7fPassUncheckedEvenWhenNotUtf8) {
    EXPECT_EQ(literal("\xc3"), "\"\xc3\"");
    EXPECT_EQ(literal("\xff\x80"), "\"\xff\x80\"");
}

TEST(JsonInto, NullGivesAnEmptyLiteral) {
    buf b = {};
    json_into(&b, nullptr);
    EXPECT_EQ(std::string(b.data, b.len), "\"\"");
    buf_free(&b);
}

// A 24-byte field written through put_json_field, with room to spare.
std::string field_literal(const std::string &bytes) {
    char field[24];
    memset(field, 'Z', sizeof field);  // what lies behind a NUL is never read into the literal
    memcpy(field, bytes.data(), bytes.size() < sizeof field ? bytes.size() : sizeof field);
    char room[6 * sizeof field + 18];
    char *end = put_json_field(room, field, sizeof field);
    return std::string(room, end);
}

// n copies of text.
std::string times(int n, const std::string &text) {
    std::string out;
    for (int i = 0; i < n; i++) out += text;
    return out;
}

TEST(JsonField, StopsAtTheNulOrTheWidthAndEscapesAcrossWords) {
    const std::string nul(1, '\0');
    const struct {
        std::string field, literal;
    } cases[] = {
        {nul, "\"\""},
        {"a" + nul, "\"a\""},
        {"1234567" + nul, "\"1234567\""},
        {"12345678" + nul, "\"12345678\""},
        {"12345678abcdefg" + nul, "\"12345678abcdefg\""},
        {std::string(23, 'x') + nul, "\"" + std::string(23, 'x') + "\""},
        {std::string(24, 'y'), "\"" + std::string(24, 'y') + "\""},  // no NUL: the whole width
        {"\"" + nul, "\"\\\"\""},
        {"1234567\\" + nul, "\"1234567\\\\\""},  // escape as the last byte of a block's first half
        {"12345678\t" + nul, "\"12345678\\t\""},  // and as the first of its second half
        {std::string(15, 'b') + "\n" + nul, "\"" + std::string(15, 'b') + "\\n\""},  // last of a block
        {std::string(16, 'c') + "\"" + nul, "\"" + std::string(16, 'c') + "\\\"\""},  // first after a block
        {std::string(16, 'd') + nul, "\"" + std::string(16, 'd') + "\""},  // the NUL behind a block
        {"\x01\x1f\x7f\xc3\xa9" + nul, "\"\\u0001\\u001f\x7f\xc3\xa9\""},
        {std::string(23, '"') + nul, "\"" + times(23, "\\\"") + "\""},
        {std::string(24, '\x02'), "\"" + times(24, "\\u0002") + "\""},
        {"ab" + nul + "\"\"\"", "\"ab\""},
    };
    for (const auto &c : cases) {
        std::string got = field_literal(c.field);
        EXPECT_EQ(got, c.literal);
        ASSERT_TRUE(nlohmann::json::accept(got)) << got;
        EXPECT_EQ(nlohmann::json::parse(got).get<std::string>(), c.field.substr(0, c.field.find('\0')));
    }
}

TEST(BufNumbers, DecimalTextOfTheExtremes) {
    const struct {
        long long value;
        bool is_u64;
        const char *text;
    } cases[] = {
        {0, false, "0"},
        {7, false, "7"},
        {-1, false, "-1"},
        {10, false, "10"},
        {2147483647, false, "2147483647"},
        {-2147483647 - 1, false, "-2147483648"},
        {0, true, "0"},
        {1000000, true, "1000000"},
    };
    for (const auto &c : cases) {
        buf b = {};
        if (c.is_u64) buf_u64(&b, (unsigned long long)c.value);
        else buf_int(&b, (int)c.value);
        EXPECT_EQ(std::string(b.data, b.len), c.text);
        buf_free(&b);
    }
    buf b = {};
    buf_u64(&b, 18446744073709551615ull);
    EXPECT_EQ(std::string(b.data, b.len), "18446744073709551615");
    buf_free(&b);
}

TEST(BufAdd, GrowsByDoublingFrom4096) {
    const struct {
        size_t first, second, cap;
    } cases[] = {{0, 0, 4096}, {4095, 0, 4096}, {4096, 0, 8192}, {4095, 1, 8192},
                 {8191, 0, 8192}, {8192, 0, 16384}, {20000, 0, 32768}, {4000, 9000, 16384}};
    for (const auto &c : cases) {
        buf b = {};
        std::string first(c.first, 'a'), second(c.second, 'b');
        buf_add(&b, first.data(), first.size());
        if (c.second) buf_add(&b, second.data(), second.size());
        EXPECT_EQ(b.cap, c.cap) << c.first << "+" << c.second;
        EXPECT_EQ(b.len, c.first + c.second);
        EXPECT_EQ(b.data[b.len], '\0');
        EXPECT_EQ(std::string(b.data, b.len), first + second);
        buf_free(&b);
    }
}

TEST(BufAdd, NullSourceChangesNothingAndBytesMayHoldNul) {
    buf b = {};
    buf_add(&b, nullptr, 10);
    EXPECT_EQ(b.data, nullptr);
    EXPECT_EQ(b.cap, 0u);
    buf_puts(&b, nullptr);
    EXPECT_EQ(b.data, nullptr);
    buf_add(&b, "a\0b", 3);
    EXPECT_EQ(std::string(b.data, b.len), std::string("a\0b", 3));
    buf_free(&b);
}

TEST(Framing, ErrorResponseBytes) {
    std::string out = capture_stdout([] { err_json(400, "Bad Request", "unknown action"); });
    EXPECT_EQ(out,
              "Status: 400 Bad Request\r\n"
              "Content-Type: application/json; charset=utf-8\r\n"
              "Cache-Control: no-store\r\n"
              "X-Content-Type-Options: nosniff\r\n"
              "\r\n"
              "{\"ok\":false,\"error\":\"unknown action\"}\n");
    auto doc = nlohmann::json::parse(out.substr(out.find("\r\n\r\n") + 4));
    EXPECT_EQ(doc["ok"], false);
}

TEST(Framing, HeaderBlockBytes) {
    EXPECT_EQ(capture_stdout([] { print_json_header(); }),
              "Content-Type: application/json; charset=utf-8\r\n"
              "Cache-Control: no-store\r\n"
              "X-Content-Type-Options: nosniff\r\n"
              "\r\n");
}

}  // namespace
