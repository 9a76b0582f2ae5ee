// Registers services with the local service manager in one process, which
// is far quicker than one "sc create" per service:
//   register_services.exe LIST PROGRAM
// LIST is a UTF-8 file of lines "NAME<TAB>DISPLAY<TAB>START<TAB>ARGUMENTS"
// (START: demand, auto or disabled; lines starting with # are skipped). Each
// service runs "PROGRAM" "NAME" ARGUMENTS. Three more fields may follow:
// DESCRIPTION, DEPENDENCIES (names separated by commas, load-order groups
// with a leading "+") and ACCOUNT (the start name; empty for LocalSystem).
// Prints how many were registered.
//   register_services.exe --start-type NAME START
// changes the start type of one service through the manager
// (ChangeServiceConfigW), as "sc config NAME start= ..." does on Windows.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

struct service_line {
    std::wstring name, display, start, args;
    std::wstring description, dependencies, account;
};

std::wstring widen(const std::string &s)
{
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s.data(), static_cast<int>(s.size()), nullptr, 0);
    if (n <= 0)
        return std::wstring();
    std::wstring w(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s.data(), static_cast<int>(s.size()), &w[0], n);
    return w;
}

// Splits one line at its tabs into the four fields; false when malformed.
bool parse_line(const std::string &line, service_line *out)
{
    std::vector<std::string> f(1);
    for (char c : line) {
        if (c == '\t')
            f.emplace_back();
        else if (c != '\r')
            f.back() += c;
    }
    if (f.size() < 3 || f[0].empty())
        return false;
    f.resize(7);
    out->name = widen(f[0]);
    out->display = widen(f[1]);
    out->start = widen(f[2]);
    out->args = widen(f[3]);
    out->description = widen(f[4]);
    out->dependencies = widen(f[5]);
    out->account = widen(f[6]);
    return !out->name.empty();
}

// Adds the service of one line unless it is empty or a comment; false when
// the line is malformed.
bool take_line(const std::string &line, std::vector<service_line> *out)
{
    if (line.empty() || line[0] == '#')
        return true;
    service_line s;
    if (!parse_line(line, &s))
        return false;
    out->push_back(s);
    return true;
}

bool read_lines(const wchar_t *path, std::vector<service_line> *out)
{
    FILE *f = _wfopen(path, L"rb");
    if (!f)
        return false;
    std::string line;
    bool ok = true;
    for (int c; ok && (c = fgetc(f)) != EOF;) {
        if (c != '\n') {
            line += static_cast<char>(c);
            continue;
        }
        ok = take_line(line, out);
        line.clear();
    }
    fclose(f);
    return ok && take_line(line, out);
}

DWORD start_type(const std::wstring &word)
{
    if (word == L"auto")
        return SERVICE_AUTO_START;
    if (word == L"disabled")
        return SERVICE_DISABLED;
    return SERVICE_DEMAND_START;
}

// The dependencies as the double-NUL list CreateServiceW takes; null when
// there are none.
const wchar_t *dependency_list(const std::wstring &commas, std::wstring &list)
{
    if (commas.empty())
        return nullptr;
    list = commas;
    for (wchar_t &c : list)
        if (c == L',')
            c = L'\0';
    list.push_back(L'\0');
    return list.c_str();
}

bool set_description(SC_HANDLE h, const std::wstring &text)
{
    if (text.empty())
        return true;
    SERVICE_DESCRIPTIONW d = {const_cast<wchar_t *>(text.c_str())};
    return ChangeServiceConfig2W(h, SERVICE_CONFIG_DESCRIPTION, &d) != 0;
}

bool register_one(SC_HANDLE scm, const std::wstring &program, const service_line &s)
{
    // The name is quoted: it may hold spaces.
    std::wstring command = L"\"" + program + L"\" \"" + s.name + L"\"";
    if (!s.args.empty())
        command += L" " + s.args;
    std::wstring dependencies;
    const wchar_t *account = s.account.empty() ? nullptr : s.account.c_str();
    SC_HANDLE h = CreateServiceW(scm, s.name.c_str(), s.display.c_str(), SERVICE_QUERY_STATUS | SERVICE_CHANGE_CONFIG,
                                 SERVICE_WIN32_OWN_PROCESS, start_type(s.start), SERVICE_ERROR_NORMAL,
                                 command.c_str(), nullptr, nullptr, dependency_list(s.dependencies, dependencies),
                                 account, account ? L"" : nullptr);
    if (!h)
        return GetLastError() == ERROR_SERVICE_EXISTS;
    bool described = set_description(h, s.description);
    CloseServiceHandle(h);
    return described;
}

// Sets the start type of the service name through the manager; the exit status.
int change_start_type(const wchar_t *name, const wchar_t *word)
{
    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE s = scm ? OpenServiceW(scm, name, SERVICE_CHANGE_CONFIG) : nullptr;
    BOOL ok = s && ChangeServiceConfigW(s, SERVICE_NO_CHANGE, start_type(word), SERVICE_NO_CHANGE, nullptr,
                                        nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    DWORD error = GetLastError();
    if (s)
        CloseServiceHandle(s);
    if (scm)
        CloseServiceHandle(scm);
    if (ok)
        return 0;
    fprintf(stderr, "register_services: cannot change %ls (%lu)\n", name, error);
    return 1;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc == 4 && wcscmp(argv[1], L"--start-type") == 0)
        return change_start_type(argv[2], argv[3]);
    std::vector<service_line> lines;
    if (argc != 3 || !read_lines(argv[1], &lines)) {
        fprintf(stderr, "usage: register_services LIST PROGRAM (LIST unreadable or malformed)\n");
        return 2;
    }
    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
    if (!scm) {
        fprintf(stderr, "register_services: cannot open the service manager (%lu)\n", GetLastError());
        return 1;
    }
    size_t done = 0;
    for (const service_line &s : lines) {
        if (register_one(scm, argv[2], s))
            ++done;
        else
            fprintf(stderr, "register_services: %ls failed (%lu)\n", s.name.c_str(), GetLastError());
    }
    CloseServiceHandle(scm);
    printf("registered %zu of %zu services\n", done, lines.size());
    return done == lines.size() ? 0 : 1;
}
