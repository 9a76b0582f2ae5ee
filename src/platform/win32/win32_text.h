// UTF-8 and UTF-16 conversions for the Win32 backend. Every conversion is
// checked: text that is not valid in its encoding is refused, never mangled.
#ifndef PLUGIN_WIN32_TEXT_H
#define PLUGIN_WIN32_TEXT_H

#include <string>

// Converts the NUL-terminated UTF-8 text s to UTF-16 in out. Returns false,
// out empty, when s is null or not valid UTF-8.
bool utf8_to_wide(const char *s, std::wstring &out);

// Appends the UTF-8 form of the NUL-terminated UTF-16 text s to out, its NUL
// included. Returns false, out unchanged, when s is null or not valid UTF-16.
bool append_wide_as_utf8(const wchar_t *s, std::string &out);

#endif
