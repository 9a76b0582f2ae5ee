// The service table: one fixed array of records, filled once per JSON
// request from the service manager, sorted, then only read.
#ifndef PLUGIN_SERVICE_TABLE_H
#define PLUGIN_SERVICE_TABLE_H

#include <cstddef>
#include <cstdint>

enum { SVC_MAX = 2048 };

struct svc_record {
    char name[192];
    char description[192];
    char active[32];
    char sub[32];
    char enabled[32];
    int32_t pid;
    uint64_t memory_bytes;
    char since[40];
};

enum init_kind { INIT_NONE = 0, INIT_SYSTEMD = 1, INIT_LAUNCHD = 2, INIT_WINDOWS_SCM = 3 };

extern svc_record g_svc[SVC_MAX];
extern int g_count;
extern int g_init;

// Name of the present g_init: "systemd", "launchd", "windows-scm" or "none".
const char *init_name(void);

// 1 when active is "running" or "active".
int svc_running(const svc_record *r);
// 1 when active or sub is "failed".
int svc_failed(const svc_record *r);
// qsort order: failed first, then running, then by name (strcmp).
int svc_cmp(const void *a, const void *b);
// Sorts the first g_count records in svc_cmp order; records that compare
// equal keep their order.
void svc_sort(void);

// Copies src into dst of capacity cap (never 0), cut to cap - 1 bytes;
// a null src gives "".
void str_copy(char *dst, size_t cap, const char *src);
// As str_copy, but a cut never splits a UTF-8 sequence.
void str_copy_utf8(char *dst, size_t cap, const char *src);

// 1 when a service in state `state` stopped with an error: stopped, with an
// exit code that is neither 0 nor SCM_EXIT_NEVER_STARTED, and, for
// SCM_EXIT_SERVICE_SPECIFIC, a service code that is not 0.
int svc_exit_failed(uint32_t state, uint32_t exit_code, uint32_t service_exit_code);
// The word of `active` for a service in that state with those exit codes:
// "failed" when svc_exit_failed, else state_word(state).
const char *active_word(uint32_t state, uint32_t exit_code, uint32_t service_exit_code);

// Writes seconds since 1970-01-01 UTC as "YYYY-MM-DD HH:MM:SS UTC" into dst
// of capacity cap (40 bytes hold any value).
void utc_text(char *dst, size_t cap, int64_t seconds);

// The word for a manager state number, and for a start type ("-" when unknown).
const char *state_word(uint32_t state);
const char *start_type_word(uint32_t start_type);

// Empties the table, sets g_init to windows-scm and fills the table from the
// service manager. Start types come from the service database, and from the
// manager for a service the database has none for. A service with a process
// gets that process's working set and creation time. With only null every
// record gets its start type and process figures; otherwise only the
// records named only do. Refusals only shorten the table or leave "-"
// defaults.
void load_services(const char *only);

#endif
