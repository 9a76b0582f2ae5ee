// Simultaneous requests: the processes share nothing but the fixture they
// read and the mock log they append to, so every list must come out whole
// and the same, and every control request must leave one intact log line.
#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "run_cgi.h"

namespace {

// 2048 services in every state, with long names and texts that need escapes.
std::string large_fixture(void) {
    std::string text;
    for (int i = 0; i < 2048; i++) {
        std::string name = "Svc" + std::to_string(i) + std::string(i % 150, 'n');
        std::string display = "Service \\\"" + std::to_string(i) + "\\\" f\\xc3\\xbcr \\ttests";
        text += fixture_service(name, display, 1 + i % 7, i * 13, std::to_string(i % 6));
    }
    return text;
}

TEST(Concurrency, FiftySimultaneousListsAreCompleteAndIdentical) {
    temp_file fx(large_fixture());
    env_list env{{"QUERY_STRING", "action=list&filter=all"}, {"REQUEST_METHOD", "GET"},
                 {"SERVICES_FAKE_SCM", fx.path}};
    std::vector<cgi_result> results = run_cgi_all(PLUGIN_BIN, std::vector<env_list>(50, env));
    ASSERT_EQ(results.size(), 50u);
    const std::string &first = results[0].out;
    std::string body = response_body(first);
    ASSERT_FALSE(body.empty());
    EXPECT_EQ(body.find('\n'), body.size() - 1);
    nlohmann::json doc = nlohmann::json::parse(body);
    EXPECT_EQ(doc["count"], 2048);
    EXPECT_EQ(doc["services"].size(), 2048u);
    for (size_t i = 0; i < results.size(); i++) {
        EXPECT_EQ(results[i].status, 0) << i;
        EXPECT_EQ(results[i].err, "") << i;
        EXPECT_TRUE(results[i].out == first) << "response " << i << " differs (" << results[i].out.size()
                                             << " bytes against " << first.size() << ")";
    }
}

TEST(Concurrency, FortyEightSimultaneousMockControlsLeaveFortyEightIntactLines) {
    temp_file log;
    const char *ops[] = {"start", "stop", "restart"};
    std::vector<env_list> envs;
    std::vector<std::string> expected;
    for (int i = 0; i < 48; i++) {
        std::string unit = "Unit" + std::to_string(i) + "_" + std::string(150, 'a' + i % 26);
        const char *op = ops[i % 3];
        envs.push_back({{"QUERY_STRING", "action=control&unit=" + unit + "&op=" + op},
                        {"REQUEST_METHOD", "POST"},
                        {"SERVICES_ALLOW_CONTROL", "1"},
                        {"SERVICES_MOCK_SYSTEMCTL_LOG", log.path}});
        expected.push_back(std::string("systemctl ") + op + " " + unit);
    }
    std::vector<cgi_result> results = run_cgi_all(PLUGIN_BIN, envs);
    for (size_t i = 0; i < results.size(); i++) {
        EXPECT_EQ(results[i].status, 0) << i;
        EXPECT_EQ(results[i].err, "") << i;
        EXPECT_EQ(nlohmann::json::parse(response_body(results[i].out))["ok"], true) << i;
    }
    std::string text = log.read();
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(lines, expected);
}

}  // namespace
