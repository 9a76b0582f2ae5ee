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
        {"1", "POST", nullptr, "unit=a%0Ab&op=bad", "400 Bad Request|invalid unit"},
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

// A real-mode control request against a fixture: the response and the
// scripted manager's trace.
struct real_run {
    std::string out, trace;
};

real_run run_real(const std::string &services, const std::string &unit_query, const std::string &op) {
    temp_file trace;
    temp_file fx("trace\t" + trace.path + "\n" + services);
    std::string out = run({{"QUERY_STRING", "action=control&unit=" + unit_query + "&op=" + op},
                           {"REQUEST_METHOD", "POST"},
                           {"SERVICES_ALLOW_CONTROL", "1"},
                           {"SERVICES_FAKE_SCM", fx.path}});
    return {out, trace.read()};
}

// The milliseconds the program slept, by the trace.
unsigned long slept_ms(const std::string &trace) {
    unsigned long total = 0;
    for (size_t p = 0; (p = trace.find("\nsleep ", p)) != std::string::npos; p += 7)
        total += strtoul(trace.c_str() + p + 7, nullptr, 10);
    return total;
}

const char *const k_conflict = "409 Conflict|";

// Every situation of the table of answers, one service "Svc" each (state,
// start type, options), with what the response must be, what the program
// must not have asked, and how long it slept.
TEST(Control, EverySituationGetsItsAnswer) {
    const struct {
        int state;
        const char *start, *options, *op, *expected, *never;
        unsigned long slept;
    } cases[] = {
        // successes: asked for, under way, or already true
        {1, "3", "", "start", "ok", "", 0},
        {4, "3", "", "start", "ok", "", 0},
        {2, "3", "", "start", "ok", "", 0},
        {4, "3", "", "stop", "ok", "", 0},
        {1, "3", "", "stop", "ok", "", 0},
        {3, "3", "", "stop", "ok", "", 0},
        {1, "3", "stop=cannot_accept", "stop", "ok", "", 0},
        {4, "3", "", "restart", "ok", "", 0},
        {1, "3", "", "restart", "ok", "", 0},
        {7, "3", "", "restart", "ok", "", 0},
        // no such service, access
        {4, "3", "open=missing", "stop", "404 Not Found|service not found", "stop Svc", 0},
        {4, "3", "open=denied", "start", "403 Forbidden|access denied", "start Svc", 0},
        {4, "3", "rights=status,config,dependents", "stop", "403 Forbidden|access denied", "stop Svc", 0},
        {1, "3", "rights=stop,status,config,dependents", "restart", "403 Forbidden|access denied", "stop Svc", 0},
        {4, "3", "stop=denied", "stop", "403 Forbidden|access denied", "", 0},
        // the account holds the right the op needs, not the extra ones
        {1, "3", "rights=start", "start", "ok", "", 0},
        {4, "3", "rights=stop", "stop", "ok", "", 0},
        {4, "3", "rights=start,stop,status", "restart", "ok", "", 0},
        // disabled, marked for deletion
        {1, "4", "", "start", "409 Conflict|service is disabled", "", 0},
        {4, "4", "", "restart", "409 Conflict|service is disabled", "stop Svc", 0},
        {1, "4", "", "restart", "409 Conflict|service is disabled", "stop Svc", 0},
        {1, "3", "start=deleting", "start", "409 Conflict|service is marked for deletion", "", 0},
        {4, "3", "start=deleting", "restart", "409 Conflict|service is marked for deletion", "", 0},
        // does not accept a stop: by its status, or by the code alone
        {4, "3", "accepts=shutdown", "stop", "409 Conflict|service cannot be stopped", "", 0},
        {4, "3", "accepts=none", "restart", "409 Conflict|service cannot be stopped", "start Svc", 0},
        {4, "3", "accepts=none\trights=stop", "stop", "409 Conflict|service cannot be stopped", "status Svc", 0},
        {7, "3", "accepts=pause", "stop", "409 Conflict|service cannot be stopped", "", 0},
        // starting, paused
        {2, "3", "", "stop", "409 Conflict|service is starting", "", 0},
        {2, "3", "stop=not_accepted", "stop", "409 Conflict|service is starting", "", 0},
        {2, "3", "", "restart", "409 Conflict|service is starting", "start Svc", 0},
        {7, "3", "", "start", "409 Conflict|service is paused", "", 0},
        {6, "3", "start=cannot_accept", "start", "409 Conflict|service is paused", "", 0},
        // timeouts
        {4, "3", "stop=timeout", "stop", "504 Gateway Timeout|service did not respond in time", "", 0},
        {1, "3", "start=timeout", "start", "504 Gateway Timeout|service did not respond in time", "", 0},
        {4, "3", "stop=timeout", "restart", "504 Gateway Timeout|service did not respond in time", "start Svc", 0},
        // a start of a stopping service waits for the stop, then starts
        {3, "3", "stops_after=4", "start", "ok", "", 600},
        {3, "3", "stops_after=4\tstart=running", "start", "500 Internal Server Error|control failed (error 1056)", "", 600},
        {3, "3", "stops_after=never", "start", "504 Gateway Timeout|service did not stop in time", "start Svc\nstatus Svc\nstart", 20000},
        {3, "3", "stops_after=never\tcheckpoint=stall", "start", "504 Gateway Timeout|service did not stop in time", "", 2200},
        // a restart waits for the stop, for at most 20 s in all
        {4, "3", "stops_after=5\thint=30000", "restart", "ok", "", 5000},
        {4, "3", "stops_after=never", "restart", "504 Gateway Timeout|service did not stop in time", "start Svc", 20000},
        {4, "3", "stops_after=never\thint=60000", "restart", "504 Gateway Timeout|service did not stop in time", "start Svc", 20000},
        {4, "3", "stops_after=never\thint=0", "restart", "504 Gateway Timeout|service did not stop in time", "start Svc", 20000},
        {4, "3", "stops_after=never\tcheckpoint=stall\thint=5000", "restart", "504 Gateway Timeout|service did not stop in time", "start Svc", 5500},
        // any other refusal, with its number
        {1, "3", "start=1069", "start", "500 Internal Server Error|control failed (error 1069)", "", 0},
        {4, "3", "stop=refused", "stop", "500 Internal Server Error|control failed (error 1064)", "", 0},
        {4, "3", "stop=refused", "restart", "500 Internal Server Error|control failed (error 1064)", "start Svc", 0},
        {4, "3", "start=unsupported\tstop=accepted", "restart", "500 Internal Server Error|control failed (error 124)", "", 0},
        {1, "3", "start=not_accepted", "start", "500 Internal Server Error|control failed (error 1052)", "", 0},
        {4, "3", "stops_after=2\tstatus=5", "restart", "500 Internal Server Error|control failed (error 5)", "start Svc", 0},
    };
    for (const auto &c : cases) {
        real_run r = run_real(fixture_service("Svc", "d", c.state, 9, c.start, c.options), "Svc", c.op);
        SCOPED_TRACE(std::to_string(c.state) + " " + c.start + " " + c.options + " " + c.op);
        EXPECT_EQ(outcome(r.out), c.expected);
        if (std::string(c.expected) == "ok") {
            EXPECT_EQ(r.out, success("\"Svc\"", c.op));
        }
        if (*c.never) {
            EXPECT_EQ(r.trace.find(c.never), std::string::npos) << r.trace;
        }
        EXPECT_EQ(slept_ms(r.trace), c.slept) << r.trace;
        EXPECT_EQ(r.trace.find("connect listing"), std::string::npos);
    }
}

// Services that depend on "Svc", running or not, for the refusal that names
// the running ones.
std::string with_dependents(int running, int stopped, const std::string &extra = "") {
    std::string names, lines;
    for (int i = 1; i <= running + stopped; i++) {
        std::string name = "Dep" + std::to_string(i);
        names += (i > 1 ? "," : "") + name;
        lines += fixture_service(name, "d", i <= running ? 4 : 1, 0, "3");
    }
    return fixture_service("Svc", "d", 4, 9, "3", "dependents=" + names + extra) + lines;
}

TEST(Control, DependentsRunningAreNamedAtMostEight) {
    const struct {
        std::string services;
        const char *op, *expected;
    } cases[] = {
        {with_dependents(1, 2), "stop", "dependent services are running: Dep1"},
        {with_dependents(3, 1), "restart", "dependent services are running: Dep1, Dep2, Dep3"},
        {with_dependents(8, 0), "stop", "dependent services are running: Dep1, Dep2, Dep3, Dep4, Dep5, Dep6, Dep7, Dep8"},
        {with_dependents(9, 1), "stop",
         "dependent services are running: Dep1, Dep2, Dep3, Dep4, Dep5, Dep6, Dep7, Dep8, ..."},
        {with_dependents(2, 0, "\trights=stop"), "stop", "dependent services are running"},
        {fixture_service("Svc", "d", 4, 9, "3", "stop=dependents\tdependents=Gone"), "stop",
         "dependent services are running"},
    };
    for (const auto &c : cases) {
        real_run r = run_real(c.services, "Svc", c.op);
        EXPECT_EQ(r.out, error_response(409, "Conflict", c.expected));
        EXPECT_EQ(r.trace.find("start Svc"), std::string::npos);
    }
    // The names come as the manager gives them, escaped in the document.
    std::string odd = "A \"quoted\" \\ name";
    real_run r = run_real(fixture_service("Svc", "d", 4, 9, "3", "dependents=A \"quoted\" \\\\ name,B\\x2c C") +
                              fixture_service("A \"quoted\" \\\\ name", "d", 4, 1, "3") +
                              fixture_service("B\\x2c C", "d", 2, 1, "3"),
                          "Svc", "stop");
    auto doc = nlohmann::json::parse(response_body(r.out));
    EXPECT_EQ(doc["error"], "dependent services are running: " + odd + ", B, C");
}

TEST(Control, NamesOfRealServicesReachTheManagerAsTheyAre) {
    std::string long_name = std::string(253, 'n') + "\xc3\xa9";  // 255 bytes
    std::string encoded_long;
    for (unsigned char ch : long_name) {
        char hex[4];
        snprintf(hex, sizeof hex, "%%%02X", ch);
        encoded_long += hex;
    }
    const struct {
        std::string name_in_fixture, query, literal;
    } cases[] = {
        {"MSSQL$SQLEXPRESS", "MSSQL%24SQLEXPRESS", "\"MSSQL$SQLEXPRESS\""},
        {"SQLAgent$SQLEXPRESS", "SQLAgent$SQLEXPRESS", "\"SQLAgent$SQLEXPRESS\""},
        {"My Service (x86) #2", "My+Service+%28x86%29+%232", "\"My Service (x86) #2\""},
        {"Dienst f\xc3\xbcr \xe6\x9c\x8d\xe5\x8a\xa1", "Dienst%20f%C3%BCr%20%E6%9C%8D%E5%8A%A1",
         "\"Dienst f\xc3\xbcr \xe6\x9c\x8d\xe5\x8a\xa1\""},
        {"a\\\\b\"c", "a%5Cb%22c", "\"a\\\\b\\\"c\""},
        {long_name, encoded_long, "\"" + long_name + "\""},
    };
    for (const auto &c : cases) {
        real_run r = run_real(fixture_service(c.name_in_fixture, "d", 1, 0, "3"), c.query, "start");
        SCOPED_TRACE(c.query);
        EXPECT_EQ(r.out, success(c.literal, "start"));
        EXPECT_NE(r.trace.find("\nstart "), std::string::npos);
    }
}

TEST(Control, NamesThatCannotBeServiceNamesNeverReachTheManagerOrTheLog) {
    temp_file log;
    const std::string cases[] = {
        "a%0Ab",   "a%0Db", "a%09b", "a%7Fb", "a%2Fb", "a/b", "caf%C3", "%C0%AF", "%ED%A0%80",
        std::string(256, 'x'),
        std::string(300, 'x'),                                   // cut to fit: still refused
        [] { std::string s; for (int i = 0; i < 256; i++) s += "%41"; return s; }(),  // 256 bytes encoded
    };
    for (const std::string &unit : cases) {
        std::string out = run({{"QUERY_STRING", "action=control&op=stop&unit=" + unit},
                               {"REQUEST_METHOD", "POST"},
                               {"SERVICES_ALLOW_CONTROL", "1"},
                               {"SERVICES_MOCK_SYSTEMCTL_LOG", log.path}});
        EXPECT_EQ(out, error_response(400, "Bad Request", "invalid unit")) << unit;
    }
    EXPECT_EQ(log.read(), "");
}

TEST(Show, FindsServicesByTheirRealNames) {
    temp_file fx(fixture_service("MSSQL$SQLEXPRESS", "SQL Server (SQLEXPRESS)", 4, 2100, "2") +
                 fixture_service("My Service (x86)", "d", 1, 0, "3"));
    const struct {
        const char *query, *expected_name;
    } cases[] = {
        {"MSSQL%24SQLEXPRESS", "MSSQL$SQLEXPRESS"},
        {"My+Service+%28x86%29", "My Service (x86)"},
        {"my+service+%28x86%29", nullptr},  // byte for byte
    };
    for (const auto &c : cases) {
        std::string out = run({{"QUERY_STRING", std::string("action=show&unit=") + c.query}, {"SERVICES_FAKE_SCM", fx.path}});
        if (!c.expected_name) {
            EXPECT_EQ(out, error_response(404, "Not Found", "service not found"));
            continue;
        }
        auto doc = nlohmann::json::parse(response_body(out));
        EXPECT_EQ(doc["service"]["name"], c.expected_name);
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
