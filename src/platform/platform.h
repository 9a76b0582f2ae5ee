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
// and the details of one service only for the right to connect.
enum scm_purpose { SCM_FOR_LISTING, SCM_FOR_CONTROL, SCM_FOR_DETAILS };

// The manager's state numbers (1 stopped ... 7 paused), as the manager gives them.
enum {
    SCM_STATE_STOPPED = 1,
    SCM_STATE_START_PENDING = 2,
    SCM_STATE_STOP_PENDING = 3,
    SCM_STATE_RUNNING = 4,
    SCM_STATE_CONTINUE_PENDING = 5,
    SCM_STATE_PAUSE_PENDING = 6,
    SCM_STATE_PAUSED = 7
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

// ---- one service -----------------------------------------------------------
//
// A service is opened by name with the rights its caller needs, and asked
// for no more: an account that lacks one right asked fails the whole open.
// A connection made for control (SCM_FOR_CONTROL) suffices to open one.

// Rights asked when a service is opened, combined as bits.
enum {
    SCM_RIGHT_START = 1u << 0,
    SCM_RIGHT_STOP = 1u << 1,
    SCM_RIGHT_QUERY_STATUS = 1u << 2,
    SCM_RIGHT_QUERY_CONFIG = 1u << 3,
    SCM_RIGHT_ENUM_DEPENDENTS = 1u << 4
};

// Why the manager refused a call, in our own words.
enum scm_reason {
    SCM_OK,                     // not refused
    SCM_NO_SUCH_SERVICE,        // no service of that name, or a name it cannot take
    SCM_ACCESS_DENIED,          // the account lacks a right asked
    SCM_DISABLED,               // start refused: the service is disabled
    SCM_MARKED_FOR_DELETE,      // the service is marked for deletion
    SCM_DEPENDENTS_RUNNING,     // stop refused: services that depend on it run
    SCM_CANNOT_ACCEPT_CONTROL,  // no control can be taken now (stopped or pending)
    SCM_CONTROL_NOT_ACCEPTED,   // the service does not accept this control
    SCM_ALREADY_RUNNING,        // start refused: the service is not stopped
    SCM_NOT_ACTIVE,             // stop refused: the service is not running
    SCM_TIMED_OUT,              // the service did not answer the control in time
    SCM_LEVEL_NOT_SUPPORTED,    // the manager does not know what was asked
    SCM_OTHER                   // anything else; see the code
};

// The answer to one call: a reason, and the platform's own error number
// (0 when not refused) to tell refusals of the reason SCM_OTHER apart.
struct scm_outcome {
    scm_reason reason;
    uint32_t code;
};

// The controls a service accepts now, as bits of scm_status.controls_accepted.
enum {
    SCM_ACCEPTS_STOP = 1u << 0,
    SCM_ACCEPTS_PAUSE_CONTINUE = 1u << 1,
    SCM_ACCEPTS_SHUTDOWN = 1u << 2,
    SCM_ACCEPTS_PRESHUTDOWN = 1u << 3
};

// What the manager reports of a service now.
struct scm_status {
    uint32_t state;              // SCM_STATE_*, or any other number the manager gives
    uint32_t controls_accepted;  // SCM_ACCEPTS_* bits
    uint32_t win32_exit_code;
    uint32_t service_exit_code;
    uint32_t check_point;        // grows while a pending operation makes progress
    uint32_t wait_hint_ms;       // how long the pending operation may take to progress
    uint32_t pid;                // 0 without a process
};

// Which dependents to name: all of them, or those in any state but stopped.
enum scm_which { SCM_DEPENDENTS_ALL, SCM_DEPENDENTS_ACTIVE };

struct scm_names;  // a list of service names, owned by the backend

// Opens the service named `name` (full name, UTF-8) asking for `rights`.
// Null when it cannot be opened; *why (when not null) then says why.
scm_service *scm_open_service(scm_manager *m, const char *name, uint32_t rights, scm_outcome *why);
// Closes an opened service; null is ignored.
void scm_close_service(scm_service *s);
// Asks for a start (SCM_RIGHT_START) or a stop (SCM_RIGHT_STOP). SCM_OK when
// the manager accepted the request; neither waits for the new state.
scm_outcome scm_start(scm_service *s);
scm_outcome scm_stop(scm_service *s);
// Reads the status (SCM_RIGHT_QUERY_STATUS) into *out.
scm_outcome scm_read_status(scm_service *s, scm_status *out);
// Reads the start type (SCM_RIGHT_QUERY_CONFIG): 0 boot ... 4 disabled, or
// any other number the manager gives.
scm_outcome scm_read_service_start_type(scm_service *s, uint32_t *start_type);
// Names the services that depend on this one (SCM_RIGHT_ENUM_DEPENDENTS), in
// the manager's order. *out is null unless SCM_OK; free it with scm_names_free.
scm_outcome scm_list_dependents(scm_service *s, scm_which which, scm_names **out);
size_t scm_names_count(const scm_names *n);
// Name i, or null when i is out of range.
const char *scm_names_at(const scm_names *n, size_t i);
void scm_names_free(scm_names *n);

// Milliseconds on a clock that only moves forward, from an arbitrary start.
uint64_t scm_now_ms(void);
// Waits ms milliseconds. The scripted backend only advances its clock.
void scm_sleep_ms(uint32_t ms);

// ---- the details of one service -------------------------------------------
//
// Reads of what the manager stores for one service. Each may be refused on
// its own; the optional levels (description, delayed start, triggers,
// recovery) are refused as SCM_LEVEL_NOT_SUPPORTED where the manager does
// not know them. Texts are UTF-8.

// The manager's service type bits, as it gives them.
enum {
    SCM_TYPE_KERNEL_DRIVER = 0x1,
    SCM_TYPE_FILE_SYSTEM_DRIVER = 0x2,
    SCM_TYPE_OWN_PROCESS = 0x10,
    SCM_TYPE_SHARED_PROCESS = 0x20,
    SCM_TYPE_PER_USER = 0x40,       // with own or shared process: a per-user service
    SCM_TYPE_USER_INSTANCE = 0x80,  // a per-user service's copy for one logon
    SCM_TYPE_INTERACTIVE = 0x100    // may interact with the desktop
};

// What the configuration of a service holds. A text that could not be
// converted is null.
struct scm_config {
    uint32_t type;                  // SCM_TYPE_* bits
    uint32_t start_type;            // 0 boot ... 4 disabled, or any other number
    const char *binary_path;        // the command line; "" when none
    const char *account;            // the start name; "" when none
    const char *const *dependencies;  // services, and load-order groups with a leading "+"
    size_t dependency_count;
};

// A recovery action's type, as the manager numbers it.
enum {
    SCM_ACTION_NONE = 0,
    SCM_ACTION_RESTART = 1,
    SCM_ACTION_REBOOT = 2,
    SCM_ACTION_RUN_COMMAND = 3
};

struct scm_action {
    uint32_t type;                  // SCM_ACTION_*, or any other number the manager gives
    uint32_t delay_ms;
};

// What the manager does when the service fails: the n-th failure within
// reset_seconds of the first takes action n (the last one repeats).
struct scm_recovery {
    uint32_t reset_seconds;         // 0xffffffff: the count is never reset
    const scm_action *actions;
    size_t action_count;
};

// The name of the service called `name` as the manager spells it (the
// manager matches names without regard to case), and its display name.
// Needs only a connection. On SCM_OK both are texts to free with
// scm_text_free; otherwise both are null.
scm_outcome scm_read_names(scm_manager *m, const char *name, char **key_name, char **display_name);
// The configuration (SCM_RIGHT_QUERY_CONFIG). *out is null unless SCM_OK;
// free it with scm_config_free.
scm_outcome scm_read_config(scm_service *s, scm_config **out);
void scm_config_free(scm_config *c);
// The description as the manager resolves it, "" when it has none
// (SCM_RIGHT_QUERY_CONFIG). *out is null unless SCM_OK; free it with
// scm_text_free.
scm_outcome scm_read_description(scm_service *s, char **out);
void scm_text_free(char *text);
// Whether an automatic start waits until the other automatic services have
// started, and whether the service has start triggers (SCM_RIGHT_QUERY_CONFIG).
scm_outcome scm_read_delayed_start(scm_service *s, bool *delayed);
scm_outcome scm_read_trigger_start(scm_service *s, bool *on_trigger);
// The recovery settings (SCM_RIGHT_QUERY_CONFIG). *out is null unless
// SCM_OK; free it with scm_recovery_free.
scm_outcome scm_read_recovery(scm_service *s, scm_recovery **out);
void scm_recovery_free(scm_recovery *r);

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
