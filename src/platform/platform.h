// The seam between the program and the operating system: the service manager
// and the few process facilities that differ between Windows and elsewhere.
// Everything here uses our own names and types; the backends translate.
// Text crossing this seam is UTF-8.
#ifndef PLUGIN_PLATFORM_H
#define PLUGIN_PLATFORM_H

#include <cstddef>
#include <cstdint>

// ---- service manager -------------------------------------------------------

struct scm_manager;   // a connection to the service manager
struct scm_service;   // one opened service
struct scm_list;      // the result of one enumeration, owned by the backend
struct scm_database;  // the service database, opened for one load

// What a connection is for: listing asks for enumeration rights, control
// only for the right to connect.
enum scm_purpose { SCM_FOR_LISTING, SCM_FOR_CONTROL };

// Access asked when a service is opened for control: stop alone, start and
// stop, or start, stop and status queries (for a restart that waits).
enum scm_access { SCM_ACCESS_STOP, SCM_ACCESS_START_STOP, SCM_ACCESS_RESTART };

// The manager's state numbers (1 stopped ... 7 paused), as the manager gives them.
enum {
    SCM_STATE_STOPPED = 1,
    SCM_STATE_START_PENDING = 2,
    SCM_STATE_STOP_PENDING = 3,
    SCM_STATE_RUNNING = 4,
    SCM_STATE_PAUSED = 7
};

// Outcome of a start or stop request.
enum scm_result {
    SCM_ACCEPTED,          // the manager accepted the request
    SCM_ALREADY_RUNNING,   // start refused: the service is running
    SCM_NOT_ACTIVE,        // stop refused: the service is not running
    SCM_REFUSED            // refused for any other reason
};

// ---- listing ----------------------------------------------------------------

// Exit codes the manager reports for a stopped service: a clean stop gives
// 0; these two say more.
enum {
    SCM_EXIT_SERVICE_SPECIFIC = 1066,  // the service's own code says why
    SCM_EXIT_NEVER_STARTED = 1077      // not started since the system booted
};

// One enumerated service. name and display_name may be null when the
// manager gives none. exit_code is the Win32 code of the service's last
// exit; service_exit_code its own code, meaningful when exit_code is
// SCM_EXIT_SERVICE_SPECIFIC.
struct scm_entry {
    const char *name;
    const char *display_name;
    uint32_t state;
    uint32_t pid;
    uint32_t exit_code;
    uint32_t service_exit_code;
};

// What can be read of a running process: its working set, and when it was
// created in UTC seconds since 1970-01-01 (valid when created_known is 1).
struct scm_process {
    uint64_t working_set;  // bytes; 0 when it could not be read
    int64_t created;
    int created_known;
};

// Opens the local service manager; null when refused.
scm_manager *scm_connect(scm_purpose purpose);
// Closes a connection; null is ignored.
void scm_disconnect(scm_manager *m);

// Enumerates every Win32 service (own and shared process, any state) in the
// manager's order. Null when nothing could be read. The entries stay valid
// until scm_list_free. A null list counts 0 entries and is ignored by free.
scm_list *scm_list_services(scm_manager *m);
size_t scm_list_count(const scm_list *l);
// Entry i, or null when i is out of range.
const scm_entry *scm_list_at(const scm_list *l, size_t i);
void scm_list_free(scm_list *l);

// The service database is where the manager keeps every service's
// configuration: it loads it at start and writes each change to it. Reading a
// start type there costs no call to the manager. Open it once per load; null
// when it cannot be opened. Closing null is ignored.
scm_database *scm_database_open(void);
void scm_database_close(scm_database *d);
// Reads the start type that the database holds for the service named `name`
// (full name, UTF-8). Returns 1 and sets *start_type, or 0 when the service
// has no entry there, its value cannot be read or is not a 32-bit number.
int scm_database_start_type(scm_database *d, const char *name, uint32_t *start_type);
// Asks the manager for the start type in the configuration of the service
// named `name`: one open, one query and one close. Returns 1 and sets
// *start_type, or 0 when it cannot be obtained.
int scm_query_start_type(scm_manager *m, const char *name, uint32_t *start_type);

// Reads the working set and creation time of process pid into *out, each
// as far as it can be read. Returns 0, *out all unknown, when the process
// cannot be opened.
int scm_read_process(uint32_t pid, scm_process *out);

// ---- control ----------------------------------------------------------------

// Opens a service for control; null when it cannot be opened for any reason.
scm_service *scm_open_service(scm_manager *m, const char *name, scm_access access);
void scm_close_service(scm_service *s);
scm_result scm_start(scm_service *s);
scm_result scm_stop(scm_service *s);
// Reads the current state and the wait hint in milliseconds. Returns 0 when
// the status cannot be read.
int scm_query_status(scm_service *s, uint32_t *state, uint32_t *wait_hint_ms);
// Waits, as the manager's clock sees it (the scripted backend only pretends).
void scm_sleep_ms(uint32_t ms);

// ---- process facilities ----------------------------------------------------

// Makes standard output write bytes untranslated.
void plat_stdout_binary(void);
// Appends len bytes to the file at path, created when missing, as one atomic
// append. The path is taken as the process environment gives it (the system
// code page on Windows). Returns 1 when all bytes were written.
int plat_append(const char *path, const char *data, size_t len);
// Backs the len bytes at addr with memory at once where the system offers
// it, which costs less than a fault for each page as it is first written.
// Only a hint: the memory is usable either way.
void plat_prefault(void *addr, size_t len);

#endif
