#include "details.h"

#include <vector>

#include "service_table.h"

namespace {

struct type_word {
    uint32_t type;
    const char *word;
};

const type_word k_types[] = {
    {SCM_TYPE_OWN_PROCESS, "own-process"},
    {SCM_TYPE_SHARED_PROCESS, "shared-process"},
    {SCM_TYPE_PER_USER | SCM_TYPE_OWN_PROCESS, "user-own-process"},
    {SCM_TYPE_PER_USER | SCM_TYPE_SHARED_PROCESS, "user-shared-process"},
    {SCM_TYPE_KERNEL_DRIVER, "kernel-driver"},
    {SCM_TYPE_FILE_SYSTEM_DRIVER, "file-system-driver"},
};

const type_word k_accepts[] = {
    {SCM_ACCEPTS_STOP, "stop"},
    {SCM_ACCEPTS_PAUSE_CONTINUE, "pause-continue"},
    {SCM_ACCEPTS_SHUTDOWN, "shutdown"},
    {SCM_ACCEPTS_PRESHUTDOWN, "preshutdown"},
};

const char *const k_actions[] = {"none", "restart", "reboot", "run-command"};

// The parts read through an opened service, each needing its own right.
enum { PART_STATUS, PART_CONFIG, PART_DEPENDENTS, PART_COUNT };
const uint32_t k_part_rights[PART_COUNT] = {
    SCM_RIGHT_QUERY_STATUS, SCM_RIGHT_QUERY_CONFIG, SCM_RIGHT_ENUM_DEPENDENTS};
const uint32_t k_all_rights = SCM_RIGHT_QUERY_STATUS | SCM_RIGHT_QUERY_CONFIG | SCM_RIGHT_ENUM_DEPENDENTS;

// Everything read of one service, and the storage it lives in.
struct details_read {
    svc_details d;
    scm_status status;
    char *key_name, *display_name, *description;
    scm_config *config;
    scm_names *dependents;
    std::vector<const char *> dependent_names;
    scm_recovery *recovery;
};

void text_or_null(buf *b, const char *s) {
    if (s) json_into(b, s);
    else buf_puts(b, "null");
}

void flag_or_null(buf *b, int flag) {
    buf_puts(b, flag < 0 ? "null" : flag ? "true" : "false");
}

// A number of the status, or null when the status was not read.
void status_number(buf *b, const scm_status *st, uint32_t scm_status::*member) {
    if (st) buf_u64(b, st->*member);
    else buf_puts(b, "null");
}

void names_into(buf *b, const char *const *names, size_t count) {
    buf_puts(b, "[");
    for (size_t i = 0; i < count; i++) {
        if (i) buf_puts(b, ",");
        json_into(b, names[i]);
    }
    buf_puts(b, "]");
}

void recovery_into(buf *b, const scm_recovery *r) {
    if (!r) return buf_puts(b, "null");
    buf_puts(b, "{\"reset_seconds\":");
    buf_u64(b, r->reset_seconds);
    buf_puts(b, ",\"actions\":[");
    for (size_t i = 0; i < r->action_count; i++) {
        buf_puts(b, i ? ",{\"type\":" : "{\"type\":");
        json_into(b, recovery_action_word(r->actions[i].type));
        buf_puts(b, ",\"delay_ms\":");
        buf_u64(b, r->actions[i].delay_ms);
        buf_puts(b, "}");
    }
    buf_puts(b, "]}");
}

// The members from "name" to "account": what the service is.
void what_it_is(buf *b, const svc_details *d) {
    const scm_config *c = d->config;
    buf_puts(b, "{\"name\":");
    json_into(b, d->name);
    buf_puts(b, ",\"display_name\":");
    text_or_null(b, d->display_name);
    buf_puts(b, ",\"description\":");
    text_or_null(b, d->description);
    buf_puts(b, ",\"state\":");
    const scm_status *st = d->status;
    text_or_null(b, st ? active_word(st->state, st->win32_exit_code, st->service_exit_code) : nullptr);
    buf_puts(b, ",\"type\":");
    text_or_null(b, c ? service_type_word(c->type) : nullptr);
    buf_puts(b, ",\"start_type\":");
    text_or_null(b, c ? start_type_word(c->start_type) : nullptr);
    buf_puts(b, ",\"delayed_start\":");
    flag_or_null(b, d->delayed_start);
    buf_puts(b, ",\"trigger_start\":");
    flag_or_null(b, d->trigger_start);
    buf_puts(b, ",\"binary_path\":");
    text_or_null(b, c ? c->binary_path : nullptr);
    buf_puts(b, ",\"account\":");
    text_or_null(b, c ? c->account : nullptr);
}

// The members from "pid" to "recovery": how it runs and what it takes.
void how_it_runs(buf *b, const svc_details *d) {
    const scm_status *st = d->status;
    buf_puts(b, ",\"pid\":");
    status_number(b, st, &scm_status::pid);
    buf_puts(b, ",\"exit_code\":");
    status_number(b, st, &scm_status::win32_exit_code);
    buf_puts(b, ",\"service_exit_code\":");
    status_number(b, st, &scm_status::service_exit_code);
    buf_puts(b, ",\"accepts\":");
    if (st) accepts_into(b, st->controls_accepted);
    else buf_puts(b, "null");
    buf_puts(b, ",\"dependencies\":");
    if (d->config) names_into(b, d->config->dependencies, d->config->dependency_count);
    else buf_puts(b, "null");
    buf_puts(b, ",\"dependents\":");
    if (d->dependents_read) names_into(b, d->dependents, d->dependent_count);
    else buf_puts(b, "null");
    buf_puts(b, ",\"recovery\":");
    recovery_into(b, d->recovery);
    buf_puts(b, "}");
}

// Opens the service with every right the details need; when the account
// lacks one of them, once for each right instead, so that what it may read
// is still read. SCM_OK when at least one open succeeded, else the refusal.
scm_outcome open_parts(scm_manager *m, const char *unit, scm_service *(&parts)[PART_COUNT]) {
    scm_outcome why = {SCM_OK, 0};
    scm_service *all = scm_open_service(m, unit, k_all_rights, &why);
    for (scm_service *&p : parts) p = all;
    if (all || why.reason != SCM_ACCESS_DENIED) return why;
    bool any = false;
    for (int i = 0; i < PART_COUNT; i++) {
        parts[i] = scm_open_service(m, unit, k_part_rights[i], nullptr);
        any = any || parts[i];
    }
    return any ? scm_outcome{SCM_OK, 0} : why;
}

// Closes each opened service once.
void close_parts(scm_service *(&parts)[PART_COUNT]) {
    for (int i = 0; i < PART_COUNT; i++) {
        bool seen = false;
        for (int j = 0; j < i; j++) seen = seen || parts[j] == parts[i];
        if (!seen) scm_close_service(parts[i]);
    }
}

// Reads a flag of the configuration: 1 or 0, or -1 when refused.
int read_flag(scm_service *s, scm_outcome (*read)(scm_service *, bool *)) {
    bool v = false;
    if (read(s, &v).reason != SCM_OK) return -1;
    return v ? 1 : 0;
}

// The names, the configuration and its optional levels.
void read_what_it_is(scm_manager *m, const char *unit, scm_service *s, details_read *r) {
    if (scm_read_names(m, unit, &r->key_name, &r->display_name).reason == SCM_OK) {
        r->d.name = r->key_name;
        r->d.display_name = r->display_name;
    }
    if (!s) return;
    if (scm_read_config(s, &r->config).reason == SCM_OK) r->d.config = r->config;
    if (scm_read_description(s, &r->description).reason == SCM_OK) r->d.description = r->description;
    r->d.delayed_start = read_flag(s, scm_read_delayed_start);
    r->d.trigger_start = read_flag(s, scm_read_trigger_start);
    if (scm_read_recovery(s, &r->recovery).reason == SCM_OK) r->d.recovery = r->recovery;
}

// The status and the dependents, all states.
void read_how_it_runs(scm_service *status, scm_service *dependents, details_read *r) {
    if (status && scm_read_status(status, &r->status).reason == SCM_OK) r->d.status = &r->status;
    if (!dependents || scm_list_dependents(dependents, SCM_DEPENDENTS_ALL, &r->dependents).reason != SCM_OK)
        return;
    for (size_t i = 0; i < scm_names_count(r->dependents); i++) r->dependent_names.push_back(scm_names_at(r->dependents, i));
    r->d.dependents_read = true;
    r->d.dependents = r->dependent_names.data();
    r->d.dependent_count = r->dependent_names.size();
}

void release(details_read *r) {
    scm_text_free(r->key_name);
    scm_text_free(r->display_name);
    scm_text_free(r->description);
    scm_config_free(r->config);
    scm_names_free(r->dependents);
    scm_recovery_free(r->recovery);
}

// The error response for a refused open.
void answer_refusal(scm_outcome why) {
    if (why.reason == SCM_NO_SUCH_SERVICE) return err_json(404, "Not Found", "service not found");
    if (why.reason == SCM_ACCESS_DENIED) return err_json(403, "Forbidden", "access denied");
    err_json(500, "Internal Server Error", "details failed");
}

}  // namespace

const char *service_type_word(uint32_t type) {
    uint32_t base = type & ~(uint32_t)(SCM_TYPE_USER_INSTANCE | SCM_TYPE_INTERACTIVE);
    for (const type_word &t : k_types)
        if (t.type == base) return t.word;
    return "other";
}

const char *recovery_action_word(uint32_t type) {
    return type < sizeof k_actions / sizeof k_actions[0] ? k_actions[type] : "none";
}

void accepts_into(buf *b, uint32_t accepts) {
    buf_puts(b, "[");
    bool first = true;
    for (const type_word &a : k_accepts) {
        if (!(accepts & a.type)) continue;
        if (!first) buf_puts(b, ",");
        json_into(b, a.word);
        first = false;
    }
    buf_puts(b, "]");
}

void details_document(buf *b, const svc_details *d) {
    document_start(b);
    buf_puts(b, ",\"details\":");
    what_it_is(b, d);
    how_it_runs(b, d);
    buf_puts(b, "}\n");
}

void details_action(const request_params *p) {
    if (!p->unit[0]) return err_json(400, "Bad Request", "missing unit");
    if (!valid_unit(p->unit)) return err_json(400, "Bad Request", "invalid unit");
    g_init = INIT_WINDOWS_SCM;
    scm_manager *m = scm_connect(SCM_FOR_DETAILS);
    if (!m) return err_json(500, "Internal Server Error", "details failed");
    scm_service *parts[PART_COUNT];
    scm_outcome why = open_parts(m, p->unit, parts);
    if (why.reason != SCM_OK) {
        scm_disconnect(m);
        return answer_refusal(why);
    }
    details_read r = {};
    r.d.name = p->unit;
    r.d.delayed_start = r.d.trigger_start = -1;
    read_what_it_is(m, p->unit, parts[PART_CONFIG], &r);
    read_how_it_runs(parts[PART_STATUS], parts[PART_DEPENDENTS], &r);
    close_parts(parts);
    scm_disconnect(m);
    buf doc = {};
    details_document(&doc, &r.d);
    release(&r);
    print_json_header();
    buf_write(&doc);
}
