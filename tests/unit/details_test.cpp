// The words of the details document and its writer over a table of
// configurations: every member read, none read, and empty lists.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "details.h"

namespace {

std::string text_of(void (*write)(buf *, uint32_t), uint32_t v) {
    buf b = {};
    write(&b, v);
    std::string text(b.data, b.len);
    buf_free(&b);
    return text;
}

TEST(DetailsWords, ServiceTypes) {
    const struct {
        uint32_t type;
        const char *word;
    } cases[] = {
        {0x10, "own-process"},        {0x20, "shared-process"},       {0x50, "user-own-process"},
        {0x60, "user-shared-process"}, {0x1, "kernel-driver"},         {0x2, "file-system-driver"},
        // a per-user service's instance, and an interactive service
        {0xd0, "user-own-process"},   {0xe0, "user-shared-process"},  {0x110, "own-process"},
        {0x120, "shared-process"},
        // adapters, recognizer drivers, no type, two types, the per-user bit alone
        {0x4, "other"}, {0x8, "other"}, {0x0, "other"}, {0x30, "other"}, {0x40, "other"}, {0xffffffff, "other"},
    };
    for (const auto &c : cases) EXPECT_STREQ(service_type_word(c.type), c.word) << std::hex << c.type;
}

TEST(DetailsWords, RecoveryActionsAndAcceptedControls) {
    const char *actions[] = {"none", "restart", "reboot", "run-command", "none", "none"};
    const uint32_t numbers[] = {0, 1, 2, 3, 4, 0xffffffff};
    for (size_t i = 0; i < 6; i++) EXPECT_STREQ(recovery_action_word(numbers[i]), actions[i]) << numbers[i];

    const struct {
        uint32_t bits;
        const char *json;
    } accepts[] = {
        {0, "[]"},
        {SCM_ACCEPTS_STOP, "[\"stop\"]"},
        {SCM_ACCEPTS_PRESHUTDOWN | SCM_ACCEPTS_STOP | SCM_ACCEPTS_SHUTDOWN, "[\"stop\",\"shutdown\",\"preshutdown\"]"},
        {0xffffffff, "[\"stop\",\"pause-continue\",\"shutdown\",\"preshutdown\"]"},
        {1u << 31, "[]"},
    };
    for (const auto &c : accepts) {
        std::string text = text_of(accepts_into, c.bits);
        EXPECT_EQ(text, c.json);
        EXPECT_TRUE(nlohmann::json::parse(text).is_array());
    }
}

// Texts with every kind of byte the escaping handles.
const char *const k_dependencies[] = {"RpcSs", "+Net \"Group\""};
const char *const k_dependents[] = {"Dep\\1", "</script>"};
const scm_action k_actions[] = {{1, 60000}, {2, 120000}, {3, 0}, {0, 0}, {7, 5}};

svc_details all_read(const scm_status *st, const scm_config *cfg, const scm_recovery *rec) {
    svc_details d = {};
    d.name = "Svc\"1";
    d.display_name = "Dienst f\xc3\xbcr \\ Tests";
    d.description = "line1\nline2\x01";
    d.status = st;
    d.config = cfg;
    d.delayed_start = 1;
    d.trigger_start = 0;
    d.dependents_read = true;
    d.dependents = k_dependents;
    d.dependent_count = 2;
    d.recovery = rec;
    return d;
}

std::string document(const svc_details &d, int control) {
    g_init = INIT_WINDOWS_SCM;
    g_control = control;
    buf b = {};
    details_document(&b, &d);
    std::string text(b.data, b.len);
    buf_free(&b);
    g_control = 0;
    return text;
}

TEST(DetailsDocument, EveryMemberReadWithEscapesInEveryText) {
    scm_status st = {SCM_STATE_RUNNING, 0x10f, 1066, 42, 0, 0, 4321};
    scm_config cfg = {0x20, 2, "C:\\Program Files\\x\\svc.exe\t-k", "NT AUTHORITY\\Local\"Service", k_dependencies, 2};
    scm_recovery rec = {86400, k_actions, 5};
    std::string text = document(all_read(&st, &cfg, &rec), 1);
    EXPECT_EQ(text,
              R"({"ok":true,"init_system":"windows-scm","control_enabled":true,"details":{"name":"Svc\"1",)"
              "\"display_name\":\"Dienst f\xc3\xbcr \\\\ Tests\","
              R"("description":"line1\nline2\u0001","state":"running","type":"shared-process",)"
              R"("start_type":"automatic","delayed_start":true,"trigger_start":false,)"
              R"("binary_path":"C:\\Program Files\\x\\svc.exe\t-k","account":"NT AUTHORITY\\Local\"Service",)"
              R"("pid":4321,"exit_code":1066,"service_exit_code":42,)"
              R"("accepts":["stop","pause-continue","shutdown","preshutdown"],)"
              R"("dependencies":["RpcSs","+Net \"Group\""],"dependents":["Dep\\1","</script>"],)"
              R"("recovery":{"reset_seconds":86400,"actions":[{"type":"restart","delay_ms":60000},)"
              R"({"type":"reboot","delay_ms":120000},{"type":"run-command","delay_ms":0},)"
              R"({"type":"none","delay_ms":0},{"type":"none","delay_ms":5}]}}})"
              "\n");
    auto j = nlohmann::json::parse(text);
    const auto &d = j["details"];
    EXPECT_EQ(d["name"], "Svc\"1");
    EXPECT_EQ(d["display_name"], "Dienst f\xc3\xbcr \\ Tests");
    EXPECT_EQ(d["description"], "line1\nline2\x01");
    EXPECT_EQ(d["binary_path"], "C:\\Program Files\\x\\svc.exe\t-k");
    EXPECT_EQ(d["account"], "NT AUTHORITY\\Local\"Service");
    EXPECT_EQ(d["dependencies"][1], "+Net \"Group\"");
    EXPECT_EQ(d["dependents"][0], "Dep\\1");
    EXPECT_EQ(d["recovery"]["actions"].size(), 5u);
    const char *order[] = {"name", "display_name", "description", "state", "type", "start_type",
                           "delayed_start", "trigger_start", "binary_path", "account", "pid", "exit_code",
                           "service_exit_code", "accepts", "dependencies", "dependents", "recovery"};
    size_t at = 0;
    for (const char *key : order) {
        size_t found = text.find(std::string("\"") + key + "\":", at);
        ASSERT_NE(found, std::string::npos) << key;
        at = found;
    }
}

TEST(DetailsDocument, NothingReadButTheName) {
    svc_details d = {};
    d.name = "Svc";
    d.delayed_start = d.trigger_start = -1;
    std::string text = document(d, 0);
    EXPECT_EQ(text,
              R"({"ok":true,"init_system":"windows-scm","control_enabled":false,"details":{"name":"Svc",)"
              R"("display_name":null,"description":null,"state":null,"type":null,"start_type":null,)"
              R"("delayed_start":null,"trigger_start":null,"binary_path":null,"account":null,"pid":null,)"
              R"("exit_code":null,"service_exit_code":null,"accepts":null,"dependencies":null,)"
              R"("dependents":null,"recovery":null}})"
              "\n");
    auto j = nlohmann::json::parse(text)["details"];
    for (auto it = j.begin(); it != j.end(); ++it) EXPECT_EQ(it->is_null(), it.key() != "name") << it.key();
}

TEST(DetailsDocument, EmptyListsUnknownNumbersAndAnUnconvertedPath) {
    scm_status st = {9, 0, 0, 0, 0, 0, 0};
    scm_config cfg = {0x4, 7, nullptr, "", nullptr, 0};
    scm_recovery rec = {0xffffffff, nullptr, 0};
    svc_details d = {};
    d.name = "";
    d.display_name = "";
    d.description = "";
    d.status = &st;
    d.config = &cfg;
    d.dependents_read = true;
    d.recovery = &rec;
    std::string text = document(d, 0);
    EXPECT_EQ(text,
              R"({"ok":true,"init_system":"windows-scm","control_enabled":false,"details":{"name":"",)"
              R"("display_name":"","description":"","state":"unknown","type":"other","start_type":"-",)"
              R"("delayed_start":false,"trigger_start":false,"binary_path":null,"account":"","pid":0,)"
              R"("exit_code":0,"service_exit_code":0,"accepts":[],"dependencies":[],"dependents":[],)"
              R"("recovery":{"reset_seconds":4294967295,"actions":[]}}})"
              "\n");
    EXPECT_EQ(nlohmann::json::parse(text)["details"]["recovery"]["reset_seconds"], 4294967295u);
}

}  // namespace
