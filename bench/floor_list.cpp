// Floors for the list request, with nothing else around the reads:
//   floor_list.exe                   enumerate (probe, then fetch with the
//       resume handle), then per service open, query the configuration into
//       one reused 8 KB buffer, and close, one after another: the reads a
//       list made when every start type came from the manager. Like the
//       list, it reads at most the 2048 services a table holds.
//   floor_list.exe --enumerate-only  open the manager and enumerate, nothing
//       more: what no list can do without.
// Prints "services N read R calls C".
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const size_t kTableSize = 2048;
unsigned long g_calls;

// Enumerates every Win32 service and returns their names.
std::vector<std::wstring> enumerate(SC_HANDLE scm)
{
    std::vector<std::wstring> names;
    std::vector<BYTE> buf;
    DWORD needed = 0, returned = 0, resume = 0;
    ++g_calls;
    if (EnumServicesStatusExW(scm, SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_STATE_ALL, nullptr, 0,
                              &needed, &returned, &resume, nullptr))
        return names;
    buf.resize(needed < 256 * 1024 ? needed : 256 * 1024);
    resume = 0;
    for (;;) {
        ++g_calls;
        BOOL done = EnumServicesStatusExW(scm, SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_STATE_ALL,
                                          buf.data(), static_cast<DWORD>(buf.size()), &needed,
                                          &returned, &resume, nullptr);
        if (!done && GetLastError() != ERROR_MORE_DATA)
            return names;
        const auto *e = reinterpret_cast<const ENUM_SERVICE_STATUS_PROCESSW *>(buf.data());
        for (DWORD i = 0; i < returned; ++i)
            names.emplace_back(e[i].lpServiceName);
        if (done)
            return names;
        if (returned == 0) {
            if (needed <= buf.size())
                return names;
            buf.resize(needed);  // the manager fills nothing until the rest fits
        }
    }
}

// Reads the start type of every named service; returns how many were read.
size_t read_start_types(SC_HANDLE scm, const std::vector<std::wstring> &names)
{
    std::vector<BYTE> config(8 * 1024);
    size_t read = 0;
    for (size_t i = 0; i < names.size() && i < kTableSize; ++i) {
        const std::wstring &name = names[i];
        ++g_calls;
        SC_HANDLE s = OpenServiceW(scm, name.c_str(), SERVICE_QUERY_CONFIG);
        if (!s)
            continue;
        DWORD needed = 0;
        ++g_calls;
        if (QueryServiceConfigW(s, reinterpret_cast<QUERY_SERVICE_CONFIGW *>(config.data()),
                                static_cast<DWORD>(config.size()), &needed))
            ++read;
        ++g_calls;
        CloseServiceHandle(s);
    }
    return read;
}

} // namespace

int main(int argc, char **argv)
{
    bool enumerate_only = argc > 1 && strcmp(argv[1], "--enumerate-only") == 0;
    ++g_calls;
    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE);
    if (!scm)
        return 1;
    std::vector<std::wstring> names = enumerate(scm);
    size_t read = enumerate_only ? 0 : read_start_types(scm, names);
    ++g_calls;
    CloseServiceHandle(scm);
    printf("services %zu read %zu calls %lu\n", names.size(), read, g_calls);
    return 0;
}
