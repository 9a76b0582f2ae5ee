// Black-box tests of where the list and show documents get their figures:
// start types from the service database with the manager as fallback,
// failed services from their exit codes, memory and since from their
// processes, and the reads a show makes for its one service.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <map>
#include <string>
#include <vector>

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

// A stopped service that exited with an error is failed; every other
// exit leaves it inactive. Running services report their process's working
// set and start time, each process read once however many services it hosts.
const std::string figures_fixture =
    fixture_service("Crashed", "Stopped with its own code", 1, 0, "2", "exit=1066\tservice_exit=42") +
    fixture_service("Broken", "Stopped with a Win32 error", 1, 0, "3", "exit=1067") +
    fixture_service("Clean", "Stopped cleanly", 1, 0, "3", "exit=0") +
    fixture_service("Never", "Never started", 1, 0, "3", "exit=1077") +
    fixture_service("NoOwnCode", "Service-specific error without a code", 1, 0, "3", "exit=1066") +
    fixture_service("Running", "Running with an old error", 4, 640, "2", "exit=13") +
    fixture_service("HostA", "First in a shared process", 4, 800, "2") +
    fixture_service("HostB", "Second in a shared process", 4, 800, "3") +
    fixture_service("Guarded", "Process that cannot be opened", 4, 900, "2") +
    fixture_service("Partial", "Process whose start cannot be read", 4, 1000, "3") +
    "process\t640\t1536\t0\n"
    "process\t800\t7759462\t1796980443\n"
    "process\t900\tclosed\n"
    "process\t1000\t2147483648\tunreadable\n";

TEST(Figures, ListDocumentWithFailedServicesMemoryAndSince) {
    temp_file fx(figures_fixture);
    cgi_result r = run_cgi(PLUGIN_BIN, {{"QUERY_STRING", "action=list"}, {"SERVICES_FAKE_SCM", fx.path}});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              json_head +
                  "{\"ok\":true,\"init_system\":\"windows-scm\",\"control_enabled\":false,\"count\":10,"
                  "\"summary\":{\"running\":5,\"failed\":2,\"inactive\":3},\"services\":["
                  "{\"name\":\"Broken\",\"description\":\"Stopped with a Win32 error\",\"active\":\"failed\","
                  "\"sub\":\"1\",\"enabled\":\"manual\",\"pid\":0,\"memory_bytes\":null,\"since\":\"-\",\"failed\":true},"
                  "{\"name\":\"Crashed\",\"description\":\"Stopped with its own code\",\"active\":\"failed\","
                  "\"sub\":\"1\",\"enabled\":\"automatic\",\"pid\":0,\"memory_bytes\":null,\"since\":\"-\",\"failed\":true},"
                  "{\"name\":\"Guarded\",\"description\":\"Process that cannot be opened\",\"active\":\"running\","
                  "\"sub\":\"4\",\"enabled\":\"automatic\",\"pid\":900,\"memory_bytes\":null,\"since\":\"-\",\"failed\":false},"
                  "{\"name\":\"HostA\",\"description\":\"First in a shared process\",\"active\":\"running\","
                  "\"sub\":\"4\",\"enabled\":\"automatic\",\"pid\":800,\"memory_bytes\":7759462,"
                  "\"since\":\"2026-12-11 09:14:03 UTC\",\"failed\":false},"
                  "{\"name\":\"HostB\",\"description\":\"Second in a shared process\",\"active\":\"running\","
                  "\"sub\":\"4\",\"enabled\":\"manual\",\"pid\":800,\"memory_bytes\":7759462,"
                  "\"since\":\"2026-12-11 09:14:03 UTC\",\"failed\":false},"
                  "{\"name\":\"Partial\",\"description\":\"Process whose start cannot be read\",\"active\":\"running\","
                  "\"sub\":\"4\",\"enabled\":\"manual\",\"pid\":1000,\"memory_bytes\":2147483648,\"since\":\"-\","
                  "\"failed\":false},"
                  "{\"name\":\"Running\",\"description\":\"Running with an old error\",\"active\":\"running\","
                  "\"sub\":\"4\",\"enabled\":\"automatic\",\"pid\":640,\"memory_bytes\":1536,"
                  "\"since\":\"1970-01-01 00:00:00 UTC\",\"failed\":false},"
                  "{\"name\":\"Clean\",\"description\":\"Stopped cleanly\",\"active\":\"inactive\",\"sub\":\"1\","
                  "\"enabled\":\"manual\",\"pid\":0,\"memory_bytes\":null,\"since\":\"-\",\"failed\":false},"
                  "{\"name\":\"Never\",\"description\":\"Never started\",\"active\":\"inactive\",\"sub\":\"1\","
                  "\"enabled\":\"manual\",\"pid\":0,\"memory_bytes\":null,\"since\":\"-\",\"failed\":false},"
                  "{\"name\":\"NoOwnCode\",\"description\":\"Service-specific error without a code\","
                  "\"active\":\"inactive\",\"sub\":\"1\",\"enabled\":\"manual\",\"pid\":0,\"memory_bytes\":null,"
                  "\"since\":\"-\",\"failed\":false}]}\n");
    json doc = json::parse(response_body(r.out));
    EXPECT_EQ(doc["services"][3]["since"], "2026-12-11 09:14:03 UTC");
    EXPECT_EQ(doc["services"][5]["memory_bytes"], 2147483648u);
}

TEST(Figures, FailedServicesAreCountedFilteredAndFirst) {
    temp_file fx(figures_fixture);
    const struct {
        const char *filter;
        std::vector<std::string> names;
    } cases[] = {
        {"failed", {"Broken", "Crashed"}},
        {"running", {"Guarded", "HostA", "HostB", "Partial", "Running"}},
        {"inactive", {"Clean", "Never", "NoOwnCode"}},
    };
    for (const auto &c : cases) {
        json doc = run_json({{"QUERY_STRING", std::string("action=list&filter=") + c.filter},
                             {"SERVICES_FAKE_SCM", fx.path}});
        std::vector<std::string> names;
        for (const json &s : doc["services"]) names.push_back(s["name"]);
        EXPECT_EQ(names, c.names) << c.filter;
        EXPECT_EQ(doc["summary"], json({{"running", 5}, {"failed", 2}, {"inactive", 3}})) << c.filter;
    }
}

TEST(Figures, EachProcessIsReadOnceAndShowReadsOnlyItsOwn) {
    const struct {
        const char *query, *trace;
    } cases[] = {
        {"action=list", "process 640\nprocess 800\nprocess 900\nprocess 1000\n"},
        {"action=show&unit=HostB", "process 800\n"},
        {"action=show&unit=Crashed", ""},
    };
    for (const auto &c : cases) {
        temp_file trace;
        temp_file fx("trace\t" + trace.path + "\n" + figures_fixture);
        run_json({{"QUERY_STRING", c.query}, {"SERVICES_FAKE_SCM", fx.path}});
        std::string lines = trace.read(), processes;
        for (size_t at = lines.find("process "); at != std::string::npos; at = lines.find("process ", at + 1))
            processes += lines.substr(at, lines.find('\n', at) - at + 1);
        EXPECT_EQ(processes, c.trace) << c.query;
    }
}

TEST(Figures, ShowGivesTheSameObjectAsTheList) {
    temp_file fx(figures_fixture);
    json listed = run_json({{"QUERY_STRING", "action=list"}, {"SERVICES_FAKE_SCM", fx.path}});
    for (const char *name : {"Crashed", "HostB", "Partial", "Guarded"}) {
        json shown = run_json({{"QUERY_STRING", std::string("action=show&unit=") + name}, {"SERVICES_FAKE_SCM", fx.path}});
        json expected;
        for (const json &s : listed["services"])
            if (s["name"] == name) expected = s;
        EXPECT_EQ(shown["service"], expected) << name;
    }
}

// Names and display names of 192 bytes whose 191-byte cut would split a
// two-, three- and four-byte character: the document holds the bytes
// before that character, valid UTF-8, and the start type is still found.
TEST(Cuts, NamesAndDisplayNamesNeverEndInsideACharacter) {
    const std::string e_acute = "\xc3\xa9", fu = "\xe6\x9c\x8d", smile = "\xf0\x9f\x98\x80";
    const struct {
        std::string name, display, name_kept, display_kept;
    } cases[] = {
        {std::string(190, 'a') + e_acute, std::string(188, 'A') + "\xc3\xbc" + e_acute, std::string(190, 'a'),
         std::string(188, 'A') + "\xc3\xbc"},
        {std::string(189, 'b') + fu, std::string(190, 'B') + fu, std::string(189, 'b'), std::string(190, 'B')},
        {std::string(188, 'c') + smile, std::string(190, 'C') + smile, std::string(188, 'c'), std::string(190, 'C')},
    };
    std::string fixture, expected;
    for (const auto &c : cases) {
        fixture += fixture_service(c.name, c.display, 1, 0, "4");
        expected += std::string(expected.empty() ? "" : ",") + "{\"name\":\"" + c.name_kept +
                    "\",\"description\":\"" + c.display_kept +
                    "\",\"active\":\"inactive\",\"sub\":\"1\",\"enabled\":\"disabled\",\"pid\":0,"
                    "\"memory_bytes\":null,\"since\":\"-\",\"failed\":false}";
    }
    temp_file fx(fixture);
    cgi_result r = run_cgi(PLUGIN_BIN, {{"QUERY_STRING", "action=list"}, {"SERVICES_FAKE_SCM", fx.path}});
    EXPECT_EQ(r.status, 0);
    std::string body = response_body(r.out);
    EXPECT_NE(body.find("\"services\":[" + expected + "]}\n"), std::string::npos) << body;
    json doc = json::parse(body);  // the parser refuses text that is not UTF-8
    for (size_t i = 0; i < 3; i++) {
        EXPECT_EQ(doc["services"][i]["name"], cases[i].name_kept);
        EXPECT_EQ(doc["services"][i]["description"], cases[i].display_kept);
    }
}

}  // namespace
