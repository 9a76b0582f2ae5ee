// The scripted service manager's fixture: the services and outcomes read
// from the file named by SERVICES_FAKE_SCM, shared by the listing and the
// control halves of the backend.
#ifndef PLUGIN_SCRIPTED_FIXTURE_H
#define PLUGIN_SCRIPTED_FIXTURE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/platform.h"

enum start_kind { START_NUMBER, START_UNREADABLE, START_CLOSED };
// What the service database holds for a service: a start type, no entry, an
// entry that cannot be read, or a value that is not a 32-bit number.
enum db_kind { DB_NUMBER, DB_MISSING, DB_UNREADABLE, DB_TEXT };

// What a service-level call answers when the fixture scripts it; a reason
// of SCM_OK with `set` false means the call behaves as the manager would.
struct scripted_answer {
    bool set;
    scm_outcome outcome;
};

struct scripted_service {
    scm_entry entry;  // texts point into the fixture's block, or are null
    uint32_t start_type;
    start_kind start;
    uint32_t db_start_type;
    db_kind db;
    size_t first_of_name;  // the service a lookup by this name finds
    // The service-level script, and its state as this process changes it.
    scripted_answer on_open, on_start, on_stop, on_status;
    uint32_t rights;           // SCM_RIGHT_* the account holds
    long accepts;              // SCM_ACCEPTS_* bits; -1: stop while it runs or is paused
    long stops_after;          // status reads while stopping before it is stopped; -1 never
    bool stall;                // the check point does not advance while pending
    uint32_t wait_hint_ms;     // reported while pending
    const char *dependents;    // dependent_count names back to back, each NUL-terminated
    uint32_t dependent_count;
    long polls;                // status reads while stopping, so far
    uint32_t check_point;
};

// A process as the scripted manager reports it: closed when it cannot be
// opened; figures marked unknown cannot be read.
struct scripted_process {
    uint32_t pid;
    bool closed;
    scm_process usage;
};

struct fixture {
    bool refuse_all = false, refuse_control = false, refuse_database = false;
    const char *trace_path = nullptr;
    std::unique_ptr<char[]> text;  // the file, cut into fields
    size_t text_len = 0;
    std::vector<scripted_service> services;
    std::vector<scripted_process> processes;
    std::vector<int> slots;  // open addressing by name: a service index, or -1
};

extern fixture g_fixture;

struct scm_manager { scm_purpose purpose; };
struct scm_list { size_t count; };
struct scm_database { size_t next; };  // next: the entry a load asks for next
struct scm_service { scripted_service *svc; uint32_t rights; };

// Reads the fixture afresh. Returns false when there is none.
bool load_fixture(void);
// The first service named name, or null.
scripted_service *find_service(const char *name);
// The refusal of a reason, with the Windows error number it stands for.
scm_outcome scripted_refusal(scm_reason reason);
// Appends "what name extra" as a line to the trace file, when one is named.
void trace(const char *what, const char *name, const char *extra = "");

#endif
