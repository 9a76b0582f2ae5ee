#include "win32_text.h"

#include <windows.h>

bool utf8_to_wide(const char *s, std::wstring &out)
{
    out.clear();
    if (!s)
        return false;
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s, -1, nullptr, 0);
    if (n <= 0)
        return false;
    out.resize(static_cast<size_t>(n));
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s, -1, &out[0], n) != n) {
        out.clear();
        return false;
    }
    out.resize(static_cast<size_t>(n) - 1);  // the string keeps its own NUL
    return true;
}

bool append_wide_as_utf8(const wchar_t *s, std::string &out)
{
    if (!s)
        return false;
    int n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, s, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 0)
        return false;
    size_t at = out.size();
    out.resize(at + static_cast<size_t>(n));
    if (WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, s, -1, &out[at], n, nullptr, nullptr) != n) {
        out.resize(at);
        return false;
    }
    return true;
}
