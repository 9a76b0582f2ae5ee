// The control action: start, stop or restart one service, or record the
// request in the mock log.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "actions.h"
#include "platform/platform.h"
#include "request.h"

// 1 when the browser says the request comes from another site.
static int cross_site_request(void) {
    const char *site = getenv("HTTP_SEC_FETCH_SITE");
    return site && (strcmp(site, "cross-site") == 0 || strcmp(site, "same-site") == 0);
}

static int valid_op(const char *op) {
    return strcmp(op, "start") == 0 || strcmp(op, "stop") == 0 || strcmp(op, "restart") == 0;
}

static int start_ok(scm_service *s) {
    scm_reason r = scm_start(s).reason;
    return r == SCM_OK || r == SCM_ALREADY_RUNNING;
}

static int stop_ok(scm_service *s) {
    scm_reason r = scm_stop(s).reason;
    return r == SCM_OK || r == SCM_NOT_ACTIVE;
}

// Polls until the service reports stopped, sleeping a tenth of its wait hint
// (100 ms to 1 s) between polls, for at most RESTART_WAIT_LIMIT_MS in all.
static int wait_stopped(scm_service *s) {
    uint32_t waited = 0;
    for (;;) {
        scm_status st;
        if (scm_read_status(s, &st).reason != SCM_OK) return 0;
        if (st.state == SCM_STATE_STOPPED) return 1;
        uint32_t hint = st.wait_hint_ms;
        if (waited >= RESTART_WAIT_LIMIT_MS) return 0;
        uint32_t pause = hint / 10;
        if (pause < 100) pause = 100;
        if (pause > 1000) pause = 1000;
        if (pause > RESTART_WAIT_LIMIT_MS - waited) pause = RESTART_WAIT_LIMIT_MS - waited;
        scm_sleep_ms(pause);
        waited += pause;
    }
}

static int restart_ok(scm_service *s) {
    return stop_ok(s) && wait_stopped(s) && start_ok(s);
}

static uint32_t rights_for(const char *op) {
    if (strcmp(op, "stop") == 0) return SCM_RIGHT_STOP;
    if (strcmp(op, "start") == 0) return SCM_RIGHT_START | SCM_RIGHT_STOP;
    return SCM_RIGHT_START | SCM_RIGHT_STOP | SCM_RIGHT_QUERY_STATUS;
}

// Asks the service manager to carry out op on unit; writes the error
// response and returns 0 when it could not.
static int control_service(const char *unit, const char *op) {
    scm_manager *m = scm_connect(SCM_FOR_CONTROL);
    if (!m) {
        err_json(500, "Internal Server Error", "control failed");
        return 0;
    }
    scm_service *s = scm_open_service(m, unit, rights_for(op), nullptr);
    if (!s) {
        scm_disconnect(m);
        err_json(404, "Not Found", "service not found");
        return 0;
    }
    int ok;
    if (strcmp(op, "start") == 0) ok = start_ok(s);
    else if (strcmp(op, "stop") == 0) ok = stop_ok(s);
    else ok = restart_ok(s);
    scm_close_service(s);
    scm_disconnect(m);
    if (!ok) err_json(500, "Internal Server Error", "control failed");
    return ok;
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
    if (!valid_op(p->op)) return err_json(400, "Bad Request", "op must be start|stop|restart");
    const char *log = getenv("SERVICES_MOCK_SYSTEMCTL_LOG");
    if (log && *log) mock_control(log, p->unit, p->op);
    else if (!control_service(p->unit, p->op)) return;
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
