// A scripted service manager for platforms without one. It reads the
// services, and the outcome of every call, from the fixture file named by
// SERVICES_FAKE_SCM; without it every connection is refused. Each connection reads
// the fixture afresh, so the script is deterministic: nothing it does changes
// what the next process sees.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/platform.h"

namespace {

enum start_kind { START_NUMBER, START_UNREADABLE, START_CLOSED };

struct scripted_service {
    std::string name, display;
    bool has_name = true, has_display = true;
    uint32_t state = SCM_STATE_STOPPED, pid = 0, start_type = 3;
    start_kind start = START_NUMBER;
    scm_result on_start = SCM_ACCEPTED, on_stop = SCM_NOT_ACTIVE;
    bool control_closed = false;
    long stops_after = 0;  // status polls before stopped; -1 never
};

struct fixture {
    bool refuse_all = false, refuse_control = false;
    std::string trace_path;
    std::vector<scripted_service> services;
    std::unordered_map<std::string, size_t> by_name;  // first service of each name
};

fixture g_fixture;
std::mutex g_trace_lock;

}  // namespace

struct scm_manager { scm_purpose purpose; };
struct scm_list { std::vector<scm_entry> entries; };
struct scm_reader { scm_manager *manager; };
struct scm_service { scripted_service *svc; long polls; };

// Appends one line describing a call to the trace file, when one is named.
static void trace(const char *what, const std::string &name, const char *extra = "") {
    if (g_fixture.trace_path.empty()) return;
    std::string line = std::string(what) + " " + name + extra + "\n";
    std::lock_guard<std::mutex> lock(g_trace_lock);
    plat_append(g_fixture.trace_path.c_str(), line.data(), line.size());
}

// Decodes \t \n \r \\ and \xHH; any other backslash stays as it is.
static std::string unescape(std::string_view s) {
    if (s.find('\\') == std::string_view::npos) return std::string(s);
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        char c = s[i];
        char n = i + 1 < s.size() ? s[i + 1] : '\0';
        if (c != '\\' || !n) { out += c; continue; }
        if (n == 'x' && i + 3 < s.size() && isxdigit((unsigned char)s[i + 2]) && isxdigit((unsigned char)s[i + 3])) {
            out += (char)strtol(std::string(s.substr(i + 2, 2)).c_str(), nullptr, 16);
            i += 3;
            continue;
        }
        const char *from = "tnr\\", *to = "\t\n\r\\";
        const char *k = strchr(from, n);
        if (!k) { out += c; continue; }
        out += to[k - from];
        i++;
    }
    return out;
}

// Splits line at every tab into f, which the caller reuses from line to line.
static void split_tabs(std::string_view line, std::vector<std::string_view> &f) {
    f.clear();
    size_t start = 0;
    for (size_t tab; (tab = line.find('\t', start)) != std::string_view::npos; start = tab + 1)
        f.push_back(line.substr(start, tab - start));
    f.push_back(line.substr(start));
}

// The number strtoul reads from the whole field (and no further).
static unsigned long field_number(std::string_view field) {
    return strtoul(std::string(field).c_str(), nullptr, 10);
}

static scm_result result_word(std::string_view w, scm_result fallback) {
    if (w == "accepted") return SCM_ACCEPTED;
    if (w == "running") return SCM_ALREADY_RUNNING;
    if (w == "inactive") return SCM_NOT_ACTIVE;
    if (w == "refused") return SCM_REFUSED;
    return fallback;
}

static void apply_option(scripted_service &s, std::string_view opt) {
    size_t eq = opt.find('=');
    if (eq == std::string_view::npos) return;
    std::string_view key = opt.substr(0, eq), val = opt.substr(eq + 1);
    if (key == "start") s.on_start = result_word(val, s.on_start);
    else if (key == "stop") s.on_stop = result_word(val, s.on_stop);
    else if (key == "control") s.control_closed = val == "closed";
    else if (key == "stops_after") s.stops_after = val == "never" ? -1 : strtol(std::string(val).c_str(), nullptr, 10);
}

// Parses the fields after "service"; lines with fewer than five are ignored.
static void add_service(const std::vector<std::string_view> &f) {
    if (f.size() < 6) return;
    scripted_service s;
    s.has_name = f[1] != "(null)";
    s.has_display = f[2] != "(null)";
    s.name = unescape(f[1]);
    s.display = unescape(f[2]);
    s.state = (uint32_t)field_number(f[3]);
    s.pid = (uint32_t)field_number(f[4]);
    if (f[5] == "unreadable") s.start = START_UNREADABLE;
    else if (f[5] == "closed") s.start = START_CLOSED;
    else s.start_type = (uint32_t)field_number(f[5]);
    bool running = s.state == SCM_STATE_RUNNING;
    s.on_start = running ? SCM_ALREADY_RUNNING : SCM_ACCEPTED;
    s.on_stop = running ? SCM_ACCEPTED : SCM_NOT_ACTIVE;
    for (size_t i = 6; i < f.size(); i++) apply_option(s, f[i]);
    if (s.has_name) g_fixture.by_name.emplace(s.name, g_fixture.services.size());
    g_fixture.services.push_back(std::move(s));
}

static void parse_line(std::string_view line, std::vector<std::string_view> &f) {
    if (line.empty() || line[0] == '#') return;
    split_tabs(line, f);
    if (f[0] == "service") add_service(f);
    else if (f[0] == "manager" && f.size() > 1) {
        g_fixture.refuse_all = g_fixture.refuse_all || f[1] == "refuse";
        g_fixture.refuse_control = g_fixture.refuse_control || f[1] == "refuse_control";
    } else if (f[0] == "trace" && f.size() > 1) g_fixture.trace_path = std::string(f[1]);
}

// Reads the fixture afresh. Returns false when there is none.
static bool load_fixture(void) {
    g_fixture = fixture();
    const char *path = getenv("SERVICES_FAKE_SCM");
    FILE *f = path && *path ? fopen(path, "rb") : nullptr;
    if (!f) return false;
    std::string text;
    char chunk[65536];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, f)) > 0;) text.append(chunk, n);
    fclose(f);
    std::string_view all(text);
    std::vector<std::string_view> fields;
    for (size_t start = 0; start <= all.size();) {
        size_t end = all.find('\n', start);
        if (end == std::string_view::npos) end = all.size();
        std::string_view line = all.substr(start, end - start);
        if (end < all.size() && !line.empty() && line.back() == '\r') line.remove_suffix(1);
        parse_line(line, fields);
        start = end + 1;
    }
    return true;
}

static scripted_service *find_service(const char *name) {
    auto it = g_fixture.by_name.find(name);
    return it == g_fixture.by_name.end() ? nullptr : &g_fixture.services[it->second];
}

scm_manager *scm_connect(scm_purpose purpose) {
    if (!load_fixture() || g_fixture.refuse_all) return nullptr;
    if (purpose == SCM_FOR_CONTROL && g_fixture.refuse_control) return nullptr;
    trace("connect", purpose == SCM_FOR_LISTING ? "listing" : "control");
    return new scm_manager{purpose};
}

void scm_disconnect(scm_manager *m) { delete m; }

scm_list *scm_list_services(scm_manager *m) {
    if (!m) return nullptr;
    scm_list *l = new scm_list;
    for (const scripted_service &s : g_fixture.services)
        l->entries.push_back({s.has_name ? s.name.c_str() : nullptr,
                              s.has_display ? s.display.c_str() : nullptr, s.state, s.pid});
    return l;
}

size_t scm_list_count(const scm_list *l) { return l ? l->entries.size() : 0; }

const scm_entry *scm_list_at(const scm_list *l, size_t i) {
    return l && i < l->entries.size() ? &l->entries[i] : nullptr;
}

void scm_list_free(scm_list *l) { delete l; }

scm_reader *scm_reader_new(scm_manager *m) { return m ? new scm_reader{m} : nullptr; }

void scm_reader_free(scm_reader *r) { delete r; }

int scm_read_start_type(scm_reader *r, const char *name, uint32_t *start_type) {
    if (!r || !name) return 0;
    scripted_service *s = find_service(name);
    if (!s || s->start == START_CLOSED) return 0;
    if (s->start == START_UNREADABLE) return 0;
    *start_type = s->start_type;
    return 1;
}

scm_service *scm_open_service(scm_manager *m, const char *name, scm_access access) {
    static const char *const rights[] = {" 0x20", " 0x30", " 0x34"};
    trace("open", name, rights[access]);
    scripted_service *s = m ? find_service(name) : nullptr;
    if (!s || s->control_closed) return nullptr;
    return new scm_service{s, 0};
}

void scm_close_service(scm_service *s) { delete s; }

scm_result scm_start(scm_service *s) {
    trace("start", s->svc->name);
    return s->svc->on_start;
}

scm_result scm_stop(scm_service *s) {
    trace("stop", s->svc->name);
    return s->svc->on_stop;
}

int scm_query_status(scm_service *s, uint32_t *state, uint32_t *wait_hint_ms) {
    trace("status", s->svc->name);
    long limit = s->svc->stops_after;
    bool stopped = limit >= 0 && s->polls >= limit;
    s->polls++;
    *state = stopped ? SCM_STATE_STOPPED : SCM_STATE_STOP_PENDING;
    *wait_hint_ms = 2000;
    return 1;
}

void scm_sleep_ms(uint32_t ms) {
    trace("sleep", std::to_string(ms));
}
