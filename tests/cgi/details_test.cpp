// Black-box tests of the details action over the scripted service manager:
// its errors in order, a full document, each part that cannot be read, and
// the calls it makes.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <set>
#include <string>

#include "run_cgi.h"

namespace {

using nlohmann::json;

std::string run(const env_list &env) {
    cgi_result r = run_cgi(PLUGIN_BIN, env);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    return r.out;
}

std::string details(const std::string &fixture_path, const std::string &query, env_list extra = {}) {
    extra.push_back({"QUERY_STRING", "action=details&" + query});
    if (!fixture_path.empty()) extra.push_back({"SERVICES_FAKE_SCM", fixture_path});
    return run(extra);
}

TEST(Details, ErrorsInTheirOrder) {
    temp_file fx(fixture_service("Svc", "d", 4, 7, "2") + fixture_service("Denied", "d", 4, 8, "2", "open=denied") +
                 fixture_service("NoRights", "d", 4, 9, "2", "rights=start,stop") +
                 fixture_service("Odd", "d", 4, 9, "2", "open=refused") +
                 fixture_service("Gone", "d", 4, 9, "2", "open=missing"));
    temp_file refusing("manager\trefuse\n" + fixture_service("Svc", "d", 4, 7, "2"));
    const struct {
        const std::string *fixture;
        std::string query;
        int status;
        const char *reason, *message;
    } cases[] = {
        {&refusing.path, "", 400, "Bad Request", "missing unit"},
        {&refusing.path, "unit=", 400, "Bad Request", "missing unit"},
        {&refusing.path, "unit=a%2Fb", 400, "Bad Request", "invalid unit"},
        {&refusing.path, "unit=" + std::string(256, 'x'), 400, "Bad Request", "invalid unit"},
        {&refusing.path, "unit=Svc", 500, "Internal Server Error", "details failed"},
        {nullptr, "unit=Svc", 500, "Internal Server Error", "details failed"},
        {&fx.path, "unit=Nope", 404, "Not Found", "service not found"},
        {&fx.path, "unit=Gone", 404, "Not Found", "service not found"},
        {&fx.path, "unit=Denied", 403, "Forbidden", "access denied"},
        {&fx.path, "unit=NoRights", 403, "Forbidden", "access denied"},
        {&fx.path, "unit=Odd", 500, "Internal Server Error", "details failed"},
    };
    for (const auto &c : cases) {
        std::string out = details(c.fixture ? *c.fixture : "", c.query);
        EXPECT_EQ(out, error_response(c.status, c.reason, c.message)) << c.query;
        EXPECT_EQ(json::parse(response_body(out))["error"], c.message);
    }
}

// Every option of the details script, with escapes in every text.
const std::string full_service = fixture_service(
    "Spool\\\\er", "Print \\\\ Spooler", 4, 1234, "2",
    "accepts=stop,shutdown\texit=1066\tservice_exit=42\ttype=288\t"
    "path=C:\\\\Windows\\\\spoolsv.exe\\t-k\taccount=NT AUTHORITY\\\\LocalService\t"
    "description=Loads files\\nto memory \\x01 f\\xc3\\xbcr </b>\tdependencies=RPCSS,+Print \\x22Group\\x22\t"
    "dependents=Fax,Other\\x2cX\tdelayed=true\ttriggers=true\trecovery=86400:restart/60000,reboot/0,run-command/5");

TEST(Details, FullDocumentByteForByteFromThatServiceAlone) {
    temp_file trace;
    temp_file fx("trace\t" + trace.path + "\n" + fixture_service("Fax", "Fax", 1, 0, "3") + full_service);
    for (const char *method : {"GET", "POST"}) {
        std::string out = details(fx.path, "unit=Spool%5Cer", {{"REQUEST_METHOD", method}, {"SERVICES_ALLOW_CONTROL", "1"}});
        EXPECT_EQ(out, json_head +
                           R"({"ok":true,"init_system":"windows-scm","control_enabled":true,"details":{)"
                           R"("name":"Spool\\er","display_name":"Print \\ Spooler",)"
                           "\"description\":\"Loads files\\nto memory \\u0001 f\xc3\xbcr </b>\","
                           R"("state":"running","type":"shared-process","start_type":"automatic",)"
                           R"("delayed_start":true,"trigger_start":true,"binary_path":"C:\\Windows\\spoolsv.exe\t-k",)"
                           R"("account":"NT AUTHORITY\\LocalService","pid":1234,"exit_code":1066,"service_exit_code":42,)"
                           R"("accepts":["stop","shutdown"],"dependencies":["RPCSS","+Print \"Group\""],)"
                           R"("dependents":["Fax","Other,X"],"recovery":{"reset_seconds":86400,"actions":[)"
                           R"({"type":"restart","delay_ms":60000},{"type":"reboot","delay_ms":0},)"
                           R"({"type":"run-command","delay_ms":5}]}}})"
                           "\n")
            << method;
        json d = json::parse(response_body(out))["details"];
        EXPECT_EQ(d["description"], "Loads files\nto memory \x01 f\xc3\xbcr </b>");
        EXPECT_EQ(d["dependents"], json::array({"Fax", "Other,X"}));
    }
    // No enumeration: one connection, one open, and reads of that service only.
    const std::string calls =
        "connect details\nopen Spool\\er status+config+dependents\nnames Spool\\er\nconfig Spool\\er\n"
        "description Spool\\er\ndelayed Spool\\er\ntriggers Spool\\er\nrecovery Spool\\er\n"
        "status Spool\\er\ndependents Spool\\er all\n";
    EXPECT_EQ(trace.read(), calls + calls);
}

// The members that are null in a details document.
std::set<std::string> null_members(const std::string &out) {
    std::set<std::string> nulls;
    json d = json::parse(response_body(out))["details"];
    for (auto it = d.begin(); it != d.end(); ++it)
        if (it->is_null()) nulls.insert(it.key());
    return nulls;
}

TEST(Details, EachPartThatCannotBeReadIsNullAlone) {
    const std::set<std::string> status = {"state", "pid", "exit_code", "service_exit_code", "accepts"};
    const std::set<std::string> config = {"type", "start_type", "binary_path", "account", "dependencies"};
    const std::set<std::string> levels = {"description", "delayed_start", "trigger_start", "recovery"};
    auto with = [](std::set<std::string> a, const std::set<std::string> &b) {
        a.insert(b.begin(), b.end());
        return a;
    };
    const struct {
        std::string display, start, options;
        std::set<std::string> nulls;
    } cases[] = {
        {"Svc", "3", "", {}},
        {"Svc", "3", "unreadable=names", {"display_name"}},
        {"(null)", "3", "", {"display_name"}},
        {"Svc", "3", "unreadable=description", {"description"}},
        {"Svc", "3", "unreadable=delayed,triggers", {"delayed_start", "trigger_start"}},
        {"Svc", "3", "unreadable=recovery", {"recovery"}},
        {"Svc", "3", "recovery=60:restart", {"recovery"}},
        {"Svc", "unreadable", "", config},
        {"Svc", "3", "path=(null)", {"binary_path"}},
        {"Svc", "3", "status=denied", status},
        {"Svc", "3", "rights=status,config", {"dependents"}},
        {"Svc", "3", "rights=config,start", with(status, {"dependents"})},
        {"Svc", "3", "rights=status,dependents", with(config, levels)},
        {"Svc", "closed", "rights=status,dependents", with(config, levels)},
    };
    for (const auto &c : cases) {
        temp_file fx(fixture_service("Svc", c.display, 4, 5, c.start, c.options));
        std::string out = details(fx.path, "unit=Svc");
        EXPECT_EQ(out.rfind(json_head, 0), 0u) << c.options;
        EXPECT_EQ(null_members(out), c.nulls) << c.display << " " << c.start << " " << c.options;
        EXPECT_EQ(json::parse(response_body(out))["details"]["name"], "Svc");
    }
}

// The drawer shows the details' state beside the list's row: a service that
// stopped with an error is failed in both.
TEST(Details, StateIsTheWordTheListGives) {
    const struct {
        int state;
        const char *options, *word;
    } cases[] = {
        {1, "", "inactive"},
        {1, "exit=1077", "inactive"},
        {1, "exit=13", "failed"},
        {1, "exit=1066\tservice_exit=0", "inactive"},
        {1, "exit=1066\tservice_exit=42", "failed"},
        {4, "exit=13", "running"},
        {7, "exit=13", "paused"},
    };
    for (const auto &c : cases) {
        temp_file fx(fixture_service("Svc", "d", c.state, c.state == 1 ? 0 : 5, "3", c.options));
        json d = json::parse(response_body(details(fx.path, "unit=Svc")));
        json l = json::parse(response_body(run({{"QUERY_STRING", "action=show&unit=Svc"}, {"SERVICES_FAKE_SCM", fx.path}})));
        EXPECT_EQ(d["details"]["state"], c.word) << c.state << " " << c.options;
        EXPECT_EQ(l["service"]["active"], c.word) << c.state << " " << c.options;
    }
}

TEST(Details, AnAccountWithoutOneRightOpensOncePerRight) {
    temp_file trace;
    temp_file fx("trace\t" + trace.path + "\n" + fixture_service("Svc", "d", 4, 5, "3", "rights=status,dependents"));
    details(fx.path, "unit=Svc");
    EXPECT_EQ(trace.read(),
              "connect details\nopen Svc status+config+dependents\nopen Svc status\nopen Svc config\n"
              "open Svc dependents\nnames Svc\nstatus Svc\ndependents Svc all\n");
}

TEST(Details, TheNodePasswordGuardsIt) {
    temp_file fx(full_service);
    std::string out = details(fx.path, "unit=Svc", {{"BOT_PASSWORD", "pw"}});
    EXPECT_EQ(out, unauthorized);
}

}  // namespace
