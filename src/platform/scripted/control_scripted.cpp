// The service-level half of the scripted service manager. Every call is
// traced and answered as the fixture scripts it, or else as the manager
// would answer for the service's state, which this process's own starts,
// stops and status reads move on. Its clock moves only when it is told to
// sleep.
#include <cstring>
#include <string>
#include <vector>

#include "fixture.h"

struct scm_names {
    std::string text;            // every name, NUL-terminated, back to back
    std::vector<size_t> starts;  // where each name begins in text
};

namespace {

uint64_t g_clock_ms;

const scm_outcome k_done = {SCM_OK, 0};

struct right_word {
    uint32_t bit;
    const char *word;
};

const right_word k_right_words[] = {
    {SCM_RIGHT_START, "start"},   {SCM_RIGHT_STOP, "stop"},
    {SCM_RIGHT_QUERY_STATUS, "status"}, {SCM_RIGHT_QUERY_CONFIG, "config"},
    {SCM_RIGHT_ENUM_DEPENDENTS, "dependents"},
};

// " start+status" for the rights asked, as the trace shows them.
std::string rights_text(uint32_t rights) {
    std::string text;
    for (const right_word &r : k_right_words)
        if (rights & r.bit) text += (text.empty() ? " " : "+") + std::string(r.word);
    return text.empty() ? " none" : text;
}

// 1 for the states in which a service has a running process to control.
bool runs(uint32_t state) {
    return state == SCM_STATE_RUNNING || state == SCM_STATE_PAUSED || state == SCM_STATE_PAUSE_PENDING ||
           state == SCM_STATE_CONTINUE_PENDING;
}

bool pending(uint32_t state) {
    return state == SCM_STATE_START_PENDING || state == SCM_STATE_STOP_PENDING ||
           state == SCM_STATE_PAUSE_PENDING || state == SCM_STATE_CONTINUE_PENDING;
}

uint32_t accepts_now(const scripted_service *v) {
    if (v->entry.state == SCM_STATE_STOPPED) return 0;
    if (v->accepts >= 0) return (uint32_t)v->accepts;
    return runs(v->entry.state) ? SCM_ACCEPTS_STOP : 0;
}

bool held(const scm_service *s, uint32_t right) { return (s->rights & right) != 0; }

bool dependent_active(const char *name) {
    const scripted_service *d = find_service(name);
    return d && d->entry.state != SCM_STATE_STOPPED;
}

// Calls f with each dependent's name in the fixture's order.
template <typename F>
void each_dependent(const scripted_service *v, F f) {
    const char *p = v->dependents;
    for (uint32_t i = 0; i < v->dependent_count; i++, p += strlen(p) + 1) f(p);
}

bool any_dependent_active(const scripted_service *v) {
    bool any = false;
    each_dependent(v, [&](const char *name) { any = any || dependent_active(name); });
    return any;
}

// What the manager answers a start in the service's state.
scm_outcome natural_start(const scm_service *s) {
    const scripted_service *v = s->svc;
    if (!held(s, SCM_RIGHT_START)) return scripted_refusal(SCM_ACCESS_DENIED);
    if (v->entry.state != SCM_STATE_STOPPED) return scripted_refusal(SCM_ALREADY_RUNNING);
    if (v->start == START_NUMBER && v->start_type == 4) return scripted_refusal(SCM_DISABLED);
    return k_done;
}

// What the manager answers a stop in the service's state.
scm_outcome natural_stop(const scm_service *s) {
    const scripted_service *v = s->svc;
    uint32_t state = v->entry.state;
    if (!held(s, SCM_RIGHT_STOP)) return scripted_refusal(SCM_ACCESS_DENIED);
    if (state == SCM_STATE_STOPPED) return scripted_refusal(SCM_NOT_ACTIVE);
    if (state == SCM_STATE_START_PENDING || state == SCM_STATE_STOP_PENDING)
        return scripted_refusal(SCM_CANNOT_ACCEPT_CONTROL);
    if (!(accepts_now(v) & SCM_ACCEPTS_STOP)) return scripted_refusal(SCM_CONTROL_NOT_ACCEPTED);
    if (any_dependent_active(v)) return scripted_refusal(SCM_DEPENDENTS_RUNNING);
    return k_done;
}

// One status read moves a pending service on: its check point advances
// unless it stalls, and a stopping one is stopped once its reads are spent.
void advance(scripted_service *v) {
    if (!pending(v->entry.state)) return;
    bool stopping = v->entry.state == SCM_STATE_STOP_PENDING;
    if (stopping && v->stops_after >= 0 && v->polls >= v->stops_after) {
        v->entry.state = SCM_STATE_STOPPED;
        v->entry.pid = 0;
        v->check_point = 0;
        return;
    }
    if (stopping) v->polls++;
    if (!v->stall) v->check_point++;
}

}  // namespace

scm_service *scm_open_service(scm_manager *m, const char *name, uint32_t rights, scm_outcome *why) {
    scm_outcome ignored;
    scm_outcome &out = why ? *why : ignored;
    if (!m || !name) {
        out = scripted_refusal(SCM_OTHER);
        return nullptr;
    }
    trace("open", name, rights_text(rights).c_str());
    scripted_service *v = find_service(name);
    if (!v) out = scripted_refusal(SCM_NO_SUCH_SERVICE);
    else if (v->on_open.set) out = v->on_open.outcome;
    else if (rights & ~v->rights) out = scripted_refusal(SCM_ACCESS_DENIED);
    else out = k_done;
    return out.reason == SCM_OK ? new scm_service{v, rights} : nullptr;
}

void scm_close_service(scm_service *s) { delete s; }

scm_outcome scm_start(scm_service *s) {
    scripted_service *v = s->svc;
    trace("start", v->entry.name);
    scm_outcome r = v->on_start.set ? v->on_start.outcome : natural_start(s);
    if (r.reason == SCM_OK) {
        v->entry.state = SCM_STATE_RUNNING;
        v->entry.pid++;
    }
    return r;
}

scm_outcome scm_stop(scm_service *s) {
    scripted_service *v = s->svc;
    trace("stop", v->entry.name);
    scm_outcome r = v->on_stop.set ? v->on_stop.outcome : natural_stop(s);
    if (r.reason == SCM_OK) {
        v->entry.state = SCM_STATE_STOP_PENDING;
        v->polls = 0;
        v->check_point = 0;
    }
    return r;
}

scm_outcome scm_read_status(scm_service *s, scm_status *out) {
    scripted_service *v = s->svc;
    trace("status", v->entry.name);
    if (v->on_status.set && v->on_status.outcome.reason != SCM_OK) return v->on_status.outcome;
    if (!held(s, SCM_RIGHT_QUERY_STATUS)) return scripted_refusal(SCM_ACCESS_DENIED);
    advance(v);
    out->state = v->entry.state;
    out->controls_accepted = accepts_now(v);
    out->win32_exit_code = v->entry.exit_code;
    out->service_exit_code = v->entry.service_exit_code;
    out->check_point = pending(v->entry.state) ? v->check_point : 0;
    out->wait_hint_ms = pending(v->entry.state) ? v->wait_hint_ms : 0;
    out->pid = v->entry.pid;
    return k_done;
}

scm_outcome scm_read_service_start_type(scm_service *s, uint32_t *start_type) {
    const scripted_service *v = s->svc;
    trace("config", v->entry.name);
    if (!held(s, SCM_RIGHT_QUERY_CONFIG) || v->start == START_CLOSED) return scripted_refusal(SCM_ACCESS_DENIED);
    if (v->start == START_UNREADABLE) return scripted_refusal(SCM_OTHER);
    *start_type = v->start_type;
    return k_done;
}

scm_outcome scm_list_dependents(scm_service *s, scm_which which, scm_names **out) {
    const scripted_service *v = s->svc;
    *out = nullptr;
    trace("dependents", v->entry.name, which == SCM_DEPENDENTS_ALL ? " all" : " active");
    if (!held(s, SCM_RIGHT_ENUM_DEPENDENTS)) return scripted_refusal(SCM_ACCESS_DENIED);
    scm_names *n = new scm_names;
    each_dependent(v, [&](const char *name) {
        if (which == SCM_DEPENDENTS_ACTIVE && !dependent_active(name)) return;
        n->starts.push_back(n->text.size());
        n->text.append(name, strlen(name) + 1);
    });
    *out = n;
    return k_done;
}

size_t scm_names_count(const scm_names *n) { return n ? n->starts.size() : 0; }

const char *scm_names_at(const scm_names *n, size_t i) {
    return n && i < n->starts.size() ? n->text.c_str() + n->starts[i] : nullptr;
}

void scm_names_free(scm_names *n) { delete n; }

uint64_t scm_now_ms(void) { return g_clock_ms; }

void scm_sleep_ms(uint32_t ms) {
    trace("sleep", std::to_string(ms).c_str());
    g_clock_ms += ms;
}
