// Unit tests of the control action's portable logic: the name rule, the
// answer to each refusal and status, and the wait for a stop over the
// scripted service manager, whose clock moves only when the program sleeps.
#include <gtest/gtest.h>

#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "actions.h"
#include "capture.h"
#include "control.h"
#include "run_cgi.h"

namespace {

TEST(ValidUnit, AnyServiceNameOfUpTo255BytesOfUtf8) {
    const struct {
        std::string unit;
        int valid;
    } cases[] = {
        // what the old alphabet accepted
        {"Spooler", 1}, {"a-b.c:d@e\\f_g09", 1}, {std::string(160, 'x'), 1},
        // what real names hold
        {"MSSQL$SQLEXPRESS", 1}, {"SQLAgent$SQLEXPRESS", 1}, {"My Service (x86) #2+", 1},
        {"caf\xc3\xa9", 1}, {"\xe6\x9c\x8d\xe5\x8a\xa1", 1}, {"a\xf0\x9f\x98\x80", 1}, {"a\"b'c%d&e", 1},
        {"\xc2\x80", 1}, {"\xe0\xa0\x80", 1}, {"\xef\xbf\xbf", 1}, {"\xf0\x90\x80\x80", 1}, {"\xf4\x8f\xbf\xbf", 1},
        // length
        {"", 0}, {std::string(255, 'x'), 1}, {std::string(256, 'x'), 0},
        {std::string(252, 'x') + "\xe2\x82\xac", 1}, {std::string(253, 'x') + "\xe2\x82\xac", 0},
        // control bytes and the slash
        {"a/b", 0}, {"a\tb", 0}, {"a\nb", 0}, {"a\rb", 0}, {"\x1f", 0}, {"a\x7f", 0}, {" ", 1},
        // malformed UTF-8: a lone continuation, cut short, overlong, a
        // surrogate, past U+10FFFF, bytes that never occur
        {"\x80", 0}, {"caf\xc3", 0}, {"\xe2\x82", 0}, {"\xf0\x9f\x98", 0}, {"\xc3\x28", 0},
        {"\xc0\xaf", 0}, {"\xc1\xbf", 0}, {"\xe0\x80\xaf", 0}, {"\xf0\x80\x80\xaf", 0},
        {"\xed\xa0\x80", 0}, {"\xed\xbf\xbf", 0}, {"\xf4\x90\x80\x80", 0}, {"\xf5\x80\x80\x80", 0},
        {"\xfe", 0}, {"\xff", 0},
    };
    for (const auto &c : cases) {
        std::string shown;
        for (unsigned char ch : c.unit) shown += ch < 0x20 || ch > 0x7e ? "\\x" + std::to_string(ch) : std::string(1, (char)ch);
        EXPECT_EQ(valid_unit(c.unit.c_str()), c.valid) << shown;
    }
}

// A status record for the judgement.
scm_status status_of(uint32_t state, uint32_t accepts) {
    scm_status st = {};
    st.state = state;
    st.controls_accepted = accepts;
    return st;
}

TEST(JudgeStep, RefusalsThatSettleTheAnswerByThemselves) {
    const struct {
        control_step step;
        scm_reason reason;
        control_answer answer;
    } cases[] = {
        {STEP_START, SCM_OK, ANSWER_DONE},
        {STEP_STOP, SCM_OK, ANSWER_DONE},
        {STEP_STOP, SCM_NOT_ACTIVE, ANSWER_DONE},
        {STEP_START, SCM_NOT_ACTIVE, ANSWER_FAILED},
        {STEP_START, SCM_NO_SUCH_SERVICE, ANSWER_NOT_FOUND},
        {STEP_STOP, SCM_ACCESS_DENIED, ANSWER_ACCESS_DENIED},
        {STEP_START, SCM_DISABLED, ANSWER_DISABLED},
        {STEP_START, SCM_MARKED_FOR_DELETE, ANSWER_MARKED_FOR_DELETE},
        {STEP_STOP, SCM_DEPENDENTS_RUNNING, ANSWER_DEPENDENTS_RUNNING},
        {STEP_STOP, SCM_TIMED_OUT, ANSWER_NO_RESPONSE},
        {STEP_START, SCM_TIMED_OUT, ANSWER_NO_RESPONSE},
        {STEP_START, SCM_LEVEL_NOT_SUPPORTED, ANSWER_FAILED},
        {STEP_STOP, SCM_OTHER, ANSWER_FAILED},
    };
    scm_status running = status_of(SCM_STATE_RUNNING, SCM_ACCEPTS_STOP);
    for (const auto &c : cases) {
        // A status, had one been read, changes nothing for these.
        for (const scm_status *st : {(const scm_status *)nullptr, (const scm_status *)&running}) {
            control_result r = judge_step(c.step, {c.reason, 4242}, st);
            EXPECT_EQ(r.answer, c.answer) << c.step << " " << c.reason;
            EXPECT_EQ(r.code, c.answer == ANSWER_DONE ? 0u : 4242u) << c.step << " " << c.reason;
        }
    }
}

TEST(JudgeStep, RefusalsJudgedByTheStatusReadAfterThem) {
    const uint32_t stop = SCM_ACCEPTS_STOP, other = SCM_ACCEPTS_PAUSE_CONTINUE | SCM_ACCEPTS_SHUTDOWN;
    const struct {
        control_step step;
        uint32_t state, accepts;
        control_answer answer;
    } cases[] = {
        {STEP_STOP, SCM_STATE_STOPPED, 0, ANSWER_DONE},
        {STEP_STOP, SCM_STATE_STOP_PENDING, 0, ANSWER_DONE},
        {STEP_STOP, SCM_STATE_START_PENDING, stop, ANSWER_STARTING},
        {STEP_STOP, SCM_STATE_RUNNING, other, ANSWER_CANNOT_STOP},
        {STEP_STOP, SCM_STATE_PAUSED, 0, ANSWER_CANNOT_STOP},
        {STEP_STOP, SCM_STATE_PAUSE_PENDING, 0, ANSWER_CANNOT_STOP},
        {STEP_STOP, SCM_STATE_RUNNING, stop, ANSWER_FAILED},
        {STEP_STOP, 99, 0, ANSWER_FAILED},
        {STEP_START, SCM_STATE_RUNNING, 0, ANSWER_DONE},
        {STEP_START, SCM_STATE_START_PENDING, 0, ANSWER_DONE},
        {STEP_START, SCM_STATE_CONTINUE_PENDING, 0, ANSWER_DONE},
        {STEP_START, SCM_STATE_PAUSED, stop, ANSWER_PAUSED},
        {STEP_START, SCM_STATE_PAUSE_PENDING, 0, ANSWER_PAUSED},
        {STEP_START, SCM_STATE_STOP_PENDING, 0, ANSWER_WAIT_FOR_STOP},
        {STEP_START, SCM_STATE_STOPPED, 0, ANSWER_WAIT_FOR_STOP},
        {STEP_START, 0, 0, ANSWER_FAILED},
    };
    for (const auto &c : cases) {
        scm_status st = status_of(c.state, c.accepts);
        // Windows and Wine give any of the three codes for the same state.
        for (scm_reason reason : {SCM_ALREADY_RUNNING, SCM_CANNOT_ACCEPT_CONTROL, SCM_CONTROL_NOT_ACCEPTED}) {
            control_result r = judge_step(c.step, {reason, 1061}, &st);
            EXPECT_EQ(r.answer, c.answer) << c.step << " state " << c.state << " reason " << reason;
        }
    }
}

TEST(JudgeStep, WithoutAStatusOnlyWhatTheCodeSays) {
    const struct {
        control_step step;
        scm_reason reason;
        control_answer answer;
    } cases[] = {
        {STEP_START, SCM_ALREADY_RUNNING, ANSWER_DONE},
        {STEP_START, SCM_CANNOT_ACCEPT_CONTROL, ANSWER_FAILED},
        {STEP_START, SCM_CONTROL_NOT_ACCEPTED, ANSWER_FAILED},
        {STEP_STOP, SCM_CONTROL_NOT_ACCEPTED, ANSWER_CANNOT_STOP},
        {STEP_STOP, SCM_CANNOT_ACCEPT_CONTROL, ANSWER_FAILED},
        {STEP_STOP, SCM_ALREADY_RUNNING, ANSWER_FAILED},
    };
    for (const auto &c : cases) EXPECT_EQ(judge_step(c.step, {c.reason, 1}, nullptr).answer, c.answer) << c.reason;
}

TEST(PollInterval, ATenthOfTheHintFrom100MsTo1s) {
    const struct {
        uint32_t hint, pause;
    } cases[] = {{0, 100},      {999, 100},     {1000, 100},    {1009, 100},       {1010, 101},
                 {2000, 200},   {9990, 999},    {10000, 1000},  {30000, 1000},     {4294967295u, 1000}};
    for (const auto &c : cases) EXPECT_EQ(poll_interval_ms(c.hint), c.pause) << c.hint;
}

// A scripted service manager with one service "Svc" for the length of a test.
struct scripted_manager {
    temp_file trace;
    temp_file fixture;
    scm_manager *manager = nullptr;
    scm_service *service = nullptr;

    explicit scripted_manager(const std::string &service_line)
        : fixture("trace\t" + trace.path + "\n" + service_line) {
        setenv("SERVICES_FAKE_SCM", fixture.path.c_str(), 1);
        manager = scm_connect(SCM_FOR_CONTROL);
        service = scm_open_service(manager, "Svc", SCM_RIGHT_QUERY_STATUS, nullptr);
    }
    ~scripted_manager() {
        scm_close_service(service);
        scm_disconnect(manager);
        unsetenv("SERVICES_FAKE_SCM");
    }
    // The pauses the program slept, in order.
    std::vector<unsigned long> sleeps() const {
        std::vector<unsigned long> out;
        std::string t = trace.read();
        for (size_t p = 0; (p = t.find("sleep ", p)) != std::string::npos; p += 6)
            out.push_back(strtoul(t.c_str() + p + 6, nullptr, 10));
        return out;
    }
};

TEST(WaitForStop, EndsWhenStoppedOrAfterNoProgressOrAfter20Seconds) {
    const struct {
        int state;
        const char *options;
        control_answer answer;
        uint64_t waited_ms;
        unsigned long pause;  // every pause but the last
    } cases[] = {
        {1, "", ANSWER_DONE, 0, 0},
        {3, "stops_after=0", ANSWER_DONE, 0, 0},
        {3, "stops_after=3", ANSWER_DONE, 600, 200},
        {3, "stops_after=3\thint=0", ANSWER_DONE, 300, 100},          // the floor
        {3, "stops_after=3\thint=500", ANSWER_DONE, 300, 100},
        {3, "stops_after=3\thint=5000", ANSWER_DONE, 1500, 500},
        {3, "stops_after=3\thint=60000", ANSWER_DONE, 3000, 1000},    // the ceiling
        {3, "stops_after=never", ANSWER_STOP_TIMED_OUT, 20000, 200},  // progress, until 20 s
        {3, "stops_after=never\thint=60000", ANSWER_STOP_TIMED_OUT, 20000, 1000},
        {3, "stops_after=never\thint=3000", ANSWER_STOP_TIMED_OUT, 20000, 300},
        {3, "stops_after=never\tcheckpoint=stall", ANSWER_STOP_TIMED_OUT, 2200, 200},  // stuck past its hint
        {3, "stops_after=never\tcheckpoint=stall\thint=0", ANSWER_STOP_TIMED_OUT, 100, 100},
        {3, "stops_after=never\tcheckpoint=stall\thint=60000", ANSWER_STOP_TIMED_OUT, 20000, 1000},
        {3, "stops_after=8\tcheckpoint=stall", ANSWER_DONE, 1600, 200},  // stopped within its hint
        {4, "", ANSWER_STOP_TIMED_OUT, 20000, 100},  // still running: only the 20 s bound
        {3, "status=denied", ANSWER_FAILED, 0, 0},
        {3, "status=31", ANSWER_FAILED, 0, 0},
    };
    for (const auto &c : cases) {
        scripted_manager scm(fixture_service("Svc", "d", c.state, 7, "3", c.options));
        ASSERT_NE(scm.service, nullptr);
        uint64_t before = scm_now_ms();
        control_result r = wait_for_stop(scm.service);
        uint64_t waited = scm_now_ms() - before;
        SCOPED_TRACE(std::string("state ") + std::to_string(c.state) + " " + c.options);
        EXPECT_EQ(r.answer, c.answer);
        EXPECT_EQ(waited, c.waited_ms);
        std::vector<unsigned long> sleeps = scm.sleeps();
        for (size_t i = 0; i + 1 < sleeps.size(); i++) EXPECT_EQ(sleeps[i], c.pause) << "pause " << i;
        if (!sleeps.empty()) {
            EXPECT_LE(sleeps.back(), c.pause);
        }
    }
}

TEST(WaitForStop, AReadRefusedCarriesItsErrorNumber) {
    scripted_manager scm(fixture_service("Svc", "d", 3, 7, "3", "status=31"));
    control_result r = wait_for_stop(scm.service);
    EXPECT_EQ(r.answer, ANSWER_FAILED);
    EXPECT_EQ(r.code, 31u);
}

// Runs a real-mode control request in this process and returns the
// backend's trace from the connection on.
std::string control_trace(const std::string &service_line, const char *op, std::string *response) {
    temp_file trace;
    temp_file fx("trace\t" + trace.path + "\n" + service_line);
    setenv("SERVICES_FAKE_SCM", fx.path.c_str(), 1);
    setenv("SERVICES_ALLOW_CONTROL", "1", 1);
    setenv("REQUEST_METHOD", "POST", 1);
    std::string query = std::string("action=control&unit=Svc&op=") + op;
    *response = capture_stdout([&] { mode_json(query.c_str()); });
    for (const char *v : {"SERVICES_FAKE_SCM", "SERVICES_ALLOW_CONTROL", "REQUEST_METHOD"}) unsetenv(v);
    return trace.read();
}

TEST(Control, EachOpMakesItsCallsInOrderAndReadsNoTable) {
    const struct {
        int state;
        const char *options, *op, *trace;
    } cases[] = {
        {4, "stops_after=2", "restart",
         "connect control\nopen Svc start+stop+status+config+dependents\nconfig Svc\nstop Svc\n"
         "status Svc\nsleep 200\nstatus Svc\nsleep 200\nstatus Svc\nstart Svc\n"},
        {1, "", "restart",
         "connect control\nopen Svc start+stop+status+config+dependents\nconfig Svc\nstop Svc\nstatus Svc\nstart Svc\n"},
        {3, "stops_after=1", "start",
         "connect control\nopen Svc start+status\nstart Svc\nstatus Svc\nstatus Svc\nstart Svc\n"},
        {2, "", "stop", "connect control\nopen Svc stop+status+dependents\nstop Svc\nstatus Svc\n"},
        {4, "", "stop", "connect control\nopen Svc stop+status+dependents\nstop Svc\n"},
        {4, "rights=stop", "stop",
         "connect control\nopen Svc stop+status+dependents\nopen Svc stop\nstop Svc\n"},
    };
    for (const auto &c : cases) {
        std::string response;
        std::string t = control_trace(fixture_service("Svc", "d", c.state, 9, "3", c.options), c.op, &response);
        SCOPED_TRACE(std::string(c.op) + " " + c.options);
        EXPECT_EQ(t, c.trace);
        auto doc = nlohmann::json::parse(response_body(response));
        EXPECT_EQ(doc["ok"], c.state != 2) << response;
    }
}

TEST(Control, RestartGivesUpAt20SecondsWithoutAStart) {
    std::string response;
    std::string t = control_trace(fixture_service("Svc", "d", 4, 9, "3", "stops_after=never"), "restart", &response);
    unsigned long total = 0;
    for (size_t p = 0; (p = t.find("sleep ", p)) != std::string::npos; p += 6) total += strtoul(t.c_str() + p + 6, nullptr, 10);
    EXPECT_EQ(total, 20000ul);
    EXPECT_EQ(t.find("start Svc"), std::string::npos);
    EXPECT_EQ(response, error_response(504, "Gateway Timeout", "service did not stop in time"));
}

}  // namespace
