#include <gtest/gtest.h>

#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "actions.h"
#include "capture.h"
#include "run_cgi.h"

namespace {

TEST(ValidUnit, AcceptsOnlyTheServiceNameAlphabet) {
    const struct {
        std::string unit;
        int valid;
    } cases[] = {
        {"Spooler", 1}, {"a-b.c:d@e\\f_g09", 1}, {std::string(160, 'x'), 1},
        {"", 0}, {std::string(161, 'x'), 0}, {"a b", 0}, {"a/b", 0}, {"a%b", 0}, {"a+b", 0},
        {"a\"b", 0}, {"a'b", 0}, {"a\tb", 0}, {"caf\xc3\xa9", 0}, {"a\x7f", 0}, {"a&b", 0},
    };
    for (const auto &c : cases) EXPECT_EQ(valid_unit(c.unit.c_str()), c.valid) << c.unit;
}

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

// Runs a real-mode restart against a fixture and returns the backend's trace.
std::string restart_trace(const std::string &service_line, std::string *response) {
    temp_file trace;
    temp_file fx("trace\t" + trace.path + "\n" + service_line);
    setenv("SERVICES_FAKE_SCM", fx.path.c_str(), 1);
    setenv("SERVICES_ALLOW_CONTROL", "1", 1);
    setenv("REQUEST_METHOD", "POST", 1);
    *response = capture_stdout([] { mode_json("action=control&unit=Svc&op=restart"); });
    for (const char *v : {"SERVICES_FAKE_SCM", "SERVICES_ALLOW_CONTROL", "REQUEST_METHOD"}) unsetenv(v);
    return trace.read();
}

TEST(Restart, StopsWaitsForStoppedThenStarts) {
    std::string response;
    std::string t = restart_trace(fixture_service("Svc", "d", 4, 9, "3", "start=accepted\tstops_after=2"), &response);
    EXPECT_NE(response.find("{\"ok\":true,\"unit\":\"Svc\",\"op\":\"restart\""), std::string::npos);
    size_t control = t.find("connect control\n");
    ASSERT_NE(control, std::string::npos);
    EXPECT_EQ(t.substr(control),
              "connect control\nopen Svc start+stop+status\nstop Svc\n"
              "status Svc\nsleep 200\nstatus Svc\nsleep 200\nstatus Svc\nstart Svc\n");
}

TEST(Restart, OutcomesOfEachStep) {
    const struct {
        int state;
        const char *options;
        bool ok;
    } cases[] = {
        {1, "", true},                            // already stopped counts
        {4, "stop=accepted\tstart=running", true},  // started meanwhile counts
        {4, "stop=refused", false},
        {4, "stop=accepted\tstart=refused", false},
        {4, "stop=accepted\tstops_after=never", false},  // the 20 s bound
    };
    for (const auto &c : cases) {
        std::string response;
        std::string t = restart_trace(fixture_service("Svc", "d", c.state, 9, "3", c.options), &response);
        SCOPED_TRACE(c.options);
        auto doc = nlohmann::json::parse(response_body(response));
        EXPECT_EQ(doc["ok"], c.ok);
        if (!c.ok) {
            EXPECT_EQ(doc["error"], "control failed");
        }
        // A refused stop never goes on to a start.
        if (std::string(c.options) == "stop=refused") {
            EXPECT_EQ(t.find("start Svc"), std::string::npos);
        }
    }
}

TEST(Restart, WaitIsBoundedTo20Seconds) {
    std::string response;
    std::string t = restart_trace(fixture_service("Svc", "d", 4, 9, "3", "stops_after=never"), &response);
    unsigned long total = 0;
    for (size_t p = 0; (p = t.find("sleep ", p)) != std::string::npos; p += 6) total += strtoul(t.c_str() + p + 6, nullptr, 10);
    EXPECT_EQ(total, (unsigned long)RESTART_WAIT_LIMIT_MS);
    EXPECT_EQ(t.find("start Svc"), std::string::npos);
}

}  // namespace
