// The listing half of the scripted service manager: connections, the
// enumeration, start types and processes, answered from the fixture.
#include <cstring>
#include <string>

#include "fixture.h"

scm_manager *scm_connect(scm_purpose purpose) {
    if (!load_fixture() || g_fixture.refuse_all) return nullptr;
    if (purpose == SCM_FOR_CONTROL && g_fixture.refuse_control) return nullptr;
    static const char *const words[] = {"listing", "control", "details"};
    trace("connect", words[purpose]);
    return new scm_manager{purpose};
}

void scm_disconnect(scm_manager *m) { delete m; }

scm_list *scm_list_services(scm_manager *m) {
    return m ? new scm_list{g_fixture.services.size()} : nullptr;
}

size_t scm_list_count(const scm_list *l) { return l ? l->count : 0; }

const scm_entry *scm_list_at(const scm_list *l, size_t i) {
    return l && i < l->count && i < g_fixture.services.size() ? &g_fixture.services[i].entry : nullptr;
}

void scm_list_free(scm_list *l) { delete l; }

scm_database *scm_database_open(void) {
    trace("database", g_fixture.refuse_database ? "refused" : "open");
    return g_fixture.refuse_database ? nullptr : new scm_database{0};
}

void scm_database_close(scm_database *d) { delete d; }

// The service a load asks about. A load asks in the order of the list with
// the list's own pointers, so the entry after the last one asked for is
// looked at before the index.
static scripted_service *lookup(size_t *next, const char *name) {
    std::vector<scripted_service> &all = g_fixture.services;
    size_t at = *next;
    bool hit = at < all.size() && all[at].entry.name == name;
    scripted_service *s = hit ? &all[all[at].first_of_name] : find_service(name);
    if (s) *next = hit ? at + 1 : (size_t)(s - all.data()) + 1;
    return s;
}

// Traces a start-type read from source: the number read, or why none was.
static void trace_start_type(const char *source, const char *name, int read, uint32_t type, const char *why) {
    if (!g_fixture.trace_path) return;
    std::string extra = " " + (read ? std::to_string(type) : std::string(why));
    trace(source, name, extra.c_str());
}

int scm_database_start_type(scm_database *d, const char *name, uint32_t *start_type) {
    if (!d || !name) return 0;
    scripted_service *s = lookup(&d->next, name);
    static const char *const words[] = {"", "missing", "unreadable", "text"};
    db_kind kind = s ? s->db : DB_MISSING;
    if (kind == DB_NUMBER) *start_type = s->db_start_type;
    trace_start_type("database", name, kind == DB_NUMBER, kind == DB_NUMBER ? *start_type : 0, words[kind]);
    return kind == DB_NUMBER;
}

int scm_query_start_type(scm_manager *m, const char *name, uint32_t *start_type) {
    if (!m || !name) return 0;
    scripted_service *s = find_service(name);
    start_kind kind = s ? s->start : START_CLOSED;
    if (kind == START_NUMBER) *start_type = s->start_type;
    trace_start_type("config", name, kind == START_NUMBER, kind == START_NUMBER ? *start_type : 0,
                     kind == START_UNREADABLE ? "unreadable" : "closed");
    return kind == START_NUMBER;
}

int scm_read_process(uint32_t pid, scm_process *out) {
    *out = scm_process{};
    if (g_fixture.trace_path) trace("process", std::to_string(pid).c_str());
    for (const scripted_process &p : g_fixture.processes) {
        if (p.pid != pid) continue;
        if (p.closed) return 0;
        *out = p.usage;
        return 1;
    }
    return 0;
}
