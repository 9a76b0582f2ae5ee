#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "request.h"

namespace {

struct lookup_case {
    const char *qs;  // null for a missing query string
    const char *name;
    size_t size;
    int found;
    std::string value;
};

const lookup_case lookups[] = {
    {"action=list&filter=all", "filter", 32, 1, "all"},
    {"xop=stop&op=start", "op", 32, 1, "start"},
    {"units=9&unit=Spooler", "unit", 256, 1, "Spooler"},
    {"unit=Spooler", "units", 256, 0, ""},
    {"op=start&op=stop", "op", 32, 1, "start"},
    {"unit=", "unit", 256, 1, ""},
    {"unit", "unit", 256, 0, ""},
    {"unit&x=1", "unit", 256, 0, ""},
    {"&&unit=a&", "unit", 256, 1, "a"},
    {"x=unit=abc", "unit", 256, 0, ""},
    {"a=b=c", "a", 32, 1, "b=c"},
    {"unit=a+b%2Bc", "unit", 256, 1, "a b+c"},
    {"unit=%41%4a%4A", "unit", 256, 1, "AJJ"},
    {"unit=100%", "unit", 256, 1, "100%"},
    {"unit=%4", "unit", 256, 1, "%4"},
    {"unit=%4g", "unit", 256, 1, "%4g"},
    {"unit=%%41", "unit", 256, 1, "%A"},
    {"unit=%2541", "unit", 256, 1, "%41"},
    {"unit=ab%00cd", "unit", 256, 1, "ab"},
    {"u%6Eit=x", "unit", 256, 0, ""},
    {"UNIT=x", "unit", 256, 0, ""},
    {"op=restart", "op", 4, 1, "res"},
    {"op=ab%41", "op", 4, 1, "ab%"},
    {"op=%41BCD", "op", 4, 1, "A"},
    {"op=a%3Bb;c=d", "op", 32, 1, "a;b;c=d"},
    {"op=%+", "op", 32, 1, "% "},
    {"op=x", "op", 2, 1, "x"},
    {"op=xy", "op", 2, 1, "x"},
    {"a=1&", "b", 32, 0, ""},
    {"", "op", 32, 0, ""},
    {nullptr, "op", 32, 0, ""},
};

TEST(GetQueryVal, DecodesTheFirstPairOfThatName) {
    for (const lookup_case &c : lookups) {
        char dst[256];
        memset(dst, 'Z', sizeof dst);
        int found = get_query_val(c.qs, c.name, dst, c.size);
        SCOPED_TRACE(std::string(c.qs ? c.qs : "(null)") + " / " + c.name);
        EXPECT_EQ(found, c.found);
        EXPECT_EQ(std::string(dst), c.value);
        EXPECT_LT(strlen(dst), c.size);
    }
}

TEST(GetQueryVal, NulEscapeKeepsDecodedBytesBehindIt) {
    char dst[16];
    ASSERT_EQ(get_query_val("unit=ab%00cd", "unit", dst, sizeof dst), 1);
    EXPECT_EQ(std::string(dst, 5), std::string("ab\0cd", 5));
}

TEST(GetQueryVal, NeverWritesPastTheBuffer) {
    // Every size from 2 up to past the value, with a guard byte behind the buffer.
    const char *qs = "unit=%41%42%43%44%45";
    for (size_t size = 2; size < 24; size++) {
        std::string mem(size + 1, '#');
        get_query_val(qs, "unit", &mem[0], size);
        EXPECT_EQ(mem[size], '#') << size;
        EXPECT_LT(strlen(mem.c_str()), size);
    }
}

TEST(IsPostRequest, OnlyExactlyPost) {
    const struct {
        const char *method;
        int post;
    } cases[] = {{"POST", 1}, {"post", 0}, {"Post", 0}, {"POST ", 0}, {"POSTX", 0},
                 {"GET", 0},  {"", 0},     {nullptr, 0}};
    for (const auto &c : cases) {
        if (c.method) setenv("REQUEST_METHOD", c.method, 1);
        else unsetenv("REQUEST_METHOD");
        EXPECT_EQ(is_post_request(), c.post) << (c.method ? c.method : "(unset)");
    }
    unsetenv("REQUEST_METHOD");
}

}  // namespace
