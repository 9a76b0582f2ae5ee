// The control half of the scripted service manager: every call is traced
// and answered as the fixture scripts it.
#include <string>

#include "fixture.h"

scm_service *scm_open_service(scm_manager *m, const char *name, scm_access access) {
    static const char *const rights[] = {" 0x20", " 0x30", " 0x34"};
    trace("open", name, rights[access]);
    scripted_service *s = m ? find_service(name) : nullptr;
    if (!s || s->control_closed) return nullptr;
    return new scm_service{s, 0};
}

void scm_close_service(scm_service *s) { delete s; }

scm_result scm_start(scm_service *s) {
    trace("start", s->svc->entry.name);
    return s->svc->on_start;
}

scm_result scm_stop(scm_service *s) {
    trace("stop", s->svc->entry.name);
    return s->svc->on_stop;
}

int scm_query_status(scm_service *s, uint32_t *state, uint32_t *wait_hint_ms) {
    trace("status", s->svc->entry.name);
    long limit = s->svc->stops_after;
    bool stopped = limit >= 0 && s->polls >= limit;
    s->polls++;
    *state = stopped ? SCM_STATE_STOPPED : SCM_STATE_STOP_PENDING;
    *wait_hint_ms = 2000;
    return 1;
}

void scm_sleep_ms(uint32_t ms) {
    trace("sleep", std::to_string(ms).c_str());
}
