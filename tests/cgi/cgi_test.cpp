// Black-box tests: the built program run as a web server runs it, with a
// fresh environment, and its exact response bytes.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "run_cgi.h"

namespace {

using nlohmann::json;

// Every run must exit 0 and say nothing on standard error.
std::string run(const env_list &env, const std::vector<std::string> &args = {}) {
    cgi_result r = run_cgi(PLUGIN_BIN, env, args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    return r.out;
}

// A JSON body that parses, has "ok" first and ends in exactly one line feed.
json parse_body(const std::string &out) {
    std::string body = response_body(out);
    EXPECT_EQ(body.size() - body.find_last_not_of('\n') - 1, 1u) << body;
    EXPECT_EQ(body.rfind("{\"ok\":", 0), 0u) << body;
    return json::parse(body);
}

const std::string three_services = fixture_service("Spooler", "Print Spooler", 4, 1234, "2") +
                                   fixture_service("alpha", "(null)", 1, 0, "3") +
                                   fixture_service("Paused", "Dienst f\\xc3\\xbcr \"Tests\"", 7, 0, "unreadable");

TEST(Routing, EachRunWritesExactlyOneKindOfResponse) {
    const std::string meta = "{\"name\":\"services\",\"desc\":\"System services\"}\n";
    const std::string version = "plugin_services 1.0.1\n";
    const struct {
        std::vector<std::string> args;
        env_list env;
        const char *kind;  // meta, version, 401, json, page
    } cases[] = {
        {{}, {}, "page"},
        {{"--meta"}, {}, "meta"},
        {{"--version"}, {{"ZQ_PLUGIN_META", "1"}}, "meta"},
        {{}, {{"ZQ_PLUGIN_META", "0"}}, "meta"},
        {{"--version"}, {{"ZQ_PLUGIN_META", ""}}, "version"},
        {{}, {{"ZQ_PLUGIN_META", ""}}, "page"},
        {{"--meta"}, {{"BOT_PASSWORD", "pw"}}, "meta"},
        {{"--version"}, {{"BOT_PASSWORD", "pw"}}, "version"},
        {{"--version", "--meta"}, {}, "version"},
        {{"--meta=1"}, {}, "page"},
        {{"--metadata"}, {}, "page"},
        {{"--Meta"}, {}, "page"},
        {{"-meta"}, {}, "page"},
        {{"--help"}, {}, "page"},
        {{"--help"}, {{"QUERY_STRING", "action=list"}}, "json"},
        {{}, {{"BOT_PASSWORD", "pw"}}, "401"},
        {{}, {{"BOT_PASSWORD", "pw"}, {"REQUEST_METHOD", "POST"}}, "401"},
        {{}, {{"QUERY_STRING", "reaction=1"}}, "json"},
        {{}, {{"QUERY_STRING", "x=format=json"}}, "json"},
        {{}, {{"QUERY_STRING", "format=jsonp"}}, "json"},
        {{}, {{"QUERY_STRING", "format=json"}}, "json"},
        {{}, {{"QUERY_STRING", "ACTION=list"}}, "page"},
        {{}, {{"QUERY_STRING", "FORMAT=JSON"}}, "page"},
        {{}, {{"QUERY_STRING", "action"}, {"REQUEST_METHOD", "GET"}}, "page"},
        {{}, {{"QUERY_STRING", "action=list"}, {"REQUEST_METHOD", "HEAD"}}, "json"},
        {{}, {{"QUERY_STRING", "theme=dark"}, {"REQUEST_METHOD", "POST"}}, "json"},
        {{}, {{"REQUEST_METHOD", "POST"}}, "json"},
        {{}, {{"QUERY_STRING", "theme=dark"}, {"REQUEST_METHOD", "post"}}, "page"},
    };
    for (const auto &c : cases) {
        std::string out = run(c.env, c.args);
        std::string kind = c.kind;
        SCOPED_TRACE(kind + " " + (c.args.empty() ? "" : c.args[0]) +
                     (c.env.empty() ? "" : " " + c.env[0].first + "=" + c.env[0].second));
        if (kind == "meta") {
            EXPECT_EQ(out, meta);
        }
        if (kind == "version") {
            EXPECT_EQ(out, version);
        }
        if (kind == "401") {
            EXPECT_EQ(out, unauthorized);
        }
        if (kind == "json") {
            EXPECT_EQ(response_head(out), json_head);
        }
        if (kind == "page") {
            EXPECT_EQ(out.rfind("Content-Type: text/html; charset=utf-8\r\n", 0), 0u);
        }
    }
}

TEST(Password, GuardsThePageAndTheJsonInterfaceAlike) {
    temp_file fx(fixture_service("Spooler", "Print Spooler", 4, 1234, "2"));
    const std::string page = run({});
    const std::string list = json_head +
                             "{\"ok\":true,\"init_system\":\"windows-scm\",\"control_enabled\":false,\"count\":1,"
                             "\"summary\":{\"running\":1,\"failed\":0,\"inactive\":0},\"services\":["
                             "{\"name\":\"Spooler\",\"description\":\"Print Spooler\",\"active\":\"running\","
                             "\"sub\":\"4\",\"enabled\":\"automatic\",\"pid\":1234,\"memory_bytes\":null,"
                             "\"since\":\"-\",\"failed\":false}]}\n";
    const struct {
        env_list env;
        const std::string &answer;
    } cases[] = {
        {{{"BOT_PASSWORD", "pw"}, {"HTTP_X_BOT_PASSWORD", "pw"}}, page},
        {{{"BOT_PASSWORD", "pw"}, {"HTTP_AUTHORIZATION", "Bearer pw"}}, page},
        {{{"BOT_PASSWORD", "pw"}, {"HTTP_X_BOT_PASSWORD", "pw"}, {"QUERY_STRING", "action=list"}}, list},
        {{{"BOT_PASSWORD", "pw"}, {"HTTP_AUTHORIZATION", "Bearer pw"}, {"QUERY_STRING", "action=list"}}, list},
        {{{"BOT_PASSWORD", "p w+"}, {"QUERY_STRING", "action=list&pwd=p+w%2B"}}, list},
        {{{"BOT_PASSWORD", "pw"}, {"QUERY_STRING", "theme=dark&pwd=pw"}}, page},
        {{{"BOT_PASSWORD", "pw"}, {"QUERY_STRING", "action=list&pwd=PW"}}, unauthorized},
        {{{"BOT_PASSWORD", "pw"}, {"QUERY_STRING", "action=list"}, {"HTTP_X_BOT_PASSWORD", "x"}}, unauthorized},
        {{{"BOT_PASSWORD", "pw"}}, unauthorized},
        {{{"BOT_PASSWORD", ""}, {"QUERY_STRING", "action=list"}}, list},
    };
    ASSERT_EQ(page.rfind("Content-Type: text/html; charset=utf-8\r\n", 0), 0u);
    for (const auto &c : cases) {
        env_list env = c.env;
        env.push_back({"SERVICES_FAKE_SCM", fx.path});
        std::string out = run(env);
        EXPECT_TRUE(out == c.answer) << out.substr(0, 200);
        if (c.answer != page) {
            EXPECT_EQ(parse_body(out)["ok"], c.answer == list);
        }
    }
}

TEST(List, DocumentBytesForThreeServices) {
    temp_file fx(three_services);
    std::string out = run({{"QUERY_STRING", "action=list"}, {"SERVICES_FAKE_SCM", fx.path}});
    EXPECT_EQ(out,
              json_head +
                  "{\"ok\":true,\"init_system\":\"windows-scm\",\"control_enabled\":false,\"count\":3,"
                  "\"summary\":{\"running\":1,\"failed\":0,\"inactive\":2},\"services\":["
                  "{\"name\":\"Spooler\",\"description\":\"Print Spooler\",\"active\":\"running\",\"sub\":\"4\","
                  "\"enabled\":\"automatic\",\"pid\":1234,\"memory_bytes\":null,\"since\":\"-\",\"failed\":false},"
                  "{\"name\":\"Paused\",\"description\":\"Dienst f\xc3\xbcr \\\"Tests\\\"\",\"active\":\"paused\","
                  "\"sub\":\"7\",\"enabled\":\"-\",\"pid\":0,\"memory_bytes\":null,\"since\":\"-\",\"failed\":false},"
                  "{\"name\":\"alpha\",\"description\":\"\",\"active\":\"inactive\",\"sub\":\"1\","
                  "\"enabled\":\"manual\",\"pid\":0,\"memory_bytes\":null,\"since\":\"-\",\"failed\":false}]}\n");
    json doc = parse_body(out);
    EXPECT_EQ(doc["services"][1]["description"], "Dienst f\xc3\xbcr \"Tests\"");
}

TEST(List, FiltersChangeTheServicesButNeverTheSummary) {
    temp_file fx(three_services);
    const struct {
        const char *query;
        std::vector<std::string> names;
    } cases[] = {
        {"action=list", {"Spooler", "Paused", "alpha"}},
        {"action=list&filter=all", {"Spooler", "Paused", "alpha"}},
        {"action=list&filter=running", {"Spooler"}},
        {"action=list&filter=inactive", {"Paused", "alpha"}},
        {"action=list&filter=failed", {}},
        {"action=list&filter=Failed", {"Spooler", "Paused", "alpha"}},
        {"action=list&filter=stopped", {"Spooler", "Paused", "alpha"}},
        {"action=&filter=running", {"Spooler"}},
        {"format=json", {"Spooler", "Paused", "alpha"}},
    };
    for (const auto &c : cases) {
        json doc = parse_body(run({{"QUERY_STRING", c.query}, {"SERVICES_FAKE_SCM", fx.path}}));
        SCOPED_TRACE(c.query);
        std::vector<std::string> names;
        for (const json &s : doc["services"]) names.push_back(s["name"]);
        EXPECT_EQ(names, c.names);
        EXPECT_EQ(doc["count"], c.names.size());
        EXPECT_EQ(doc["summary"], json({{"running", 1}, {"failed", 0}, {"inactive", 2}}));
    }
}

TEST(List, EmptyTableWhenTheManagerRefuses) {
    temp_file fx("manager\trefuse\n" + three_services);
    const std::string empty = json_head +
                              "{\"ok\":true,\"init_system\":\"windows-scm\",\"control_enabled\":false,\"count\":0,"
                              "\"summary\":{\"running\":0,\"failed\":0,\"inactive\":0},\"services\":[]}\n";
    EXPECT_EQ(run({{"QUERY_STRING", "action=list"}, {"SERVICES_FAKE_SCM", fx.path}}), empty);
    EXPECT_EQ(run({{"QUERY_STRING", "action=list"}}), empty);
    EXPECT_EQ(run({{"REQUEST_METHOD", "POST"}}), empty);
    EXPECT_EQ(run({{"QUERY_STRING", "action=show&unit=Spooler"}, {"SERVICES_FAKE_SCM", fx.path}}),
              error_response(404, "Not Found", "service not found"));
}

TEST(List, ControlSwitchWords) {
    const struct {
        const char *value;  // null: unset
        bool enabled;
    } cases[] = {{"1", true}, {"yes", true}, {"false", true}, {"00", true},
                 {nullptr, false}, {"", false}, {"0", false}};
    for (const auto &c : cases) {
        env_list env{{"QUERY_STRING", "action=list"}};
        if (c.value) env.push_back({"SERVICES_ALLOW_CONTROL", c.value});
        EXPECT_EQ(parse_body(run(env))["control_enabled"], c.enabled) << (c.value ? c.value : "(unset)");
    }
}

TEST(List, TwoThousandFiftyServicesGive2048) {
    std::string text;
    for (int i = 0; i < 2050; i++)
        text += fixture_service("svc" + std::to_string(10000 + i), "d", i % 2 ? 4 : 1, i % 2 ? i : 0, "3");
    temp_file fx(text);
    json doc = parse_body(run({{"QUERY_STRING", "action=list"}, {"SERVICES_FAKE_SCM", fx.path}}));
    EXPECT_EQ(doc["count"], 2048);
    EXPECT_EQ(doc["services"].size(), 2048u);
    EXPECT_EQ(doc["summary"], json({{"running", 1024}, {"failed", 0}, {"inactive", 1024}}));
    // Running first, then the rest, each by name.
    EXPECT_EQ(doc["services"][0]["name"], "svc10001");
    EXPECT_EQ(doc["services"][1024]["name"], "svc10000");
}

TEST(Show, FindsOneServiceByItsExactName) {
    std::string long_name(200, 'L');
    temp_file fx(three_services + fixture_service(long_name, "long", 1, 0, "4"));
    env_list base{{"SERVICES_FAKE_SCM", fx.path}};
    auto show = [&](const std::string &q) {
        env_list env = base;
        env.push_back({"QUERY_STRING", q});
        return run(env);
    };
    EXPECT_EQ(show("action=show&unit=Spooler"),
              json_head +
                  "{\"ok\":true,\"init_system\":\"windows-scm\",\"control_enabled\":false,\"service\":"
                  "{\"name\":\"Spooler\",\"description\":\"Print Spooler\",\"active\":\"running\",\"sub\":\"4\","
                  "\"enabled\":\"automatic\",\"pid\":1234,\"memory_bytes\":null,\"since\":\"-\",\"failed\":false}}\n");
    // A name too long to ask for by show is still listed, cut, with its start type.
    json listed = parse_body(show("action=list&filter=inactive"));
    EXPECT_EQ(listed["services"][0]["name"], long_name.substr(0, 191));
    EXPECT_EQ(listed["services"][0]["enabled"], "disabled");
    const struct {
        std::string query, response;
    } errors[] = {
        {"action=show&unit=", error_response(400, "Bad Request", "missing unit")},
        {"action=show", error_response(400, "Bad Request", "missing unit")},
        {"action=show&unit=" + std::string(256, 'a'), error_response(400, "Bad Request", "invalid unit")},
        {"action=show&unit=Print%0ASpooler", error_response(400, "Bad Request", "invalid unit")},
        {"action=show&unit=Print+Spooler", error_response(404, "Not Found", "service not found")},
        {"action=show&unit=spooler", error_response(404, "Not Found", "service not found")},
        {"action=show&unit=" + long_name, error_response(404, "Not Found", "service not found")},
        {"action=List", error_response(400, "Bad Request", "unknown action")},
        {"action=list+", error_response(400, "Bad Request", "unknown action")},
        {"action=remove&unit=Spooler", error_response(400, "Bad Request", "unknown action")},
    };
    for (const auto &e : errors) {
        std::string out = show(e.query);
        EXPECT_EQ(out, e.response) << e.query;
        EXPECT_EQ(parse_body(out)["ok"], false);
    }
}

TEST(Page, SameBytesWhateverTheRequestAndNoMarkerBytes) {
    std::string page = run({});
    EXPECT_EQ(response_head(page),
              "Content-Type: text/html; charset=utf-8\r\n"
              "Cache-Control: no-store\r\n"
              "X-Content-Type-Options: nosniff\r\n"
              "Content-Security-Policy: default-src 'none'; script-src 'unsafe-inline'; style-src "
              "'unsafe-inline'; img-src data:; connect-src 'self'; form-action 'none'; base-uri 'none'\r\n"
              "\r\n");
    EXPECT_EQ(page.find('\x01'), std::string::npos);
    EXPECT_EQ(page.find('\x02'), std::string::npos);
    EXPECT_EQ(page.find('\0'), std::string::npos);
    EXPECT_EQ(page.substr(page.size() - 15), "</body></html>\n");
    EXPECT_EQ(run({{"QUERY_STRING", "theme=light&embed=1"}, {"BOT_PASSWORD", "pw"}, {"HTTP_X_BOT_PASSWORD", "pw"}}), page);
    EXPECT_EQ(run({{"QUERY_STRING", "node=a&id=b"}, {"REQUEST_METHOD", "GET"}}), page);
}

}  // namespace
