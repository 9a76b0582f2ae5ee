#include "service_table.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

svc_record g_svc[SVC_MAX];
int g_count;
int g_init;

const char *init_name(void) {
    switch (g_init) {
    case INIT_SYSTEMD: return "systemd";
    case INIT_LAUNCHD: return "launchd";
    case INIT_WINDOWS_SCM: return "windows-scm";
    default: return "none";
    }
}

// 1 when the fixed-width field holds exactly word. The comparison covers the
// word's NUL too, so it reads no further than the word's size.
template <size_t N, size_t M>
static int field_is(const char (&field)[N], const char (&word)[M]) {
    static_assert(M <= N, "the word is wider than the field");
    return memcmp(field, word, M) == 0;
}

int svc_running(const svc_record *r) {
    return field_is(r->active, "running") || field_is(r->active, "active");
}

int svc_failed(const svc_record *r) {
    return field_is(r->active, "failed") || field_is(r->sub, "failed");
}

int svc_cmp(const void *a, const void *b) {
    const svc_record *ra = static_cast<const svc_record *>(a);
    const svc_record *rb = static_cast<const svc_record *>(b);
    int fa = svc_failed(ra), fb = svc_failed(rb);
    if (fa != fb) return fb - fa;
    int na = svc_running(ra), nb = svc_running(rb);
    if (na != nb) return nb - na;
    return strcmp(ra->name, rb->name);
}

struct sort_key {
    int rank;  // 0 failed, 1 running, 2 the rest
    int index;
};

// Moves record keys[i].index to place i for every i, one cycle at a time.
static void apply_order(sort_key *keys, int n) {
    for (int i = 0; i < n; i++) {
        if (keys[i].index == i) continue;
        svc_record held = g_svc[i];
        int at = i;
        for (;;) {
            int from = keys[at].index;
            keys[at].index = at;
            if (from == i) break;
            g_svc[at] = g_svc[from];
            at = from;
        }
        g_svc[at] = held;
    }
}

static bool key_before(const sort_key &a, const sort_key &b) {
    return strcmp(g_svc[a.index].name, g_svc[b.index].name) < 0;
}

// Orders a run of keys of one rank by name, keeping equal names in place. A
// manager lists its services ordered by name already, so a run is checked
// before it is sorted.
static void sort_run(sort_key *first, sort_key *last) {
    if (std::is_sorted(first, last, key_before)) return;
    std::stable_sort(first, last, key_before);
}

// Places the keys by rank, each rank keeping the table's order, then orders
// each rank by name and moves every record once. Comparing records directly
// repeats the word tests for every comparison.
void svc_sort(void) {
    if (g_count < 2) return;
    static sort_key keys[SVC_MAX];
    int start[4] = {0, 0, 0, 0};
    for (int i = 0; i < g_count; i++) {
        int rank = svc_failed(&g_svc[i]) ? 0 : svc_running(&g_svc[i]) ? 1 : 2;
        keys[i] = {rank, i};
        start[rank + 1]++;
    }
    for (int r = 1; r < 4; r++) start[r] += start[r - 1];
    static sort_key placed[SVC_MAX];
    int next[3] = {start[0], start[1], start[2]};
    for (int i = 0; i < g_count; i++) placed[next[keys[i].rank]++] = keys[i];
    for (int r = 0; r < 3; r++) sort_run(placed + start[r], placed + start[r + 1]);
    apply_order(placed, g_count);
}

// Writes the decimal digits of v and a NUL into dst, which holds at least 11 bytes.
static void decimal_into(char *dst, uint32_t v) {
    char digits[10];
    int n = 0;
    do {
        digits[n++] = (char)('0' + v % 10);
        v /= 10;
    } while (v);
    while (n) *dst++ = digits[--n];
    *dst = '\0';
}

void str_copy(char *dst, size_t cap, const char *src) {
    if (!src) {
        dst[0] = '\0';
        return;
    }
    size_t n = strlen(src);
    if (n >= cap) n = cap - 1;
    memcpy(dst, src, n);
    dst[n] = '\0';
}

void str_copy_utf8(char *dst, size_t cap, const char *src) {
    if (!src) {
        dst[0] = '\0';
        return;
    }
    size_t n = strnlen(src, cap);
    if (n == cap) {
        n = cap - 1;
        // Cut before the lead byte when the byte after the cut continues its sequence.
        size_t back = n;
        while (back > 0 && n - back < 3 && ((unsigned char)src[back] & 0xC0) == 0x80) back--;
        if (((unsigned char)src[n] & 0xC0) == 0x80 && ((unsigned char)src[back] & 0xC0) == 0xC0) n = back;
    }
    memcpy(dst, src, n);
    dst[n] = '\0';
}

const char *state_word(uint32_t state) {
    switch (state) {
    case 1: return "inactive";
    case 2: return "starting";
    case 3: return "stopping";
    case 4: return "running";
    case 7: return "paused";
    default: return "unknown";
    }
}

const char *start_type_word(uint32_t start_type) {
    static const char *const words[] = {"boot", "system", "automatic", "manual", "disabled"};
    return start_type < 5 ? words[start_type] : "-";
}

int svc_exit_failed(uint32_t state, uint32_t exit_code, uint32_t service_exit_code) {
    if (state != SCM_STATE_STOPPED || exit_code == 0 || exit_code == SCM_EXIT_NEVER_STARTED) return 0;
    return exit_code != SCM_EXIT_SERVICE_SPECIFIC || service_exit_code != 0;
}

const char *active_word(uint32_t state, uint32_t exit_code, uint32_t service_exit_code) {
    return svc_exit_failed(state, exit_code, service_exit_code) ? "failed" : state_word(state);
}

// The civil date of a day count since 1970-01-01, in the proleptic
// Gregorian calendar, counted in 400-year eras of 146097 days from 0000-03-01.
static void civil_date(int64_t days, int64_t *year, int *month, int *day) {
    days += 719468;
    int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    int64_t doe = days - era * 146097;                                    // day of the era
    int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;  // year of the era
    int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);                // day of the year from March
    int64_t mp = (5 * doy + 2) / 153;                                     // month from March
    *day = (int)(doy - (153 * mp + 2) / 5 + 1);
    *month = (int)(mp < 10 ? mp + 3 : mp - 9);
    *year = yoe + era * 400 + (*month <= 2 ? 1 : 0);
}

void utc_text(char *dst, size_t cap, int64_t seconds) {
    int64_t days = seconds / 86400, rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        days--;
    }
    int64_t year;
    int month, day;
    civil_date(days, &year, &month, &day);
    snprintf(dst, cap, "%04lld-%02d-%02d %02d:%02d:%02d UTC", (long long)year, month, day, (int)(rest / 3600),
             (int)(rest / 60 % 60), (int)(rest % 60));
}

// Appends one enumerated entry to the table; enabled starts as "-". A
// stopped service whose exit codes report an error is "failed".
static void append_record(const scm_entry *e) {
    svc_record *r = &g_svc[g_count++];
    memset(r, 0, sizeof *r);
    str_copy_utf8(r->name, sizeof r->name, e->name);
    str_copy_utf8(r->description, sizeof r->description, e->display_name);
    str_copy(r->active, sizeof r->active, active_word(e->state, e->exit_code, e->service_exit_code));
    decimal_into(r->sub, e->state);
    str_copy(r->enabled, sizeof r->enabled, "-");
    r->pid = (int32_t)e->pid;
    r->memory_bytes = 0;
    str_copy(r->since, sizeof r->since, "-");
}

// Sets the start type of record r from the service database, or, where the
// database has none for it, from the manager's configuration of the service.
static void read_start_type(scm_database *db, scm_manager *m, const scm_entry *e, svc_record *r) {
    uint32_t type;
    if (scm_database_start_type(db, e->name, &type) || scm_query_start_type(m, e->name, &type))
        str_copy(r->enabled, sizeof r->enabled, start_type_word(type));
}

// 1 when the load reads the start type and process of record i: of every
// record when only is null, else of the records named only.
static int wanted(int i, const char *only) {
    return !only || strcmp(g_svc[i].name, only) == 0;
}

// Reads the start types the load wants, one after another, with the
// database opened once. Entry i of the list is record i of the table, since
// the load appends in order.
static void read_start_types(scm_manager *m, const scm_list *list, const char *only) {
    if (g_count == 0) return;
    scm_database *db = scm_database_open();
    for (int i = 0; i < g_count; i++) {
        const scm_entry *e = scm_list_at(list, (size_t)i);
        if (e && e->name && wanted(i, only)) read_start_type(db, m, e, &g_svc[i]);
    }
    scm_database_close(db);
}

// Gives record r what was read of its process: memory, and since when it
// runs as display text.
static void take_process(svc_record *r, const scm_process *p) {
    r->memory_bytes = p->working_set;
    if (p->created_known) utc_text(r->since, sizeof r->since, p->created);
}

static bool pid_before(int a, int b) {
    return g_svc[a].pid < g_svc[b].pid;
}

// Reads the process of every wanted record that has one, each distinct
// process once however many services it hosts.
static void read_processes(const char *only) {
    static int with_pid[SVC_MAX];  // record indexes, ordered by pid
    int n = 0;
    for (int i = 0; i < g_count; i++)
        if (g_svc[i].pid != 0 && wanted(i, only)) with_pid[n++] = i;
    std::sort(with_pid, with_pid + n, pid_before);
    for (int first = 0, next; first < n; first = next) {
        int32_t pid = g_svc[with_pid[first]].pid;
        scm_process p;
        scm_read_process((uint32_t)pid, &p);
        for (next = first; next < n && g_svc[with_pid[next]].pid == pid; next++)
            take_process(&g_svc[with_pid[next]], &p);
    }
}

void load_services(const char *only) {
    g_count = 0;
    g_init = INIT_WINDOWS_SCM;
    scm_manager *m = scm_connect(SCM_FOR_LISTING);
    if (!m) return;
    scm_list *list = scm_list_services(m);
    size_t total = scm_list_count(list);
    plat_prefault(g_svc, (total < SVC_MAX ? total : (size_t)SVC_MAX) * sizeof(svc_record));
    for (size_t i = 0; i < total && g_count < SVC_MAX; i++) {
        const scm_entry *e = scm_list_at(list, i);
        if (!e) break;
        append_record(e);
    }
    read_start_types(m, list, only);
    read_processes(only);
    scm_list_free(list);
    scm_disconnect(m);
}
