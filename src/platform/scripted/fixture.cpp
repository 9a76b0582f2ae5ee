// A scripted service manager for platforms without one. It reads the
// services, and the outcome of every call, from the fixture file named by
// SERVICES_FAKE_SCM; without it every connection is refused. Each connection reads
// the fixture afresh, so the script is deterministic: nothing it does changes
// what the next process sees.
//
// The fixture is read into one block and cut up in place: every field is
// NUL-terminated where it stands and unescaped there, and the services point
// into the block. A name finds the first service of that name.
#include "fixture.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

fixture g_fixture;

// Appends one line describing a call to the trace file, when one is named.
void trace(const char *what, const char *name, const char *extra) {
    if (!g_fixture.trace_path) return;
    std::string line = std::string(what) + " " + name + extra + "\n";
    plat_append(g_fixture.trace_path, line.data(), line.size());
}

static int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    return (tolower((unsigned char)c) - 'a') + 10;
}

// Decodes \t \n \r \\ and \xHH in place; any other backslash stays as it is.
void unescape(char *s) {
    char *in = strchr(s, '\\'), *out = in;
    if (!in) return;
    while (*in) {
        char c = *in++;
        if (c != '\\' || !*in) {
            *out++ = c;
            continue;
        }
        if (*in == 'x' && isxdigit((unsigned char)in[1]) && isxdigit((unsigned char)in[2])) {
            *out++ = (char)(hex_value(in[1]) * 16 + hex_value(in[2]));
            in += 3;
            continue;
        }
        const char *from = "tnr\\", *to = "\t\n\r\\";
        const char *k = strchr(from, *in);
        if (!k) {
            *out++ = c;
            continue;
        }
        *out++ = to[k - from];
        in++;
    }
    *out = '\0';
}

// The fields of one line, cut off in turn.
struct line_cut {
    char *rest;       // the fields not yet taken; null after the last
    const char *end;  // the line's NUL
};

// Cuts the next field off the line at its tab, in place, and returns it;
// null when no field is left.
static char *next_field(line_cut *cut) {
    char *field = cut->rest;
    if (!field) return nullptr;
    char *tab = static_cast<char *>(memchr(field, '\t', (size_t)(cut->end - field)));
    cut->rest = tab ? tab + 1 : nullptr;
    if (tab) *tab = '\0';
    return field;
}

// The number strtoul reads from the field; plain digits are read directly.
unsigned long field_number(const char *s) {
    unsigned long v = 0;
    int digits = 0;
    for (; s[digits] >= '0' && s[digits] <= '9' && digits < 9; digits++) v = v * 10 + (unsigned long)(s[digits] - '0');
    if (digits > 0 && !s[digits]) return v;
    return strtoul(s, nullptr, 10);
}

namespace {

struct refusal_word {
    const char *word;
    scm_outcome outcome;  // with the Windows error number of the reason
};

const refusal_word k_refusals[] = {
    {"accepted", {SCM_OK, 0}},
    {"missing", {SCM_NO_SUCH_SERVICE, 1060}},
    {"denied", {SCM_ACCESS_DENIED, 5}},
    {"disabled", {SCM_DISABLED, 1058}},
    {"deleting", {SCM_MARKED_FOR_DELETE, 1072}},
    {"dependents", {SCM_DEPENDENTS_RUNNING, 1051}},
    {"cannot_accept", {SCM_CANNOT_ACCEPT_CONTROL, 1061}},
    {"not_accepted", {SCM_CONTROL_NOT_ACCEPTED, 1052}},
    {"running", {SCM_ALREADY_RUNNING, 1056}},
    {"inactive", {SCM_NOT_ACTIVE, 1062}},
    {"timeout", {SCM_TIMED_OUT, 1053}},
    {"unsupported", {SCM_LEVEL_NOT_SUPPORTED, 124}},
    {"refused", {SCM_OTHER, 1064}},
};

const bit_word k_rights[] = {
    {"start", SCM_RIGHT_START},          {"stop", SCM_RIGHT_STOP},
    {"status", SCM_RIGHT_QUERY_STATUS},  {"config", SCM_RIGHT_QUERY_CONFIG},
    {"dependents", SCM_RIGHT_ENUM_DEPENDENTS},
};

const bit_word k_accepts[] = {
    {"stop", SCM_ACCEPTS_STOP},
    {"pause", SCM_ACCEPTS_PAUSE_CONTINUE},
    {"shutdown", SCM_ACCEPTS_SHUTDOWN},
    {"preshutdown", SCM_ACCEPTS_PRESHUTDOWN},
};

}  // namespace

scm_outcome scripted_refusal(scm_reason reason) {
    for (const refusal_word &r : k_refusals)
        if (r.outcome.reason == reason) return r.outcome;
    return {SCM_OTHER, 1064};
}

// A refusal word, or a decimal number N for another refusal with error N;
// anything else leaves the call unscripted.
static scripted_answer answer_word(const char *w) {
    for (const refusal_word &r : k_refusals)
        if (!strcmp(w, r.word)) return {true, r.outcome};
    char *end = nullptr;
    unsigned long code = strtoul(w, &end, 10);
    if (*w >= '0' && *w <= '9' && !*end) return {true, {SCM_OTHER, (uint32_t)code}};
    return {false, {SCM_OK, 0}};
}

// Cuts a list of names separated by commas, in place, into the names back
// to back, each unescaped and NUL-terminated; returns how many there are.
uint32_t cut_names(char *list) {
    if (!*list) return 0;
    uint32_t count = 0;
    char *out = list, *in = list;
    for (bool last = false; !last; count++) {
        size_t len = strcspn(in, ",");
        last = !in[len];
        in[len] = '\0';
        unescape(in);
        size_t n = strlen(in) + 1;
        memmove(out, in, n);
        out += n;
        in += len + 1;
    }
    return count;
}

// Applies one option of the service-level script.
static void apply_service_option(scripted_service &s, const char *opt, char *val) {
    if (!strcmp(opt, "open")) s.on_open = answer_word(val);
    else if (!strcmp(opt, "start")) s.on_start = answer_word(val);
    else if (!strcmp(opt, "stop")) s.on_stop = answer_word(val);
    else if (!strcmp(opt, "status")) s.on_status = answer_word(val);
    else if (!strcmp(opt, "rights")) s.rights = bits_of(val, k_rights);
    else if (!strcmp(opt, "accepts")) s.accepts = bits_of(val, k_accepts);
    else if (!strcmp(opt, "stops_after")) s.stops_after = !strcmp(val, "never") ? -1 : strtol(val, nullptr, 10);
    else if (!strcmp(opt, "checkpoint")) s.stall = !strcmp(val, "stall");
    else if (!strcmp(opt, "hint")) s.wait_hint_ms = (uint32_t)field_number(val);
    else if (!strcmp(opt, "exit")) s.entry.exit_code = (uint32_t)field_number(val);
    else if (!strcmp(opt, "service_exit")) s.entry.service_exit_code = (uint32_t)field_number(val);
    else if (!strcmp(opt, "dependents")) {
        s.dependent_count = cut_names(val);
        s.dependents = val;
    } else apply_details_option(s, opt, val);
}

// The database value of a db= option: a number, missing, unreadable or text.
static void database_word(scripted_service &s, const char *w) {
    s.db_start_type = 0;
    if (!strcmp(w, "missing")) s.db = DB_MISSING;
    else if (!strcmp(w, "unreadable")) s.db = DB_UNREADABLE;
    else if (!strcmp(w, "text")) s.db = DB_TEXT;
    else {
        s.db = DB_NUMBER;
        s.db_start_type = (uint32_t)field_number(w);
    }
}

static void apply_option(scripted_service &s, char *opt) {
    char *val = strchr(opt, '=');
    if (!val) return;
    *val++ = '\0';
    if (!strcmp(opt, "db")) database_word(s, val);
    else apply_service_option(s, opt, val);
}

// A text field: null for the word (null), else the field unescaped in place.
const char *text_field(char *field) {
    if (field[0] == '(' && !strcmp(field, "(null)")) return nullptr;
    unescape(field);
    return field;
}

// Parses the fields after "service"; lines with fewer than five are ignored.
static void add_service(line_cut *cut) {
    char *f[5];
    for (char *&field : f)
        if (!(field = next_field(cut))) return;
    scripted_service s = {};
    s.entry.name = text_field(f[0]);
    s.entry.display_name = text_field(f[1]);
    s.entry.state = (uint32_t)field_number(f[2]);
    s.entry.pid = (uint32_t)field_number(f[3]);
    s.start_type = 3;
    if (f[4][0] == 'u' && !strcmp(f[4], "unreadable")) s.start = START_UNREADABLE;
    else if (f[4][0] == 'c' && !strcmp(f[4], "closed")) s.start = START_CLOSED;
    else s.start_type = (uint32_t)field_number(f[4]);
    s.rights = ~0u;
    s.accepts = -1;
    s.wait_hint_ms = 2000;
    // By default the database agrees with the manager, as on a live system.
    s.db = s.start == START_NUMBER ? DB_NUMBER : DB_MISSING;
    s.db_start_type = s.start_type;
    while (char *opt = next_field(cut)) apply_option(s, opt);
    g_fixture.services.push_back(s);
}

// Parses the fields after "process": a pid, then "closed", or the working
// set in bytes and the creation time in seconds since 1970, either of them
// "unreadable". Lines without a pid are ignored.
static void add_process(line_cut *cut) {
    const char *pid = next_field(cut), *bytes = next_field(cut), *created = next_field(cut);
    if (!pid || !bytes) return;
    scripted_process p = {};
    p.pid = (uint32_t)field_number(pid);
    p.closed = !strcmp(bytes, "closed");
    if (!p.closed && strcmp(bytes, "unreadable") != 0) p.usage.working_set = strtoull(bytes, nullptr, 10);
    if (!p.closed && created && strcmp(created, "unreadable") != 0) {
        p.usage.created = strtoll(created, nullptr, 10);
        p.usage.created_known = 1;
    }
    g_fixture.processes.push_back(p);
}

// Parses one line, which ends at end, its NUL.
static void parse_line(char *line, const char *end) {
    if (!*line || *line == '#') return;
    line_cut cut = {line, end};
    const char *kind = next_field(&cut);
    if (!strcmp(kind, "service")) return add_service(&cut);
    if (!strcmp(kind, "process")) return add_process(&cut);
    const char *arg = next_field(&cut);
    if (!arg) return;
    if (!strcmp(kind, "manager")) {
        g_fixture.refuse_all = g_fixture.refuse_all || !strcmp(arg, "refuse");
        g_fixture.refuse_control = g_fixture.refuse_control || !strcmp(arg, "refuse_control");
    } else if (!strcmp(kind, "database")) {
        g_fixture.refuse_database = g_fixture.refuse_database || !strcmp(arg, "refuse");
    } else if (!strcmp(kind, "trace")) g_fixture.trace_path = arg;
}

static uint32_t name_hash(const char *s) {
    uint32_t h = 2166136261u;
    for (; *s; s++) h = (h ^ (unsigned char)*s) * 16777619u;
    return h;
}

// The slot holding the first service named name, or the empty slot where it
// would go; null when there are no slots.
static int *name_slot(const char *name) {
    std::vector<int> &slots = g_fixture.slots;
    if (slots.empty()) return nullptr;
    size_t mask = slots.size() - 1;
    for (size_t i = name_hash(name) & mask;; i = (i + 1) & mask) {
        int at = slots[i];
        if (at < 0 || !strcmp(g_fixture.services[(size_t)at].entry.name, name)) return &slots[i];
    }
}

// Indexes the named services, at most half the slots filled, and tells each
// service the first of its name.
static void index_names(void) {
    size_t size = 16;
    while (size < 2 * g_fixture.services.size()) size *= 2;
    g_fixture.slots.assign(size, -1);
    for (size_t i = 0; i < g_fixture.services.size(); i++) {
        scripted_service &s = g_fixture.services[i];
        int *slot = s.entry.name ? name_slot(s.entry.name) : nullptr;
        if (slot && *slot < 0) *slot = (int)i;
        s.first_of_name = slot ? (size_t)*slot : i;
    }
}

// Reads the whole file at path into the fixture's block, with a NUL behind
// it. A file of known size is read up to that size; one whose size cannot be
// told is read until it ends, the block doubling as it fills.
static bool read_file(const char *path) {
    FILE *f = fopen(path, "rb");
    if (!f) return false;
    long size = fseek(f, 0, SEEK_END) == 0 ? ftell(f) : -1;
    rewind(f);
    bool known = size > 0;
    size_t cap = known ? (size_t)size + 1 : 4096, len = 0;
    std::unique_ptr<char[]> text(new char[cap]);
    plat_prefault(text.get(), cap);
    for (;;) {
        if (len == cap - 1) {
            if (known) break;
            std::unique_ptr<char[]> more(new char[cap * 2]);
            memcpy(more.get(), text.get(), len);
            text = std::move(more);
            cap *= 2;
        }
        size_t n = fread(text.get() + len, 1, cap - 1 - len, f);
        if (n == 0) break;
        len += n;
    }
    fclose(f);
    text[len] = '\0';
    g_fixture.text = std::move(text);
    g_fixture.text_len = len;
    return true;
}

bool load_fixture(void) {
    g_fixture = fixture();
    const char *path = getenv("SERVICES_FAKE_SCM");
    if (!path || !*path || !read_file(path)) return false;
    char *p = g_fixture.text.get(), *end = p + g_fixture.text_len;
    // A service line takes at least 17 bytes; room that is never written
    // costs no memory.
    g_fixture.services.reserve(g_fixture.text_len / 17 + 1);
    while (p <= end) {
        char *nl = static_cast<char *>(memchr(p, '\n', (size_t)(end - p)));
        if (!nl) nl = end;
        char *stop = nl;
        if (nl < end && stop > p && stop[-1] == '\r') stop--;
        *stop = '\0';
        parse_line(p, stop);
        p = nl + 1;
    }
    index_names();
    return true;
}

scripted_service *find_service(const char *name) {
    int *slot = name_slot(name);
    return slot && *slot >= 0 ? &g_fixture.services[(size_t)*slot] : nullptr;
}

