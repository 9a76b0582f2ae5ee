#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "actions.h"

namespace {

TEST(EmitService, MemoryNullOnlyWhenZeroAndFailedFromThePredicate) {
    svc_record r = {};
    str_copy(r.name, sizeof r.name, "a\"b");
    str_copy(r.active, sizeof r.active, "running");
    str_copy(r.sub, sizeof r.sub, "failed");
    r.pid = -5;
    r.memory_bytes = 18446744073709551615ull;
    buf b = {};
    emit_service(&b, &r);
    std::string text(b.data, b.len);
    buf_free(&b);
    EXPECT_EQ(text,
              "{\"name\":\"a\\\"b\",\"description\":\"\",\"active\":\"running\",\"sub\":\"failed\","
              "\"enabled\":\"\",\"pid\":-5,\"memory_bytes\":18446744073709551615,\"since\":\"\","
              "\"failed\":true}");
    auto j = nlohmann::json::parse(text);
    EXPECT_EQ(j["memory_bytes"].get<unsigned long long>(), 18446744073709551615ull);
}

TEST(EmitService, LongestEscapedFieldsFitTheRoomItReserves) {
    svc_record r = {};
    std::string all_escaped(sizeof r.name - 1, '\x01');
    for (auto field : {r.name, r.description}) str_copy(field, 192, all_escaped.c_str());
    for (auto field : {r.active, r.sub, r.enabled}) str_copy(field, 32, all_escaped.c_str());
    str_copy(r.since, sizeof r.since, all_escaped.c_str());
    r.pid = -2147483647 - 1;
    r.memory_bytes = 18446744073709551615ull;
    buf b = {};
    emit_service(&b, &r);
    emit_service(&b, &r);  // the second starts where the first ended
    std::string text(b.data, b.len);
    buf_free(&b);
    std::string one = text.substr(0, text.size() / 2);
    EXPECT_EQ(text, one + one);
    auto j = nlohmann::json::parse(one);
    EXPECT_EQ(j["name"].get<std::string>(), all_escaped);
    EXPECT_EQ(j["since"].get<std::string>(), all_escaped.substr(0, 39));
    EXPECT_EQ(j["pid"].get<int>(), -2147483647 - 1);
}

}  // namespace
