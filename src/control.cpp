// The control action: start, stop or restart one service, or record the
// request in the mock log. Every refusal of the service manager is answered
// with what it means for the operator.
#include "control.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "actions.h"
#include "request.h"

namespace {

// Longest a wait for a stop goes on, in milliseconds.
const uint32_t k_stop_wait_ms = 20000;
// At most this many running dependents are named in a refusal.
const size_t k_dependents_named = 8;

struct answer_text {
    control_answer answer;
    int status;
    const char *reason, *message;
};

const answer_text k_answers[] = {
    {ANSWER_MANAGER_FAILED, 500, "Internal Server Error", "control failed"},
    {ANSWER_NOT_FOUND, 404, "Not Found", "service not found"},
    {ANSWER_ACCESS_DENIED, 403, "Forbidden", "access denied"},
    {ANSWER_DISABLED, 409, "Conflict", "service is disabled"},
    {ANSWER_MARKED_FOR_DELETE, 409, "Conflict", "service is marked for deletion"},
    {ANSWER_DEPENDENTS_RUNNING, 409, "Conflict", "dependent services are running"},
    {ANSWER_CANNOT_STOP, 409, "Conflict", "service cannot be stopped"},
    {ANSWER_STARTING, 409, "Conflict", "service is starting"},
    {ANSWER_PAUSED, 409, "Conflict", "service is paused"},
    {ANSWER_NO_RESPONSE, 504, "Gateway Timeout", "service did not respond in time"},
    {ANSWER_STOP_TIMED_OUT, 504, "Gateway Timeout", "service did not stop in time"},
    {ANSWER_FAILED, 500, "Internal Server Error", "control failed"},
};

// The answer of the refusals that say by themselves what happened.
struct reason_answer {
    scm_reason reason;
    control_answer answer;
};

const reason_answer k_settled[] = {
    {SCM_NO_SUCH_SERVICE, ANSWER_NOT_FOUND},
    {SCM_ACCESS_DENIED, ANSWER_ACCESS_DENIED},
    {SCM_DISABLED, ANSWER_DISABLED},
    {SCM_MARKED_FOR_DELETE, ANSWER_MARKED_FOR_DELETE},
    {SCM_DEPENDENTS_RUNNING, ANSWER_DEPENDENTS_RUNNING},
    {SCM_TIMED_OUT, ANSWER_NO_RESPONSE},
};

}  // namespace

// The length of the well-formed UTF-8 sequence at p (1 to 4 bytes), or 0:
// no overlong forms, no surrogates, nothing above U+10FFFF, none cut short.
static size_t utf8_length(const unsigned char *p) {
    unsigned char c = p[0], lo = 0x80, hi = 0xbf;
    size_t n;
    if (c < 0x80) return 1;
    if (c >= 0xc2 && c <= 0xdf) n = 2;
    else if (c >= 0xe0 && c <= 0xef) n = 3;
    else if (c >= 0xf0 && c <= 0xf4) n = 4;
    else return 0;
    if (c == 0xe0) lo = 0xa0;
    if (c == 0xed) hi = 0x9f;
    if (c == 0xf0) lo = 0x90;
    if (c == 0xf4) hi = 0x8f;
    if (p[1] < lo || p[1] > hi) return 0;
    for (size_t i = 2; i < n; i++)
        if ((p[i] & 0xc0) != 0x80) return 0;
    return n;
}

int valid_unit(const char *s) {
    size_t n = strlen(s);
    if (n == 0 || n > 255) return 0;
    for (const unsigned char *p = (const unsigned char *)s; *p;) {
        if (*p < 0x20 || *p == 0x7f || *p == '/') return 0;
        size_t len = utf8_length(p);
        if (!len) return 0;
        p += len;
    }
    return 1;
}

// 1 for the refusals whose code does not tell the service's state by
// itself: Windows and Wine give different ones for the same state.
static bool needs_status(scm_reason r) {
    return r == SCM_ALREADY_RUNNING || r == SCM_CANNOT_ACCEPT_CONTROL || r == SCM_CONTROL_NOT_ACCEPTED;
}

static bool has_process(uint32_t state) {
    return state == SCM_STATE_RUNNING || state == SCM_STATE_PAUSED || state == SCM_STATE_PAUSE_PENDING ||
           state == SCM_STATE_CONTINUE_PENDING;
}

// A refused stop, judged by the status read after it.
static control_answer stop_by_state(const scm_status *st) {
    if (st->state == SCM_STATE_STOPPED || st->state == SCM_STATE_STOP_PENDING) return ANSWER_DONE;
    if (st->state == SCM_STATE_START_PENDING) return ANSWER_STARTING;
    if (has_process(st->state) && !(st->controls_accepted & SCM_ACCEPTS_STOP)) return ANSWER_CANNOT_STOP;
    return ANSWER_FAILED;
}

// A refused start, judged by the status read after it.
static control_answer start_by_state(const scm_status *st) {
    switch (st->state) {
    case SCM_STATE_RUNNING:
    case SCM_STATE_START_PENDING:
    case SCM_STATE_CONTINUE_PENDING: return ANSWER_DONE;
    case SCM_STATE_PAUSED:
    case SCM_STATE_PAUSE_PENDING: return ANSWER_PAUSED;
    case SCM_STATE_STOPPED:
    case SCM_STATE_STOP_PENDING: return ANSWER_WAIT_FOR_STOP;
    default: return ANSWER_FAILED;
    }
}

// A refusal whose code needs the status, when the status could not be read:
// only what the code alone says.
static control_answer by_code_alone(control_step step, scm_reason r) {
    if (step == STEP_START && r == SCM_ALREADY_RUNNING) return ANSWER_DONE;
    if (step == STEP_STOP && r == SCM_CONTROL_NOT_ACCEPTED) return ANSWER_CANNOT_STOP;
    return ANSWER_FAILED;
}

static control_answer settled_answer(scm_reason r) {
    for (const reason_answer &s : k_settled)
        if (s.reason == r) return s.answer;
    return ANSWER_FAILED;
}

control_result judge_step(control_step step, scm_outcome outcome, const scm_status *status) {
    if (outcome.reason == SCM_OK) return {ANSWER_DONE, 0};
    if (step == STEP_STOP && outcome.reason == SCM_NOT_ACTIVE) return {ANSWER_DONE, 0};
    control_answer a;
    if (!needs_status(outcome.reason)) a = settled_answer(outcome.reason);
    else if (!status) a = by_code_alone(step, outcome.reason);
    else a = step == STEP_STOP ? stop_by_state(status) : start_by_state(status);
    return {a, a == ANSWER_DONE ? 0 : outcome.code};
}

uint32_t poll_interval_ms(uint32_t wait_hint_ms) {
    uint32_t pause = wait_hint_ms / 10;
    if (pause < 100) return 100;
    return pause > 1000 ? 1000 : pause;
}

control_result wait_for_stop(scm_service *s) {
    uint64_t start = scm_now_ms(), progress = start;
    uint32_t check_point = 0;
    for (bool first = true;; first = false) {
        scm_status st;
        scm_outcome r = scm_read_status(s, &st);
        if (r.reason != SCM_OK) return {ANSWER_FAILED, r.code};
        if (st.state == SCM_STATE_STOPPED) return {ANSWER_DONE, 0};
        uint64_t now = scm_now_ms();
        if (first || st.check_point != check_point) progress = now;
        check_point = st.check_point;
        bool stalled = st.state == SCM_STATE_STOP_PENDING && now - progress > st.wait_hint_ms;
        if (stalled || now - start >= k_stop_wait_ms) return {ANSWER_STOP_TIMED_OUT, 0};
        uint64_t left = k_stop_wait_ms - (now - start);
        uint32_t pause = poll_interval_ms(st.wait_hint_ms);
        scm_sleep_ms(pause < left ? pause : (uint32_t)left);
    }
}

// Judges a refused or accepted call, reading the status first when the
// refusal needs it and the service was opened with the right to.
static control_result judge_call(scm_service *s, uint32_t rights, control_step step, scm_outcome outcome) {
    scm_status st;
    const scm_status *read = nullptr;
    if (needs_status(outcome.reason) && (rights & SCM_RIGHT_QUERY_STATUS) && scm_read_status(s, &st).reason == SCM_OK)
        read = &st;
    return judge_step(step, outcome, read);
}

// A start; a service found stopping is waited for, then started again.
static control_result start_service(scm_service *s, uint32_t rights) {
    control_result r = judge_call(s, rights, STEP_START, scm_start(s));
    if (r.answer != ANSWER_WAIT_FOR_STOP) return r;
    r = wait_for_stop(s);
    if (r.answer != ANSWER_DONE) return r;
    r = judge_call(s, rights, STEP_START, scm_start(s));
    // Stopped, and the start still refused: nothing more to wait for.
    return r.answer == ANSWER_WAIT_FOR_STOP ? control_result{ANSWER_FAILED, r.code} : r;
}

static control_result stop_service(scm_service *s, uint32_t rights) {
    return judge_call(s, rights, STEP_STOP, scm_stop(s));
}

// Refuses a disabled service before anything is stopped, stops it, waits
// for the stop and starts it again.
static control_result restart_service(scm_service *s, uint32_t rights) {
    uint32_t start_type;
    bool read = (rights & SCM_RIGHT_QUERY_CONFIG) && scm_read_service_start_type(s, &start_type).reason == SCM_OK;
    if (read && start_type == 4) return {ANSWER_DISABLED, 0};
    control_result r = stop_service(s, rights);
    if (r.answer != ANSWER_DONE) return r;
    r = wait_for_stop(s);
    if (r.answer != ANSWER_DONE) return r;
    return start_service(s, rights);
}

// Each op: the rights it asks for, the fewer it can make do with when the
// account lacks one of the others, and what it does.
struct op_rights {
    const char *op;
    uint32_t wanted, needed;
    control_result (*run)(scm_service *s, uint32_t rights);
};

static const op_rights k_ops[] = {
    {"start", SCM_RIGHT_START | SCM_RIGHT_QUERY_STATUS, SCM_RIGHT_START, start_service},
    {"stop", SCM_RIGHT_STOP | SCM_RIGHT_QUERY_STATUS | SCM_RIGHT_ENUM_DEPENDENTS, SCM_RIGHT_STOP, stop_service},
    {"restart",
     SCM_RIGHT_START | SCM_RIGHT_STOP | SCM_RIGHT_QUERY_STATUS | SCM_RIGHT_QUERY_CONFIG | SCM_RIGHT_ENUM_DEPENDENTS,
     SCM_RIGHT_START | SCM_RIGHT_STOP | SCM_RIGHT_QUERY_STATUS, restart_service},
};

// The op named op, or null.
static const op_rights *find_op(const char *op) {
    for (const op_rights &o : k_ops)
        if (strcmp(op, o.op) == 0) return &o;
    return nullptr;
}

// Opens unit with the rights op wants or, when the account lacks one of
// them, with only those it needs. *rights tells which were granted.
static scm_service *open_for(scm_manager *m, const char *unit, const op_rights *op, uint32_t *rights,
                             scm_outcome *why) {
    *rights = op->wanted;
    scm_service *s = scm_open_service(m, unit, *rights, why);
    if (s || why->reason != SCM_ACCESS_DENIED || op->needed == op->wanted) return s;
    *rights = op->needed;
    return scm_open_service(m, unit, *rights, why);
}

// Appends ": A, B, ..." naming at most k_dependents_named of the service's
// running dependents; nothing when they cannot be read or there are none.
static void name_dependents(buf *b, scm_service *s, uint32_t rights) {
    scm_names *names = nullptr;
    if (!(rights & SCM_RIGHT_ENUM_DEPENDENTS) ||
        scm_list_dependents(s, SCM_DEPENDENTS_ACTIVE, &names).reason != SCM_OK)
        return;
    size_t count = scm_names_count(names);
    for (size_t i = 0; i < count && i < k_dependents_named; i++) {
        buf_puts(b, i ? ", " : ": ");
        buf_puts(b, scm_names_at(names, i));
    }
    if (count > k_dependents_named) buf_puts(b, ", ...");
    scm_names_free(names);
}

// Writes the error response of a result other than ANSWER_DONE; s (null
// when not opened) is asked for the dependents a refusal names.
static void write_refusal(control_result r, scm_service *s, uint32_t rights) {
    const answer_text *t = &k_answers[0];
    for (const answer_text &a : k_answers)
        if (a.answer == r.answer) t = &a;
    buf message = {};
    buf_puts(&message, t->message);
    if (r.answer == ANSWER_FAILED) {
        char code[32];
        snprintf(code, sizeof code, " (error %lu)", (unsigned long)r.code);
        buf_puts(&message, code);
    }
    if (r.answer == ANSWER_DEPENDENTS_RUNNING && s) name_dependents(&message, s, rights);
    err_json(t->status, t->reason, message.data ? message.data : t->message);
    buf_free(&message);
}

// Carries out op on unit through the service manager; writes the error
// response and returns 0 when it comes to anything but done.
static int control_service(const char *unit, const op_rights *op) {
    scm_manager *m = scm_connect(SCM_FOR_CONTROL);
    if (!m) {
        write_refusal({ANSWER_MANAGER_FAILED, 0}, nullptr, 0);
        return 0;
    }
    uint32_t rights;
    scm_outcome why;
    scm_service *s = open_for(m, unit, op, &rights, &why);
    control_result r = s ? op->run(s, rights) : control_result{settled_answer(why.reason), why.code};
    if (r.answer != ANSWER_DONE) write_refusal(r, s, rights);
    scm_close_service(s);
    scm_disconnect(m);
    return r.answer == ANSWER_DONE;
}

// 1 when the browser says the request comes from another site.
static int cross_site_request(void) {
    const char *site = getenv("HTTP_SEC_FETCH_SITE");
    return site && (strcmp(site, "cross-site") == 0 || strcmp(site, "same-site") == 0);
}

// Appends "systemctl OP UNIT" to the mock log; a log that cannot be written
// is not reported.
static void mock_control(const char *log, const char *unit, const char *op) {
    char line[320];
    int n = snprintf(line, sizeof line, "systemctl %s %s\n", op, unit);
    if (n > 0 && (size_t)n < sizeof line) plat_append(log, line, (size_t)n);
}

void control_action(const request_params *p) {
    if (!g_control) return err_json(403, "Forbidden", "control_disabled");
    if (!is_post_request()) return err_json(405, "Method Not Allowed", "control requires POST");
    if (cross_site_request()) return err_json(403, "Forbidden", "cross-site request refused");
    if (!valid_unit(p->unit)) return err_json(400, "Bad Request", "invalid unit");
    const op_rights *op = find_op(p->op);
    if (!op) return err_json(400, "Bad Request", "op must be start|stop|restart");
    const char *log = getenv("SERVICES_MOCK_SYSTEMCTL_LOG");
    if (log && *log) mock_control(log, p->unit, p->op);
    else if (!control_service(p->unit, op)) return;
    buf doc = {};
    buf_puts(&doc, "{\"ok\":true,\"unit\":");
    json_into(&doc, p->unit);
    buf_puts(&doc, ",\"op\":");
    json_into(&doc, p->op);
    buf_puts(&doc, ",\"control_enabled\":true,\"init_system\":");
    json_into(&doc, init_name());
    buf_puts(&doc, "}\n");
    print_json_header();
    buf_write(&doc);
}
