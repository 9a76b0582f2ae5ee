#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "actions.h"
#include "run_cgi.h"
#include "service_table.h"

namespace {

svc_record make(const char *name, const char *active, const char *sub = "") {
    svc_record r = {};
    str_copy(r.name, sizeof r.name, name);
    str_copy(r.active, sizeof r.active, active);
    str_copy(r.sub, sizeof r.sub, sub);
    return r;
}

std::vector<std::string> sorted_names(const std::vector<svc_record> &records) {
    g_count = (int)records.size();
    for (size_t i = 0; i < records.size(); i++) g_svc[i] = records[i];
    svc_sort();
    std::vector<std::string> names;
    for (int i = 0; i < g_count; i++) names.push_back(g_svc[i].name);
    return names;
}

TEST(Classification, RunningAndFailedWords) {
    const struct {
        const char *active, *sub;
        int running, failed;
    } cases[] = {{"running", "4", 1, 0},  {"active", "", 1, 0},   {"Running", "", 0, 0},
                 {"running ", "", 0, 0}, {"failed", "", 0, 1},   {"running", "failed", 1, 1},
                 {"inactive", "failed", 0, 1}, {"inactive", "1", 0, 0}, {"", "", 0, 0}};
    for (const auto &c : cases) {
        svc_record r = make("x", c.active, c.sub);
        EXPECT_EQ(svc_running(&r), c.running) << c.active << "/" << c.sub;
        EXPECT_EQ(svc_failed(&r), c.failed) << c.active << "/" << c.sub;
    }
}

TEST(Sort, FailedThenRunningThenByteOrderOfNames) {
    EXPECT_EQ(sorted_names({make("alpha", "inactive"), make("beta", "running"), make("gamma", "failed")}),
              (std::vector<std::string>{"gamma", "beta", "alpha"}));
    EXPECT_EQ(sorted_names({make("alpha", "inactive"), make("Zeta", "inactive")}),
              (std::vector<std::string>{"Zeta", "alpha"}));
    EXPECT_EQ(sorted_names({make("b", "running"), make("a", "inactive"), make("c", "running", "failed"),
                            make("\xc3\xa9", "paused"), make("B", "running")}),
              (std::vector<std::string>{"c", "B", "b", "a", "\xc3\xa9"}));
    EXPECT_EQ(sorted_names({make("only", "paused")}), (std::vector<std::string>{"only"}));
}

TEST(Sort, EqualNamesKeepTheTableOrderAndWholeRecordsMove) {
    // Built in the expected order: 40 failed, 80 running and 180 inactive
    // records, four to a name, names ascending within each rank; pid and
    // description hold the expected position.
    const struct {
        const char *active;
        int size;
    } ranks[] = {{"failed", 40}, {"running", 80}, {"inactive", 180}};
    std::vector<std::vector<svc_record>> names;  // the four records of each name
    int position = 0;
    for (const auto &rank : ranks) {
        for (int k = 0; k < rank.size; k++, position++) {
            if (k % 4 == 0) names.emplace_back();
            char name[16];
            snprintf(name, sizeof name, "n%02d", k / 4);
            svc_record r = make(name, rank.active);
            r.pid = position;
            str_copy(r.description, sizeof r.description, std::to_string(position).c_str());
            names.back().push_back(r);
        }
    }
    // The table: the names in a scrambled order (stride 31 over 75), each
    // name's records far apart but in their expected order.
    std::vector<svc_record> table;
    for (int copy = 0; copy < 4; copy++)
        for (size_t n = 0; n < names.size(); n++) table.push_back(names[n * 31 % names.size()][copy]);
    ASSERT_EQ(table.size(), 300u);
    sorted_names(table);
    for (int i = 0; i < 300; i++) {
        EXPECT_EQ(g_svc[i].pid, i);
        EXPECT_STREQ(g_svc[i].description, std::to_string(i).c_str()) << i;
    }
}

TEST(InitName, NamesEachKind) {
    const struct {
        int kind;
        const char *name;
    } cases[] = {{0, "none"}, {1, "systemd"}, {2, "launchd"}, {3, "windows-scm"}, {5, "none"}, {-1, "none"}};
    for (const auto &c : cases) {
        g_init = c.kind;
        EXPECT_STREQ(init_name(), c.name);
    }
}

TEST(StrCopy, CutsAtCapacityLessOne) {
    char dst[32];
    str_copy(dst, sizeof dst, std::string(31, 'a').c_str());
    EXPECT_EQ(std::string(dst), std::string(31, 'a'));
    str_copy(dst, sizeof dst, std::string(32, 'b').c_str());
    EXPECT_EQ(std::string(dst), std::string(31, 'b'));
    str_copy(dst, sizeof dst, nullptr);
    EXPECT_STREQ(dst, "");
}

TEST(StrCopyUtf8, NeverSplitsASequence) {
    // Capacity 8 keeps at most 7 bytes; each source puts a sequence across the cut.
    const struct {
        std::string src, kept;
    } cases[] = {
        {"abcdef\xc3\xa9", "abcdef"},                // 2-byte sequence at 6..7
        {"abcde\xe6\x9c\x8d", "abcde"},              // 3-byte at 5..7
        {"abcd\xf0\x9f\x98\x80", "abcd"},            // 4-byte at 4..7
        {"abcdefg\xc3\xa9", "abcdefg"},              // sequence starts at the cut
        {"abc\xe6\x9c\x8d" "d", "abc\xe6\x9c\x8d" "d"},  // fits exactly
        {"abcdefgh", "abcdefg"},
        {"abcdef\x80\x80\x80", "abcdef\x80"},        // stray continuation bytes: byte cut
    };
    for (const auto &c : cases) {
        char dst[8];
        str_copy_utf8(dst, sizeof dst, c.src.c_str());
        EXPECT_EQ(std::string(dst), c.kept);
    }
}

TEST(Words, StatesAndStartTypes) {
    const char *const states[] = {"unknown", "inactive", "starting", "stopping", "running",
                                  "unknown", "unknown", "paused",   "unknown"};
    for (uint32_t s = 0; s < 9; s++) EXPECT_STREQ(state_word(s), states[s]) << s;
    EXPECT_STREQ(state_word(0xffffffffu), "unknown");
    const char *const starts[] = {"boot", "system", "automatic", "manual", "disabled", "-"};
    for (uint32_t t = 0; t < 6; t++) EXPECT_STREQ(start_type_word(t), starts[t]) << t;
    EXPECT_STREQ(start_type_word(0xffffffffu), "-");
}

TEST(ExitCodes, AStoppedServiceThatReportsAnErrorIsFailed) {
    const struct {
        uint32_t state, exit_code, service_code;
        int failed;
    } cases[] = {
        {1, 0, 0, 0},     {1, 0, 7, 0},          {1, 1077, 0, 0},   {1, 1077, 3, 0},
        {1, 1066, 0, 0},  {1, 1066, 42, 1},      {1, 1066, 0xffffffffu, 1},
        {1, 13, 0, 1},    {1, 1067, 0, 1},       {1, 5, 9, 1},      {1, 0xffffffffu, 0, 1},
        {4, 13, 0, 0},    {4, 1066, 42, 0},      {2, 1067, 0, 0},   {3, 1067, 0, 0},
        {7, 5, 0, 0},     {0, 13, 0, 0},         {8, 13, 0, 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(svc_exit_failed(c.state, c.exit_code, c.service_code), c.failed)
            << c.state << " " << c.exit_code << " " << c.service_code;
}

TEST(UtcText, SecondsSince1970AsDateAndTime) {
    const struct {
        int64_t seconds;
        const char *text;
    } cases[] = {
        {0, "1970-01-01 00:00:00 UTC"},
        {-1, "1969-12-31 23:59:59 UTC"},
        {951782400, "2000-02-29 00:00:00 UTC"},
        {951868799, "2000-02-29 23:59:59 UTC"},
        {1709251199, "2024-02-29 23:59:59 UTC"},
        {1796980443, "2026-12-11 09:14:03 UTC"},
        {1798761599, "2026-12-31 23:59:59 UTC"},
        {1798761600, "2027-01-01 00:00:00 UTC"},
        {2147483647, "2038-01-19 03:14:07 UTC"},
        {2147483648, "2038-01-19 03:14:08 UTC"},
        {4107542399, "2100-02-28 23:59:59 UTC"},
        {4107542400, "2100-03-01 00:00:00 UTC"},
        {253402300799, "9999-12-31 23:59:59 UTC"},
    };
    for (const auto &c : cases) {
        char text[40];
        utc_text(text, sizeof text, c.seconds);
        EXPECT_STREQ(text, c.text) << c.seconds;
    }
}

TEST(EmitService, MemoryZeroIsNull) {
    svc_record r = make("Svc", "running", "4");
    const struct {
        uint64_t memory;
        const char *member;
    } cases[] = {{0, "\"memory_bytes\":null,"}, {1, "\"memory_bytes\":1,"}};
    for (const auto &c : cases) {
        r.memory_bytes = c.memory;
        buf b = {};
        emit_service(&b, &r);
        std::string object(b.data, b.len);
        buf_free(&b);
        EXPECT_NE(object.find(c.member), std::string::npos) << object;
        EXPECT_EQ(nlohmann::json::parse(object)["memory_bytes"], c.memory ? nlohmann::json(c.memory) : nlohmann::json());
    }
}

// Loads the table from a fixture given as text; with only, the start types
// of the services of that name alone.
void load_fixture(const std::string &text, const char *only = nullptr) {
    temp_file f(text);
    setenv("SERVICES_FAKE_SCM", f.path.c_str(), 1);
    load_services(only);
    unsetenv("SERVICES_FAKE_SCM");
}

TEST(Load, MapsEveryEntryField) {
    load_fixture(fixture_service("Spooler", "Print Spooler", 4, 1234, "2") +
                 fixture_service("Paused", "(null)", 7, 0, "9") +
                 fixture_service("(null)", "No name", 6, 0, "unreadable") +
                 fixture_service("Closed", "", 1, 0, "closed") +
                 fixture_service("Boot", "b", 2, 7, "0") + fixture_service("Sys", "s", 3, 8, "1") +
                 fixture_service("Off", "o", 1, 0, "4") + fixture_service("Odd", "o", 12, 0, "3"));
    ASSERT_EQ(g_count, 8);
    EXPECT_EQ(g_init, 3);
    const struct {
        const char *name, *description, *active, *sub, *enabled;
        int pid;
    } want[] = {{"Spooler", "Print Spooler", "running", "4", "automatic", 1234},
                {"Paused", "", "paused", "7", "-", 0},
                {"", "No name", "unknown", "6", "-", 0},
                {"Closed", "", "inactive", "1", "-", 0},
                {"Boot", "b", "starting", "2", "boot", 7},
                {"Sys", "s", "stopping", "3", "system", 8},
                {"Off", "o", "inactive", "1", "disabled", 0},
                {"Odd", "o", "unknown", "12", "manual", 0}};
    for (int i = 0; i < 8; i++) {
        const svc_record &r = g_svc[i];
        SCOPED_TRACE(want[i].name);
        EXPECT_STREQ(r.name, want[i].name);
        EXPECT_STREQ(r.description, want[i].description);
        EXPECT_STREQ(r.active, want[i].active);
        EXPECT_STREQ(r.sub, want[i].sub);
        EXPECT_STREQ(r.enabled, want[i].enabled);
        EXPECT_EQ(r.pid, want[i].pid);
        EXPECT_EQ(r.memory_bytes, 0u);
        EXPECT_STREQ(r.since, "-");
    }
}

TEST(Load, SubIsTheStateNumberInDecimal) {
    load_fixture("service\tA\ta\t0\t0\t3\nservice\tB\tb\t10\t0\t3\n"
                 "service\tC\tc\t4294967295\t0\t3\nservice\tD\td\t1000000\t0\t3\n");
    ASSERT_EQ(g_count, 4);
    EXPECT_STREQ(g_svc[0].sub, "0");
    EXPECT_STREQ(g_svc[1].sub, "10");
    EXPECT_STREQ(g_svc[2].sub, "4294967295");
    EXPECT_STREQ(g_svc[3].sub, "1000000");
}

TEST(Load, EmptyNumberFieldsReadAsZeroAndLineEndsAreTrimmedOnce) {
    load_fixture("service\tA\ta\t\t5\t3\r\nservice\tB\tb\\x41\r\t4\t\t1\r\n"
                 "# service\tX\tx\t4\t1\t2\nservice\tC\tc\\\t1\t0\t4\r");
    ASSERT_EQ(g_count, 3);
    EXPECT_STREQ(g_svc[0].sub, "0");
    EXPECT_EQ(g_svc[0].pid, 5);
    EXPECT_STREQ(g_svc[0].enabled, "manual");
    EXPECT_STREQ(g_svc[1].description, "bA\r");
    EXPECT_STREQ(g_svc[1].sub, "4");
    EXPECT_EQ(g_svc[1].pid, 0);
    EXPECT_STREQ(g_svc[1].enabled, "system");
    EXPECT_STREQ(g_svc[2].description, "c\\");
    EXPECT_STREQ(g_svc[2].enabled, "disabled");
}

TEST(Load, LongNamesAreCutButStillFoundByTheirFullName) {
    std::string long_name(200, 'n');
    load_fixture(fixture_service(long_name, std::string(300, 'd'), 1, 0, "4"));
    ASSERT_EQ(g_count, 1);
    EXPECT_EQ(std::string(g_svc[0].name), long_name.substr(0, 191));
    EXPECT_EQ(strlen(g_svc[0].description), 191u);
    EXPECT_STREQ(g_svc[0].enabled, "disabled");
}

TEST(Load, CutsAt191BytesNeverInsideAUtf8Sequence) {
    // Each source is 192 bytes or more; the bytes before the character that
    // the 191-byte cut would split are kept, and the character is dropped.
    const std::string two = "\xc3\xa9", three = "\xe6\x9c\x8d", four = "\xf0\x9f\x98\x80";
    const struct {
        std::string text;
        size_t kept;
    } cases[] = {
        {std::string(190, 'a') + two, 190},              // 2-byte sequence at bytes 190..191
        {std::string(189, 'b') + three, 189},            // 3-byte at 189..191: cut after its second byte
        {std::string(190, 'b') + three, 190},            // 3-byte at 190..192: cut after its first byte
        {std::string(188, 'c') + four, 188},             // 4-byte at 188..191: cut after its third byte
        {std::string(189, 'c') + four, 189},             // after its second byte
        {std::string(190, 'c') + four, 190},             // after its first byte
        {std::string(189, 'd') + two + "e", 191},        // a sequence that ends at the cut stays whole
        {std::string(187, 'f') + four + "g", 191},
    };
    // The full name still finds the start type.
    const char *const words[] = {"boot", "system", "automatic", "manual", "disabled"};
    std::string fixture;
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; i++)
        fixture += fixture_service(cases[i].text, cases[i].text, 1, 0, std::to_string(i % 5));
    load_fixture(fixture);
    ASSERT_EQ(g_count, 8);
    for (int i = 0; i < 8; i++) {
        SCOPED_TRACE(i);
        const std::string &text = cases[i].text;
        EXPECT_EQ(std::string(g_svc[i].description), text.substr(0, cases[i].kept));
        EXPECT_EQ(std::string(g_svc[i].name), text.substr(0, cases[i].kept));
        EXPECT_STREQ(g_svc[i].enabled, words[i % 5]);
    }
}

TEST(Load, StopsAt2048InTheManagersOrderAndReadsEveryStartType) {
    std::string text;
    for (int i = 0; i < 2050; i++) {
        char name[16];
        snprintf(name, sizeof name, "svc%04d", 2049 - i);
        text += fixture_service(name, "d", i % 3 ? 1 : 4, i, std::to_string(i % 5));
    }
    load_fixture(text);
    ASSERT_EQ(g_count, 2048);
    // The first 2048 entries in the manager's order, each with its own start type.
    const char *const starts[] = {"boot", "system", "automatic", "manual", "disabled"};
    for (int i = 0; i < 2048; i++) {
        char name[16];
        snprintf(name, sizeof name, "svc%04d", 2049 - i);
        ASSERT_STREQ(g_svc[i].name, name);
        ASSERT_STREQ(g_svc[i].enabled, starts[i % 5]) << i;
        ASSERT_EQ(g_svc[i].pid, i);
    }
}

TEST(Load, AServiceNameFindsTheFirstServiceOfThatName) {
    load_fixture(fixture_service("Twin", "first", 1, 0, "2") + fixture_service("Other", "o", 1, 0, "4") +
                 fixture_service("Twin", "second", 4, 9, "3"));
    ASSERT_EQ(g_count, 3);
    for (int i : {0, 2}) EXPECT_STREQ(g_svc[i].enabled, "automatic") << g_svc[i].description;
    EXPECT_STREQ(g_svc[1].enabled, "disabled");
}

TEST(Load, ANamedLoadReadsTheStartTypesOfThatNameAlone) {
    const std::string text = fixture_service("Twin", "first", 1, 0, "2") + fixture_service("Other", "o", 4, 3, "4") +
                             fixture_service("Twin", "second", 4, 9, "3", "db=missing") +
                             fixture_service("Twin2", "t", 1, 0, "0");
    const struct {
        const char *only;
        const char *enabled[4];
    } cases[] = {
        {"Twin", {"automatic", "-", "automatic", "-"}},
        {"Other", {"-", "disabled", "-", "-"}},
        {"Twin2", {"-", "-", "-", "boot"}},
        {"twin", {"-", "-", "-", "-"}},
        {"", {"-", "-", "-", "-"}},
    };
    for (const auto &c : cases) {
        load_fixture(text, c.only);
        ASSERT_EQ(g_count, 4);
        for (int i = 0; i < 4; i++) EXPECT_STREQ(g_svc[i].enabled, c.enabled[i]) << c.only << " " << i;
    }
}

TEST(Load, ExitCodesProcessesAndTheirFigures) {
    load_fixture(fixture_service("Failed", "f", 1, 0, "3", "exit=1066\tservice_exit=42") +
                 fixture_service("Clean", "c", 1, 0, "3", "exit=1066") +
                 fixture_service("HostA", "a", 4, 800, "2", "exit=13") + fixture_service("HostB", "b", 3, 800, "2") +
                 fixture_service("Shut", "s", 4, 900, "2") + fixture_service("Half", "h", 4, 1000, "2") +
                 fixture_service("Gone", "g", 4, 1100, "2") +
                 "process\t800\t7759462\t1796980443\nprocess\t900\tclosed\n"
                 "process\t1000\tunreadable\t0\n");
    ASSERT_EQ(g_count, 7);
    const struct {
        const char *active, *sub;
        uint64_t memory;
        const char *since;
    } want[] = {{"failed", "1", 0, "-"},
                {"inactive", "1", 0, "-"},
                {"running", "4", 7759462, "2026-12-11 09:14:03 UTC"},
                {"stopping", "3", 7759462, "2026-12-11 09:14:03 UTC"},
                {"running", "4", 0, "-"},
                {"running", "4", 0, "1970-01-01 00:00:00 UTC"},
                {"running", "4", 0, "-"}};
    for (int i = 0; i < 7; i++) {
        SCOPED_TRACE(g_svc[i].name);
        EXPECT_STREQ(g_svc[i].active, want[i].active);
        EXPECT_STREQ(g_svc[i].sub, want[i].sub);
        EXPECT_EQ(g_svc[i].memory_bytes, want[i].memory);
        EXPECT_STREQ(g_svc[i].since, want[i].since);
    }
    EXPECT_TRUE(svc_failed(&g_svc[0]));
    // A named load reads the process of that service alone.
    load_fixture(fixture_service("HostA", "a", 4, 800, "2") + fixture_service("HostB", "b", 4, 800, "2") +
                     "process\t800\t4096\t0\n",
                 "HostB");
    EXPECT_EQ(g_svc[0].memory_bytes, 0u);
    EXPECT_STREQ(g_svc[0].since, "-");
    EXPECT_EQ(g_svc[1].memory_bytes, 4096u);
    EXPECT_STREQ(g_svc[1].since, "1970-01-01 00:00:00 UTC");
}

TEST(Load, FixtureOfUnknownSizeIsReadToItsEnd) {
    std::string text;
    for (int i = 0; i < 300; i++) text += fixture_service("svc" + std::to_string(i), std::string(40, 'd'), 1, 0, "3");
    ASSERT_GT(text.size(), 3 * 4096u);  // past the first block, and a doubling or more
    std::string dir = temp_file().path + ".d";
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    std::string fifo = dir + "/fixture";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::thread writer([&] {
        FILE *f = fopen(fifo.c_str(), "wb");
        if (!f) return;
        fwrite(text.data(), 1, text.size(), f);
        fclose(f);
    });
    setenv("SERVICES_FAKE_SCM", fifo.c_str(), 1);
    load_services(nullptr);
    unsetenv("SERVICES_FAKE_SCM");
    writer.join();
    unlink(fifo.c_str());
    rmdir(dir.c_str());
    ASSERT_EQ(g_count, 300);
    EXPECT_STREQ(g_svc[299].name, "svc299");
    EXPECT_STREQ(g_svc[299].enabled, "manual");
}

TEST(Load, RefusedOrMissingManagerGivesAnEmptyTable) {
    for (const std::string &text : {std::string("manager\trefuse\n") + fixture_service("a", "b", 4, 1, "2"),
                                    std::string("# nothing\n")}) {
        g_count = 5;
        g_init = 0;
        load_fixture(text);
        EXPECT_EQ(g_count, 0);
        EXPECT_EQ(g_init, 3);
    }
    g_count = 5;
    load_services(nullptr);  // no fixture named at all
    EXPECT_EQ(g_count, 0);
    EXPECT_STREQ(init_name(), "windows-scm");
}

}  // namespace
