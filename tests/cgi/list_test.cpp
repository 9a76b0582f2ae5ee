// Black-box tests of where the list and show documents get their figures:
// start types from the service database with the manager as fallback, and
// the reads a show makes for its one service.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <map>
#include <string>

#include "run_cgi.h"

namespace {

using nlohmann::json;

json run_json(const env_list &env) {
    cgi_result r = run_cgi(PLUGIN_BIN, env);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    return json::parse(response_body(r.out));
}

// The "enabled" word of every listed service, by name.
std::map<std::string, std::string> enabled_by_name(const json &doc) {
    std::map<std::string, std::string> out;
    for (const json &s : doc["services"]) out[s["name"]] = s["enabled"];
    return out;
}

// Every pairing of what the database holds with what the manager's
// configuration query answers. The database decides whenever it holds a
// number, even one without a word; the manager is asked only when it does
// not, and only for that service.
struct source_case {
    const char *name, *db, *config, *enabled, *trace;
};
const source_case source_cases[] = {
    {"NumConfigNum", "db=2", "3", "automatic", "database NumConfigNum 2\n"},
    {"NumConfigUnreadable", "db=4", "unreadable", "disabled", "database NumConfigUnreadable 4\n"},
    {"NumConfigClosed", "db=0", "closed", "boot", "database NumConfigClosed 0\n"},
    {"NumWithoutWord", "db=7", "3", "-", "database NumWithoutWord 7\n"},
    {"MissingConfigNum", "db=missing", "1", "system",
     "database MissingConfigNum missing\nconfig MissingConfigNum 1\n"},
    {"MissingConfigUnreadable", "db=missing", "unreadable", "-",
     "database MissingConfigUnreadable missing\nconfig MissingConfigUnreadable unreadable\n"},
    {"MissingConfigClosed", "db=missing", "closed", "-",
     "database MissingConfigClosed missing\nconfig MissingConfigClosed closed\n"},
    {"UnreadableConfigNum", "db=unreadable", "3", "manual",
     "database UnreadableConfigNum unreadable\nconfig UnreadableConfigNum 3\n"},
    {"UnreadableConfigUnreadable", "db=unreadable", "unreadable", "-",
     "database UnreadableConfigUnreadable unreadable\nconfig UnreadableConfigUnreadable unreadable\n"},
    {"UnreadableConfigClosed", "db=unreadable", "closed", "-",
     "database UnreadableConfigClosed unreadable\nconfig UnreadableConfigClosed closed\n"},
    {"TextConfigNum", "db=text", "2", "automatic", "database TextConfigNum text\nconfig TextConfigNum 2\n"},
    {"TextConfigUnreadable", "db=text", "unreadable", "-",
     "database TextConfigUnreadable text\nconfig TextConfigUnreadable unreadable\n"},
    {"TextConfigClosed", "db=text", "closed", "-",
     "database TextConfigClosed text\nconfig TextConfigClosed closed\n"},
    // Without a db= option the database holds what the manager does.
    {"DefaultNum", "", "4", "disabled", "database DefaultNum 4\n"},
    {"DefaultUnreadable", "", "unreadable", "-",
     "database DefaultUnreadable missing\nconfig DefaultUnreadable unreadable\n"},
};

std::string source_fixture(const std::string &trace_path, const std::string &head = "") {
    std::string text = "trace\t" + trace_path + "\n" + head;
    for (const source_case &c : source_cases) text += fixture_service(c.name, "d", 1, 0, c.config, c.db);
    return text;
}

TEST(StartTypeSource, DatabaseFirstAndTheManagerOnlyForWhatItLacks) {
    temp_file trace;
    temp_file fx(source_fixture(trace.path));
    std::map<std::string, std::string> enabled =
        enabled_by_name(run_json({{"QUERY_STRING", "action=list"}, {"SERVICES_FAKE_SCM", fx.path}}));
    std::string expected_trace = "connect listing\ndatabase open\n";
    for (const source_case &c : source_cases) {
        EXPECT_EQ(enabled[c.name], c.enabled) << c.name;
        expected_trace += c.trace;
    }
    EXPECT_EQ(trace.read(), expected_trace);
}

TEST(StartTypeSource, AnUnopenedDatabaseSendsEveryServiceToTheManager) {
    temp_file trace;
    temp_file fx(source_fixture(trace.path, "database\trefuse\n"));
    std::map<std::string, std::string> enabled =
        enabled_by_name(run_json({{"QUERY_STRING", "action=list"}, {"SERVICES_FAKE_SCM", fx.path}}));
    const std::map<std::string, std::string> by_config = {{"3", "manual"}, {"4", "disabled"}, {"0", "boot"},
                                                          {"1", "system"}, {"2", "automatic"},
                                                          {"unreadable", "-"}, {"closed", "-"}};
    std::string expected_trace = "connect listing\ndatabase refused\n";
    for (const source_case &c : source_cases) {
        EXPECT_EQ(enabled[c.name], by_config.at(c.config)) << c.name;
        expected_trace += std::string("config ") + c.name + " " + c.config + "\n";
    }
    EXPECT_EQ(trace.read(), expected_trace);
}

TEST(StartTypeSource, ShowReadsTheStartTypeOfItsOneServiceOnly) {
    const struct {
        const char *unit, *enabled, *trace;
    } cases[] = {
        {"NumConfigUnreadable", "disabled", "database NumConfigUnreadable 4\n"},
        {"MissingConfigNum", "system", "database MissingConfigNum missing\nconfig MissingConfigNum 1\n"},
        {"TextConfigClosed", "-", "database TextConfigClosed text\nconfig TextConfigClosed closed\n"},
        {"NoSuchService", nullptr, ""},
    };
    for (const auto &c : cases) {
        temp_file trace;
        temp_file fx(source_fixture(trace.path));
        json doc = run_json({{"QUERY_STRING", std::string("action=show&unit=") + c.unit},
                             {"SERVICES_FAKE_SCM", fx.path}});
        SCOPED_TRACE(c.unit);
        if (c.enabled) EXPECT_EQ(doc["service"]["enabled"], c.enabled);
        else EXPECT_EQ(doc, json({{"ok", false}, {"error", "service not found"}}));
        EXPECT_EQ(trace.read(), std::string("connect listing\ndatabase open\n") + c.trace);
    }
}

TEST(StartTypeSource, ShowFindsOnlyWhatTheTableHolds) {
    std::string text;
    for (int i = 0; i < 2050; i++) text += fixture_service("svc" + std::to_string(10000 + i), "d", 1, 0, "4");
    temp_file fx(text);
    for (const auto &c : {std::make_pair("svc12047", "disabled"), std::make_pair("svc12048", "")}) {
        json doc = run_json({{"QUERY_STRING", std::string("action=show&unit=") + c.first},
                             {"SERVICES_FAKE_SCM", fx.path}});
        if (*c.second) EXPECT_EQ(doc["service"]["enabled"], c.second) << c.first;
        else EXPECT_EQ(doc, json({{"ok", false}, {"error", "service not found"}})) << c.first;
    }
}

}  // namespace
