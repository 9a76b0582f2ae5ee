// Hostile requests swept through the built program: over-long values, every
// escape form, NUL escapes, control bytes and bytes above 0x7f in each
// parameter, query strings near the size limit of an environment variable,
// unknown methods, and missing or empty variables. Each must get its usual
// answer, exit 0 and say nothing on standard error.
#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>
#include <string>

#include "run_cgi.h"

namespace {

using nlohmann::json;

const std::map<int, std::string> reasons = {{400, "Bad Request"}, {403, "Forbidden"}, {404, "Not Found"},
                                            {405, "Method Not Allowed"}, {500, "Internal Server Error"}};

const std::string name160(160, 'L');
const std::string unset = "\x01(unset)";  // a case value that removes the variable

struct hostile_case {
    env_list env;
    std::string answer;  // see describe()
};

// Names the response: "page", "401", "error STATUS MESSAGE", "list COUNT",
// "show NAME" or "control OP UNIT", checking its exact framing on the way.
std::string describe(const std::string &out, const std::string &page) {
    if (out == page) return "page";
    if (out == unauthorized) return "401";
    size_t body_at = out.find("\r\n\r\n");
    if (body_at == std::string::npos) return "unframed: " + out;
    std::string body = out.substr(body_at + 4);
    if (body.rfind("{\"ok\":", 0) != 0 || body.find('\n') != body.size() - 1) return "bad body: " + body;
    json doc = json::parse(body);
    if (out.rfind("Status: ", 0) == 0) {
        int status = std::stoi(out.substr(8, 3));
        std::string message = doc["error"];
        std::string expected = "Status: " + std::to_string(status) + " " + reasons.at(status) + "\r\n" +
                               json_head + "{\"ok\":false,\"error\":\"" + message + "\"}\n";
        return out == expected ? "error " + std::to_string(status) + " " + message : "bad error: " + out;
    }
    if (out.rfind(json_head, 0) != 0 || doc["ok"] != true) return "bad head: " + out;
    if (doc.contains("summary")) return "list " + std::to_string(doc["count"].get<int>());
    if (doc.contains("service")) return "show " + doc["service"]["name"].get<std::string>();
    return "control " + doc["op"].get<std::string>() + " " + doc["unit"].get<std::string>();
}

// Runs every case over a fixture of three services with control on in mock
// mode; the mock log must hold exactly the line of a mock control success.
void sweep(const std::vector<hostile_case> &cases) {
    temp_file fx(fixture_service("Spooler", "Print Spooler", 4, 1234, "2") +
                 fixture_service("alpha", "(null)", 1, 0, "3") + fixture_service(name160, "long", 1, 0, "3"));
    std::string page = run_cgi(PLUGIN_BIN, {}).out;
    for (const hostile_case &c : cases) {
        temp_file log;
        std::map<std::string, std::string> vars = {{"SERVICES_FAKE_SCM", fx.path},
                                                   {"SERVICES_ALLOW_CONTROL", "1"},
                                                   {"SERVICES_MOCK_SYSTEMCTL_LOG", log.path}};
        for (const auto &kv : c.env) vars[kv.first] = kv.second;
        env_list env;
        for (const auto &kv : vars)
            if (kv.second != unset) env.push_back(kv);
        cgi_result r = run_cgi(PLUGIN_BIN, env);
        std::string label = c.answer + " <- " + (vars.count("QUERY_STRING") ? vars["QUERY_STRING"].substr(0, 120) : "(no query)");
        EXPECT_EQ(r.status, 0) << label;
        EXPECT_EQ(r.err, "") << label;
        std::string answer = describe(r.out, page);
        EXPECT_EQ(answer, c.answer) << label;
        bool mock = vars["SERVICES_MOCK_SYSTEMCTL_LOG"] == log.path;
        std::string line = mock && answer.rfind("control ", 0) == 0 ? "systemctl " + answer.substr(8) + "\n" : "";
        EXPECT_EQ(log.read(), line) << label;
    }
}

hostile_case get(const std::string &qs, const std::string &answer) {
    return {{{"QUERY_STRING", qs}, {"REQUEST_METHOD", "GET"}}, answer};
}

hostile_case post(const std::string &qs, const std::string &answer) {
    return {{{"QUERY_STRING", qs}, {"REQUEST_METHOD", "POST"}}, answer};
}

TEST(Hostile, OverLongValuesOfEveryParameter) {
    std::string valid255(255, 'a'), long_run(5000, 'x');
    sweep({
        get("action=list" + long_run, "error 400 unknown action"),
        get("action=" + std::string(63, 'l') + "list", "error 400 unknown action"),
        get("action=list&filter=running" + long_run, "list 3"),
        get("action=list&filter=" + std::string(31, 'r'), "list 3"),
        get("action=show&unit=" + name160, "show " + name160),
        get("action=show&unit=" + name160 + "L", "error 404 service not found"),
        get("action=show&unit=" + valid255, "error 404 service not found"),
        get("action=show&unit=" + valid255 + "a", "error 400 invalid unit"),
        get("action=show&unit=" + long_run, "error 400 invalid unit"),
        post("action=control&unit=" + name160 + "&op=stop", "control stop " + name160),
        post("action=control&unit=" + long_run + "&op=stop", "error 400 invalid unit"),
        post("action=control&unit=" + valid255 + "&op=stop", "control stop " + valid255),
        post("action=control&unit=" + valid255 + "a&op=stop", "error 400 invalid unit"),
        post("action=control&unit=Spooler&op=restart" + long_run, "error 400 op must be start|stop|restart"),
        post("action=control&unit=Spooler&op=" + std::string(31, 's'), "error 400 op must be start|stop|restart"),
        {{{"QUERY_STRING", "action=list&pwd=" + valid255}, {"BOT_PASSWORD", valid255}}, "list 3"},
        {{{"QUERY_STRING", "action=list&pwd=" + valid255 + "a"}, {"BOT_PASSWORD", valid255 + "a"}}, "401"},
        {{{"QUERY_STRING", "action=list"}, {"BOT_PASSWORD", long_run}, {"HTTP_X_BOT_PASSWORD", long_run}}, "list 3"},
        {{{"QUERY_STRING", "action=list"}, {"BOT_PASSWORD", long_run}, {"HTTP_AUTHORIZATION", "Bearer " + long_run}},
         "list 3"},
    });
}

TEST(Hostile, EveryEscapeFormInEveryParameter) {
    sweep({
        get("action=%6c%69%73%74", "list 3"),
        get("action=%6C%69%73%74&filter=%72unning", "list 1"),
        get("action=l%69st&filter=runnin%67", "list 1"),
        get("action=list&filter=r%75nning%", "list 3"),
        get("action=%4", "error 400 unknown action"),
        get("action=%4g", "error 400 unknown action"),
        get("action=%%6cist", "error 400 unknown action"),
        get("action=%256cist", "error 400 unknown action"),
        get("action=list+", "error 400 unknown action"),
        get("action=show&unit=Spoo%6cer", "show Spooler"),
        get("action=show&unit=Spool%65%72", "show Spooler"),
        get("action=show&unit=Spooler%", "error 404 service not found"),
        get("action=show&unit=Spoo+ler", "error 404 service not found"),
        get("action=show&unit=%2bSpooler", "error 404 service not found"),
        get("action=show&unit=Spool%2", "error 404 service not found"),
        post("action=control&unit=Spoo+ler%28%29&op=stop", "control stop Spoo ler()"),
        post("action=control&unit=%53pooler&op=%73%74%6f%70", "control stop Spooler"),
        post("action=control&unit=a%5cb&op=start", "control start a\\b"),
        post("action=control&unit=Spooler&op=%25stop", "error 400 op must be start|stop|restart"),
        post("action=control&unit=Spooler&op=st%6", "error 400 op must be start|stop|restart"),
        {{{"QUERY_STRING", "action=list&pwd=s%65cr%45t+%2B%25"}, {"BOT_PASSWORD", "secrEt +%"}}, "list 3"},
        {{{"QUERY_STRING", "action=list&pwd=secret%2"}, {"BOT_PASSWORD", "secret%2"}}, "list 3"},
        {{{"QUERY_STRING", "action=list&pwd=%%73"}, {"BOT_PASSWORD", "%s"}}, "list 3"},
        {{{"QUERY_STRING", "action=list&pwd=%2573"}, {"BOT_PASSWORD", "s"}}, "401"},
    });
}

TEST(Hostile, NulEscapesEndTheValue) {
    sweep({
        get("action=list%00junk", "list 3"),
        get("action=%00list", "list 3"),
        get("action=list&filter=running%00x", "list 1"),
        get("action=show&unit=Spooler%00x", "show Spooler"),
        get("action=show&unit=%00Spooler", "error 400 missing unit"),
        post("action=control&unit=Spooler%00%22&op=stop%00start", "control stop Spooler"),
        post("action=control&unit=%00&op=stop", "error 400 invalid unit"),
        {{{"QUERY_STRING", "action=list&pwd=secret%00more"}, {"BOT_PASSWORD", "secret"}}, "list 3"},
        {{{"QUERY_STRING", "action=list&pwd=%00"}, {"BOT_PASSWORD", "secret"}}, "401"},
    });
}

TEST(Hostile, ControlBytesAndBytesAbove0x7f) {
    sweep({
        get("action=%01list", "error 400 unknown action"),
        get("action=list%0a", "error 400 unknown action"),
        get("action=list\x01", "error 400 unknown action"),
        get("action=li\xc3\xa4st", "error 400 unknown action"),
        get("action=list&filter=%ff%fe", "list 3"),
        get("action=list&filter=\x1b[31mrunning", "list 3"),
        get("action=show&unit=Spo%0aoler", "error 400 invalid unit"),
        get("action=show&unit=Spooler%09", "error 400 invalid unit"),
        get("action=show&unit=%7f", "error 400 invalid unit"),
        get("action=show&unit=D%c3%bcnst", "error 404 service not found"),
        get("action=show&unit=D\xc3\xbcnst", "error 404 service not found"),
        get("action=show&unit=D%c3", "error 400 invalid unit"),
        get("action=show&unit=%ff", "error 400 invalid unit"),
        post("action=control&unit=Spooler%0d%0a&op=stop", "error 400 invalid unit"),
        post("action=control&unit=Spooler&op=st%e2%82%acop", "error 400 op must be start|stop|restart"),
        post("action=control&unit=Spooler&op=stop%08", "error 400 op must be start|stop|restart"),
        {{{"QUERY_STRING", "action=list&pwd=p%C3%A4ss"}, {"BOT_PASSWORD", "p\xc3\xa4ss"}}, "list 3"},
        {{{"QUERY_STRING", "action=list&pwd=p\xc3\xa4ss"}, {"BOT_PASSWORD", "p\xc3\xa4ss"}}, "list 3"},
        {{{"QUERY_STRING", "action=list&pwd=%ff%01"}, {"BOT_PASSWORD", "\xff\x01"}}, "list 3"},
        {{{"QUERY_STRING", "action=list"}, {"BOT_PASSWORD", "\xff\x7f"}, {"HTTP_X_BOT_PASSWORD", "\xff\x7f"}}, "list 3"},
        {{{"QUERY_STRING", "action=list"}, {"BOT_PASSWORD", "s"}, {"HTTP_AUTHORIZATION", "Bearer\ts"}}, "401"},
        {{{"QUERY_STRING", "action=list"}, {"BOT_PASSWORD", "s"}, {"HTTP_AUTHORIZATION", "Bearer s\x01"}}, "401"},
        {{{"QUERY_STRING", "action=list"}, {"BOT_PASSWORD", "s"}, {"HTTP_X_BOT_PASSWORD", "s\r\n"}}, "401"},
    });
}

TEST(Hostile, QueryStringsNearTheLimitOfAnEnvironmentVariable) {
    const size_t near_limit = 100 * 1024;
    std::string padding;
    while (padding.size() < near_limit) padding += "pad=" + std::string(60, 'x') + "&";
    sweep({
        get(padding + "action=list", "list 3"),
        get("action=list&" + padding, "list 3"),
        get(padding + "action=show&unit=Spooler", "show Spooler"),
        get("action=show&unit=" + std::string(near_limit, 'S'), "error 400 invalid unit"),
        get("action=" + std::string(near_limit, '%'), "error 400 unknown action"),
        get("action=list&filter=" + std::string(near_limit, '+'), "list 3"),
        get(std::string(near_limit, '&') + "action=list", "list 3"),
        get(std::string(near_limit, '='), "page"),
        post(padding + "action=control&unit=Spooler&op=start", "control start Spooler"),
        {{{"QUERY_STRING", padding + "action=list&pwd=secret"}, {"BOT_PASSWORD", "secret"}}, "list 3"},
        {{{"QUERY_STRING", padding}, {"BOT_PASSWORD", "secret"}}, "401"},
    });
}

TEST(Hostile, UnknownMethodsAndMissingOrEmptyVariables) {
    sweep({
        {{{"QUERY_STRING", "action=control&unit=Spooler&op=stop"}, {"REQUEST_METHOD", "DELETE"}},
         "error 405 control requires POST"},
        {{{"QUERY_STRING", "action=control&unit=Spooler&op=stop"}, {"REQUEST_METHOD", "post"}},
         "error 405 control requires POST"},
        {{{"QUERY_STRING", "action=control&unit=Spooler&op=stop"}, {"REQUEST_METHOD", "POST "}},
         "error 405 control requires POST"},
        {{{"QUERY_STRING", "action=control&unit=Spooler&op=stop"}, {"REQUEST_METHOD", ""}},
         "error 405 control requires POST"},
        {{{"QUERY_STRING", "action=control&unit=Spooler&op=stop"}}, "error 405 control requires POST"},
        {{{"QUERY_STRING", "theme=dark"}, {"REQUEST_METHOD", "PROPFIND"}}, "page"},
        {{{"REQUEST_METHOD", "\xff\x01"}}, "page"},
        {{{"REQUEST_METHOD", "POST"}}, "list 3"},
        {{{"QUERY_STRING", ""}, {"REQUEST_METHOD", "POST"}}, "list 3"},
        {{{"QUERY_STRING", ""}}, "page"},
        {{}, "page"},
        {{{"QUERY_STRING", "action=list"}, {"SERVICES_FAKE_SCM", ""}}, "list 0"},
        {{{"QUERY_STRING", "action=list"}, {"SERVICES_FAKE_SCM", unset}}, "list 0"},
        {{{"QUERY_STRING", "action=list"}, {"SERVICES_FAKE_SCM", "/nonexistent/scm"}}, "list 0"},
        {{{"QUERY_STRING", "action=list"}, {"BOT_PASSWORD", ""}, {"HTTP_X_BOT_PASSWORD", ""}}, "list 3"},
        {{{"QUERY_STRING", "action=list"}, {"BOT_PASSWORD", "s"}, {"HTTP_X_BOT_PASSWORD", ""}}, "401"},
        {{{"QUERY_STRING", "action=list"}, {"BOT_PASSWORD", "s"}, {"HTTP_AUTHORIZATION", ""}}, "401"},
        {{{"QUERY_STRING", "action=list"}, {"BOT_PASSWORD", "s"}, {"HTTP_AUTHORIZATION", "Bearer "}}, "401"},
        {{{"QUERY_STRING", "action=list&pwd="}, {"BOT_PASSWORD", "s"}}, "401"},
        {{{"BOT_PASSWORD", "s"}}, "401"},
        {{{"QUERY_STRING", "action=control&unit=Spooler&op=stop"}, {"REQUEST_METHOD", "POST"},
          {"SERVICES_ALLOW_CONTROL", ""}}, "error 403 control_disabled"},
        {{{"QUERY_STRING", "action=control&unit=Spooler&op=stop"}, {"REQUEST_METHOD", "POST"},
          {"SERVICES_ALLOW_CONTROL", unset}}, "error 403 control_disabled"},
        {{{"QUERY_STRING", "action=control&unit=Spooler&op=stop"}, {"REQUEST_METHOD", "POST"},
          {"SERVICES_MOCK_SYSTEMCTL_LOG", ""}}, "control stop Spooler"},
    });
}

}  // namespace
