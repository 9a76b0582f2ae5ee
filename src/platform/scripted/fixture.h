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

struct scripted_service {
    scm_entry entry;  // texts point into the fixture's block, or are null
    uint32_t start_type;
    start_kind start;
    uint32_t db_start_type;
    db_kind db;
    scm_result on_start, on_stop;
    bool control_closed;
    long stops_after;  // status polls before stopped; -1 never
    size_t first_of_name;  // the service a lookup by this name finds
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
struct scm_service { scripted_service *svc; long polls; };

// Reads the fixture afresh. Returns false when there is none.
bool load_fixture(void);
// The first service named name, or null.
scripted_service *find_service(const char *name);
// Appends "what name extra" as a line to the trace file, when one is named.
void trace(const char *what, const char *name, const char *extra = "");

#endif
