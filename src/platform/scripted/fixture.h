// The scripted service manager's fixture: the services and outcomes read
// from the file named by SERVICES_FAKE_SCM, shared by the listing and the
// control halves of the backend.
#ifndef PLUGIN_SCRIPTED_FIXTURE_H
#define PLUGIN_SCRIPTED_FIXTURE_H

#include <cstddef>
#include <cstdint>
#include <cstring>
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
    size_t details;            // 1 + its index in fixture::details; 0: the defaults
};

// Parts of the details whose reads a fixture makes fail, as bits.
enum {
    UNREADABLE_NAMES = 1u << 0,
    UNREADABLE_DESCRIPTION = 1u << 1,
    UNREADABLE_DELAYED = 1u << 2,
    UNREADABLE_TRIGGERS = 1u << 3,
    UNREADABLE_RECOVERY = 1u << 4
};

// The details script of one service, kept apart from the service so that
// a listing does not carry it. Texts point into the fixture's block.
struct scripted_details {
    uint32_t type = SCM_TYPE_OWN_PROCESS;
    const char *binary_path = "", *account = "", *description = "";
    const char *dependencies = nullptr;  // dependency_count names back to back
    uint32_t dependency_count = 0;
    bool delayed = false, triggers = false;
    const char *recovery = nullptr;      // RESET:ACTION/MS,...; null: none set
    uint32_t unreadable = 0;             // UNREADABLE_* bits
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
    std::vector<scripted_details> details;
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

// Field helpers of the fixture reader: the escapes \t \n \r \\ \xHH decoded
// in place; a list separated by commas cut in place into names back to back
// (returns how many); a decimal number; a text, null for the word (null).
void unescape(char *s);
uint32_t cut_names(char *list);
unsigned long field_number(const char *s);
const char *text_field(char *field);
struct bit_word {
    const char *word;
    uint32_t bit;
};

// The bits of a list of words separated by commas; "none" or unknown words
// add nothing.
template <size_t N>
uint32_t bits_of(const char *list, const bit_word (&table)[N]) {
    uint32_t bits = 0;
    while (*list) {
        size_t len = strcspn(list, ",");
        for (const bit_word &b : table)
            if (strlen(b.word) == len && !strncmp(list, b.word, len)) bits |= b.bit;
        list += len + (list[len] == ',');
    }
    return bits;
}

// Applies one option of the details script; false when opt is not one.
bool apply_details_option(scripted_service &s, const char *opt, char *val);
// The details script of a service.
const scripted_details &details_of(const scripted_service *s);

#endif
