// Black-box tests of the control action: the refusals in their order, the
// mock log, and each outcome the service manager can give.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "run_cgi.h"

namespace {

std::string run(const env_list &env) {
    cgi_result r = run_cgi(PLUGIN_BIN, env);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    return r.out;
}

std::string success(const std::string &unit_literal, const std::string &op) {
    return json_head + "{\"ok\":true,\"unit\":" + unit_literal + ",\"op\":\"" + op +
           "\",\"control_enabled\":true,\"init_system\":\"windows-scm\"}\n";
}

// "status reason|message" of an error response, or "ok" for a success.
std::string outcome(const std::string &out) {
    nlohmann::json doc = nlohmann::json::parse(response_body(out));
    if (doc["ok"] == true) return "ok";
    size_t sp = out.find(' '), eol = out.find("\r\n");
    return out.substr(sp + 1, eol - sp - 1) + "|" + doc["error"].get<std::string>();
}

TEST(Control, RefusalsInOrder) {
    temp_file log;
    const struct {
        const char *allow, *method, *site, *query, *expected;
    } cases[] = {
        {nullptr, "POST", nullptr, "unit=Svc&op=start", "403 Forbidden|control_disabled"},
        {"0", "GET", nullptr, "unit=Svc&op=start", "403 Forbidden|control_disabled"},
        {"1", "GET", nullptr, "unit=Svc&op=start", "405 Method Not Allowed|control requires POST"},
        {"1", "post", nullptr, "unit=Svc&op=start", "405 Method Not Allowed|control requires POST"},
        {"1", "POST", "cross-site", "unit=Svc&op=start", "403 Forbidden|cross-site request refused"},
        {"1", "POST", "same-site", "unit=&op=bad", "403 Forbidden|cross-site request refused"},
        {"1", "POST", "same-origin", "unit=Svc&op=start", "ok"},
        {"1", "POST", "none", "unit=Svc&op=start", "ok"},
        {"1", "POST", nullptr, "unit=&op=start", "400 Bad Request|invalid unit"},
        {"1", "POST", nullptr, "op=start", "400 Bad Request|invalid unit"},
        {"1", "POST", nullptr, "unit=a+b&op=bad", "400 Bad Request|invalid unit"},
        {"1", "POST", nullptr, "unit=Svc&op=Start", "400 Bad Request|op must be start|stop|restart"},
        {"1", "POST", nullptr, "unit=Svc&op=", "400 Bad Request|op must be start|stop|restart"},
        {"1", "POST", nullptr, "unit=Svc&op=reload", "400 Bad Request|op must be start|stop|restart"},
    };
    for (const auto &c : cases) {
        env_list env{{"QUERY_STRING", std::string("action=control&") + c.query},
                     {"REQUEST_METHOD", c.method},
                     {"SERVICES_MOCK_SYSTEMCTL_LOG", log.path}};
        if (c.allow) env.push_back({"SERVICES_ALLOW_CONTROL", c.allow});
        if (c.site) env.push_back({"HTTP_SEC_FETCH_SITE", c.site});
        EXPECT_EQ(outcome(run(env)), c.expected) << c.query << " " << (c.site ? c.site : "");
    }
    // Only the two accepted requests reached the log.
    EXPECT_EQ(log.read(), "systemctl start Svc\nsystemctl start Svc\n");
}

TEST(Control, MockModeLogsEachOpWithoutTheServiceManager) {
    temp_file log, trace;
    temp_file fx("trace\t" + trace.path + "\n");
    for (const char *op : {"start", "stop", "restart"}) {
        std::string out = run({{"QUERY_STRING", std::string("action=control&unit=No.Such%5CSvc&op=") + op},
                               {"REQUEST_METHOD", "POST"},
                               {"SERVICES_ALLOW_CONTROL", "1"},
                               {"SERVICES_MOCK_SYSTEMCTL_LOG", log.path},
                               {"SERVICES_FAKE_SCM", fx.path}});
        EXPECT_EQ(out, success("\"No.Such\\\\Svc\"", op));
        EXPECT_EQ(nlohmann::json::parse(response_body(out))["unit"], "No.Such\\Svc");
    }
    EXPECT_EQ(log.read(), "systemctl start No.Such\\Svc\nsystemctl stop No.Such\\Svc\nsystemctl restart No.Such\\Svc\n");
    EXPECT_EQ(trace.read().find("connect control"), std::string::npos);
}

TEST(Control, MockLogThatCannotBeOpenedStillSucceeds) {
    std::string out = run({{"QUERY_STRING", "action=control&unit=Svc&op=stop"},
                           {"REQUEST_METHOD", "POST"},
                           {"SERVICES_ALLOW_CONTROL", "1"},
                           {"SERVICES_MOCK_SYSTEMCTL_LOG", "/nonexistent-dir/log"}});
    EXPECT_EQ(out, success("\"Svc\"", "stop"));
}

TEST(Control, RealModeOutcomes) {
    const struct {
        const char *fixture_extra, *op, *expected, *access;
    } cases[] = {
        {"", "start", "ok", "start+stop"},
        {"start=running", "start", "ok", "start+stop"},
        {"start=refused", "start", "500 Internal Server Error|control failed", "start+stop"},
        {"stop=accepted", "stop", "ok", "stop"},
        {"stop=inactive", "stop", "ok", "stop"},
        {"stop=refused", "stop", "500 Internal Server Error|control failed", "stop"},
        {"open=missing", "stop", "404 Not Found|service not found", "stop"},
        {"stop=inactive\tstart=accepted", "restart", "ok", "start+stop+status"},
        {"stop=accepted\tstops_after=never", "restart", "500 Internal Server Error|control failed", "start+stop+status"},
    };
    for (const auto &c : cases) {
        temp_file trace;
        temp_file fx("trace\t" + trace.path + "\n" + fixture_service("Svc", "d", 1, 0, "3", c.fixture_extra));
        std::string out = run({{"QUERY_STRING", std::string("action=control&unit=Svc&op=") + c.op},
                               {"REQUEST_METHOD", "POST"},
                               {"SERVICES_ALLOW_CONTROL", "1"},
                               {"SERVICES_FAKE_SCM", fx.path}});
        SCOPED_TRACE(std::string(c.op) + " " + c.fixture_extra);
        EXPECT_EQ(outcome(out), c.expected);
        if (std::string(c.expected) == "ok") {
            EXPECT_EQ(out, success("\"Svc\"", c.op));
        }
        EXPECT_NE(trace.read().find(std::string("open Svc ") + c.access), std::string::npos);
    }
}

TEST(Control, RealModeWithoutTheServiceOrTheManager) {
    temp_file fx(fixture_service("Svc", "d", 1, 0, "3"));
    temp_file refusing("manager\trefuse_control\n" + fixture_service("Svc", "d", 1, 0, "3"));
    env_list base{{"REQUEST_METHOD", "POST"}, {"SERVICES_ALLOW_CONTROL", "1"}};
    auto with = [&](env_list extra) {
        extra.insert(extra.end(), base.begin(), base.end());
        return outcome(run(extra));
    };
    EXPECT_EQ(with({{"QUERY_STRING", "action=control&unit=Other&op=start"}, {"SERVICES_FAKE_SCM", fx.path}}),
              "404 Not Found|service not found");
    EXPECT_EQ(with({{"QUERY_STRING", "action=control&unit=Svc&op=start"}, {"SERVICES_FAKE_SCM", refusing.path}}),
              "500 Internal Server Error|control failed");
    EXPECT_EQ(with({{"QUERY_STRING", "action=control&unit=Svc&op=start"}}),
              "500 Internal Server Error|control failed");
}

}  // namespace
