#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "request.h"

namespace {

const char *const password_vars[] = {"BOT_PASSWORD", "HTTP_X_BOT_PASSWORD", "HTTP_AUTHORIZATION",
                                     "QUERY_STRING"};

struct password_case {
    const char *label;
    const char *expected, *header, *auth, *query;  // null: unset
    int accepted;
};

const password_case cases[] = {
    {"check off when unset", nullptr, nullptr, nullptr, nullptr, 1},
    {"check off when empty", "", nullptr, nullptr, nullptr, 1},
    {"no credentials", "s3cret", nullptr, nullptr, nullptr, 0},
    {"header", "s3cret", "s3cret", nullptr, nullptr, 1},
    {"header differs in case", "s3cret", "S3CRET", nullptr, nullptr, 0},
    {"empty header, right pwd", "s3cret", "", nullptr, "pwd=s3cret", 1},
    {"wrong header, right pwd", "s3cret", "nope", nullptr, "pwd=s3cret", 1},
    {"bearer", "s3cret", nullptr, "Bearer s3cret", nullptr, 1},
    {"bearer with spaces around", "s3cret", nullptr, "   Bearer    s3cret", nullptr, 1},
    {"bearer trailing space", "s3cret", nullptr, "Bearer s3cret ", nullptr, 0},
    {"bearer lower case", "s3cret", nullptr, "bearer s3cret", nullptr, 0},
    {"bearer tab", "s3cret", nullptr, "Bearer\ts3cret", nullptr, 0},
    {"bearer alone", "s3cret", nullptr, "Bearer", nullptr, 0},
    {"basic scheme", "s3cret", nullptr, "Basic s3cret", nullptr, 0},
    {"bad bearer, right pwd", "s3cret", nullptr, "Basic x", "pwd=s3cret", 1},
    {"pwd decoded", "a b+c/é", nullptr, nullptr, "pwd=a+b%2bc%2F%C3%A9", 1},
    {"pwd empty", "s3cret", nullptr, nullptr, "pwd=", 0},
    {"pwd twice, first wrong", "s3cret", nullptr, nullptr, "pwd=x&pwd=s3cret", 0},
    {"xpwd", "s3cret", nullptr, nullptr, "xpwd=s3cret", 0},
    {"pwdx", "s3cret", nullptr, nullptr, "pwdx=s3cret", 0},
    {"prefix of the password", "s3cret", "s3cre", nullptr, nullptr, 0},
    {"password is a prefix", "s3cret", "s3crets", nullptr, nullptr, 0},
};

TEST(PasswordCheck, AcceptsThePasswordInAnyOfThreePlaces) {
    for (const password_case &c : cases) {
        const char *values[] = {c.expected, c.header, c.auth, c.query};
        for (int i = 0; i < 4; i++) {
            if (values[i]) setenv(password_vars[i], values[i], 1);
            else unsetenv(password_vars[i]);
        }
        EXPECT_EQ(password_ok(), c.accepted) << c.label;
    }
    for (const char *v : password_vars) unsetenv(v);
}

TEST(PasswordCheck, PwdLongerThan255BytesCannotArriveInTheQuery) {
    std::string pw(256, 'p');
    setenv("BOT_PASSWORD", pw.c_str(), 1);
    setenv("QUERY_STRING", ("pwd=" + pw).c_str(), 1);
    EXPECT_EQ(password_ok(), 0);
    setenv("HTTP_X_BOT_PASSWORD", pw.c_str(), 1);
    EXPECT_EQ(password_ok(), 1);
    for (const char *v : password_vars) unsetenv(v);
}

TEST(SecretEqual, SameResultsAsStringEquality) {
    const char *const words[] = {"", "a", "ab", "abc", "abd", "b", "abcd", "ABC"};
    for (const char *a : words)
        for (const char *b : words)
            EXPECT_EQ(secret_equal(a, b), strcmp(a, b) == 0) << a << " / " << b;
}

}  // namespace
