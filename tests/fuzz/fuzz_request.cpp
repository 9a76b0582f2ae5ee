// Fuzzes one whole JSON request in-process: the password check, then
// mode_json, against a scripted service manager written from the input.
// Input lines: query string, REQUEST_METHOD, BOT_PASSWORD,
// HTTP_X_BOT_PASSWORD, HTTP_AUTHORIZATION, SERVICES_ALLOW_CONTROL (each "-"
// for unset), then "REPEAT mock|real", then the fixture, written REPEAT
// times over so the table can reach and pass its 2048 records.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "actions.h"
#include "oracle.h"
#include "request.h"

namespace {

enum { FIELD_LINES = 7 };
const long REPEAT_LIMIT = 2100;  // fixture lines at most, just past the table's size

const char *const field_vars[] = {"QUERY_STRING", "REQUEST_METHOD", "BOT_PASSWORD",
                                  "HTTP_X_BOT_PASSWORD", "HTTP_AUTHORIZATION",
                                  "SERVICES_ALLOW_CONTROL"};

const std::string json_head =
    "Content-Type: application/json; charset=utf-8\r\n"
    "Cache-Control: no-store\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "\r\n";

stdout_capture g_out;
std::string g_fixture_path, g_log_path;

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string &path, const std::string &text) {
    FILE *f = fopen(path.c_str(), "wb");
    require(f != nullptr, "cannot write", path);
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
}

// The fixture without trace directives, so no input names a file to write.
std::string safe_fixture(const std::string &text) {
    std::string out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.rfind("trace\t", 0) != 0) out += line + "\n";
    return out;
}

// Sets or unsets one variable from its input line.
void set_var(const char *name, const std::string &line) {
    if (line == "-") unsetenv(name);
    else setenv(name, line.c_str(), 1);
}

// The status line of an error response must be one the program writes.
void check_head(const std::string &head) {
    static const std::set<std::string> statuses = {
        "Status: 400 Bad Request\r\n", "Status: 401 Unauthorized\r\n", "Status: 403 Forbidden\r\n",
        "Status: 404 Not Found\r\n", "Status: 405 Method Not Allowed\r\n", "Status: 409 Conflict\r\n",
        "Status: 500 Internal Server Error\r\n", "Status: 504 Gateway Timeout\r\n"};
    if (head == json_head) return;
    size_t eol = head.find("\r\n") + 2;
    require(statuses.count(head.substr(0, eol)) && head.substr(eol) == json_head, "bad header block", head);
}

// The list document's numbers must agree with its services array.
void check_list(const nlohmann::ordered_json &doc) {
    const auto &sum = doc["summary"];
    int total = sum["running"].get<int>() + sum["failed"].get<int>() + sum["inactive"].get<int>();
    int count = doc["count"].get<int>();
    require(doc["services"].is_array() && doc["services"].size() == (size_t)count, "count differs from services");
    require(count <= total && total <= 2048, "count or summary out of range");
    const char *qs = getenv("QUERY_STRING");
    if (!qs || !strstr(qs, "filter=")) require(count == total, "unfiltered list is not the whole table");
    for (const auto &svc : doc["services"])
        require(svc.size() == 9 && svc.begin().key() == "name", "malformed service object", svc.dump());
}

// A details document has its seventeen members, the name first.
void check_details(const nlohmann::ordered_json &doc) {
    const auto &d = doc["details"];
    require(d.is_object() && d.size() == 17 && d.begin().key() == "name" && d["name"].is_string(),
            "malformed details", d.dump());
}

void check_response(const std::string &out, bool utf8_input, bool mock) {
    size_t end = out.find("\r\n\r\n");
    require(end != std::string::npos, "no header block", out);
    check_head(out.substr(0, end + 4));
    if (out.rfind("Status: 401", 0) == 0) {
        const char *pw = getenv("BOT_PASSWORD");
        require(pw && *pw, "401 without a node password");
    }
    nlohmann::ordered_json doc = check_document(out.substr(end + 4), utf8_input);
    std::string log = read_file(g_log_path);
    bool control_ok = doc["ok"] == true && doc.contains("op");
    if (doc["ok"] == true && doc.contains("summary")) check_list(doc);
    if (doc["ok"] == true && doc.contains("details")) check_details(doc);
    if (!control_ok || !mock) {
        require(log.empty(), "mock log written without a mock control success", log);
        return;
    }
    std::string line = "systemctl " + doc["op"].get<std::string>() + " " + doc["unit"].get<std::string>() + "\n";
    require(log == line, "mock log line differs from the response", log);
}

std::string g_dir;

void remove_files(void) {
    unlink(g_fixture_path.c_str());
    unlink(g_log_path.c_str());
    rmdir(g_dir.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    char dir[] = "/tmp/fuzz_request_XXXXXX";
    require(mkdtemp(dir) != nullptr, "mkdtemp failed");
    g_dir = dir;
    g_fixture_path = g_dir + "/scm";
    g_log_path = g_dir + "/log";
    atexit(remove_files);
    capture_begin(&g_out);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string input(reinterpret_cast<const char *>(data), size);
    std::vector<std::string> lines;
    size_t pos = 0;
    for (int i = 0; i < FIELD_LINES; i++) {
        size_t eol = input.find('\n', pos);
        lines.push_back(input.substr(pos, eol == std::string::npos ? std::string::npos : eol - pos).c_str());
        pos = eol == std::string::npos ? input.size() : eol + 1;
    }
    for (int i = 0; i < FIELD_LINES - 1; i++) set_var(field_vars[i], lines[i]);
    std::string once = safe_fixture(input.substr(pos)), fixture;
    long per_copy = 1 + (long)std::count(once.begin(), once.end(), '\n');
    long repeat = strtol(lines[6].c_str(), nullptr, 10);
    repeat = std::max(1L, std::min(repeat, REPEAT_LIMIT / per_copy));
    bool mock = lines[6].find("mock") != std::string::npos;
    for (long i = 0; i < repeat; i++) fixture += once;
    write_file(g_fixture_path, fixture);
    write_file(g_log_path, "");
    setenv("SERVICES_FAKE_SCM", g_fixture_path.c_str(), 1);
    if (mock) setenv("SERVICES_MOCK_SYSTEMCTL_LOG", g_log_path.c_str(), 1);
    else unsetenv("SERVICES_MOCK_SYSTEMCTL_LOG");
    capture_reset(&g_out);
    const char *qs = getenv("QUERY_STRING");
    if (!password_ok()) write_unauthorized();
    else mode_json(qs ? qs : "");
    bool utf8_input = valid_utf8(once) && once.find("\\x") == std::string::npos;
    check_response(capture_read(&g_out), utf8_input, mock);
    return 0;
}
