// The listing half of the scripted service manager: connections, the
// enumeration and start types, answered from the fixture.
#include <cstring>

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

scm_reader *scm_reader_new(scm_manager *m) { return m ? new scm_reader{m, 0} : nullptr; }

void scm_reader_free(scm_reader *r) { delete r; }

int scm_read_start_type(scm_reader *r, const char *name, uint32_t *start_type) {
    if (!r || !name) return 0;
    // A load asks in the order of the list with the list's own pointers, so
    // the entry after the last answered is looked at before the index.
    std::vector<scripted_service> &all = g_fixture.services;
    size_t at = r->next;
    bool hit = at < all.size() && all[at].entry.name == name;
    scripted_service *s = hit ? &all[all[at].first_of_name] : find_service(name);
    if (s) r->next = hit ? at + 1 : (size_t)(s - all.data()) + 1;
    if (!s || s->start == START_CLOSED) return 0;
    if (s->start == START_UNREADABLE) return 0;
    *start_type = s->start_type;
    return 1;
}

