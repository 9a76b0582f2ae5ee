// The details half of the seam on Windows: the names, the configuration
// and its optional levels (description, delayed start, triggers, recovery)
// of one service, through the manager's wide-character interface. Text
// leaves this file as UTF-8; refusals leave it as our own reasons.
#include "platform/platform.h"
#include "scm_handles.h"
#include "win32_text.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace {

// Service and display names are at most 256 characters.
const size_t kNameChars = 257;
const size_t kNoText = static_cast<size_t>(-1);

// SERVICE_TRIGGER_INFO, which the mingw-w64 headers lack; only the count
// is read.
struct trigger_info {
    DWORD cTriggers;
    void *pTriggers;
    BYTE *pReserved;
};

const scm_outcome kDone = {SCM_OK, 0};

struct owned_config : scm_config {
    std::string text;  // every text, NUL-terminated, back to back
    std::vector<const char *> names;
};

struct owned_recovery : scm_recovery {
    std::vector<scm_action> list;
};

// Reads one optional level of the configuration into buf.
scm_outcome query_level(scm_service *s, DWORD level, std::vector<unsigned char> &buf)
{
    if (!s)
        return outcome_of(ERROR_INVALID_HANDLE);
    return query_growing(buf, [&](BYTE *data, DWORD size, DWORD *needed) {
        return QueryServiceConfig2W(s->handle.h, level, data, size, needed);
    });
}

// Appends the UTF-8 form of s, NUL included, and returns where it starts;
// a null s is the empty text; kNoText when s cannot be converted.
size_t keep_text(std::string &text, const wchar_t *s)
{
    size_t at = text.size();
    if (!s) {
        text.push_back('\0');
        return at;
    }
    return append_wide_as_utf8(s, text) ? at : kNoText;
}

const char *text_at(const std::string &text, size_t at)
{
    return at == kNoText ? nullptr : text.data() + at;
}

// Keeps each name of the double-NUL list at `list` that ends before `end`;
// a name that cannot be converted is left out.
void keep_names(std::string &text, const wchar_t *list, const wchar_t *begin, const wchar_t *end,
                std::vector<size_t> &starts)
{
    if (!list || list < begin)
        return;
    while (list < end && *list) {
        size_t n = wcsnlen(list, static_cast<size_t>(end - list));
        if (n == static_cast<size_t>(end - list))
            return;
        size_t at = keep_text(text, list);
        if (at != kNoText)
            starts.push_back(at);
        list += n + 1;
    }
}

void fill_config(const std::vector<unsigned char> &buf, owned_config *c)
{
    const auto *cfg = reinterpret_cast<const QUERY_SERVICE_CONFIGW *>(buf.data());
    c->type = cfg->dwServiceType;
    c->start_type = cfg->dwStartType;
    size_t path = keep_text(c->text, cfg->lpBinaryPathName);
    size_t account = keep_text(c->text, cfg->lpServiceStartName);
    const auto *begin = reinterpret_cast<const wchar_t *>(buf.data());
    std::vector<size_t> starts;
    keep_names(c->text, cfg->lpDependencies, begin, begin + buf.size() / sizeof(wchar_t), starts);
    c->binary_path = text_at(c->text, path);
    c->account = text_at(c->text, account);
    for (size_t at : starts)
        c->names.push_back(c->text.data() + at);
    c->dependencies = c->names.data();
    c->dependency_count = c->names.size();
}

// A copy of the NUL-terminated text for the caller to free, or null.
char *hand_out(const std::string &text)
{
    char *copy = static_cast<char *>(malloc(text.size()));
    if (copy)
        memcpy(copy, text.data(), text.size());
    return copy;
}

// Asks one of the manager's name lookups, lookup(buffer, &chars), growing
// the buffer once when the manager asks for more.
template <typename Lookup>
scm_outcome look_up_name(Lookup lookup, std::wstring &out)
{
    std::vector<wchar_t> buf(kNameChars);
    for (int attempt = 0; attempt < 2; ++attempt) {
        DWORD chars = static_cast<DWORD>(buf.size());
        if (lookup(buf.data(), &chars)) {
            out.assign(buf.data(), wcsnlen(buf.data(), buf.size()));
            return kDone;
        }
        DWORD code = GetLastError();
        if (code != ERROR_INSUFFICIENT_BUFFER || chars + 1u <= buf.size())
            return outcome_of(code);
        buf.resize(chars + 1u);
    }
    return outcome_of(ERROR_INSUFFICIENT_BUFFER);
}

// The key name the manager keeps for the display name, when it names the
// same service as `asked` (the manager ignores case); else `asked` itself.
std::wstring key_name_of(SC_HANDLE m, const std::wstring &display, const std::wstring &asked)
{
    std::wstring key;
    scm_outcome r = look_up_name([&](wchar_t *b, DWORD *n) { return GetServiceKeyNameW(m, display.c_str(), b, n); },
                                 key);
    bool same = r.reason == SCM_OK && CompareStringOrdinal(key.c_str(), -1, asked.c_str(), -1, TRUE) == CSTR_EQUAL;
    return same ? key : asked;
}

// Both names as texts to hand out; false when one cannot be converted.
bool hand_out_names(const std::wstring &key, const std::wstring &display, char **key_name, char **display_name)
{
    std::string k, d;
    if (!append_wide_as_utf8(key.c_str(), k) || !append_wide_as_utf8(display.c_str(), d))
        return false;
    *key_name = hand_out(k);
    *display_name = hand_out(d);
    if (*key_name && *display_name)
        return true;
    scm_text_free(*key_name);
    scm_text_free(*display_name);
    *key_name = *display_name = nullptr;
    return false;
}

// True when the action array lies within the `bytes` bytes the manager
// filled from &fa on.
bool actions_within(const SERVICE_FAILURE_ACTIONSW &fa, size_t bytes)
{
    if (fa.cActions == 0)
        return true;
    const auto *begin = reinterpret_cast<const unsigned char *>(&fa);
    const auto *first = reinterpret_cast<const unsigned char *>(fa.lpsaActions);
    if (first < begin || first > begin + bytes)
        return false;
    return fa.cActions <= (bytes - static_cast<size_t>(first - begin)) / sizeof(SC_ACTION);
}

// Reads one optional level and answers what take(level structure, bytes
// read) makes of it.
template <typename Level, typename Take>
scm_outcome read_level(scm_service *s, DWORD level, Take take)
{
    try {
        std::vector<unsigned char> buf(kConfigBytes);
        scm_outcome r = query_level(s, level, buf);
        if (r.reason != SCM_OK)
            return r;
        return take(*reinterpret_cast<const Level *>(buf.data()), buf.size());
    } catch (const std::bad_alloc &) {
        return outcome_of(ERROR_NOT_ENOUGH_MEMORY);
    }
}

} // namespace

scm_outcome scm_read_names(scm_manager *m, const char *name, char **key_name, char **display_name)
{
    *key_name = *display_name = nullptr;
    if (!m || !name)
        return outcome_of(ERROR_INVALID_HANDLE);
    try {
        std::wstring asked, display;
        if (!utf8_to_wide(name, asked))
            return outcome_of(ERROR_INVALID_NAME);
        SC_HANDLE h = m->handle.h;
        scm_outcome r = look_up_name(
            [&](wchar_t *b, DWORD *n) { return GetServiceDisplayNameW(h, asked.c_str(), b, n); }, display);
        if (r.reason != SCM_OK)
            return r;
        std::wstring key = key_name_of(h, display, asked);
        return hand_out_names(key, display, key_name, display_name) ? kDone
                                                                    : outcome_of(ERROR_NO_UNICODE_TRANSLATION);
    } catch (const std::bad_alloc &) {
        return outcome_of(ERROR_NOT_ENOUGH_MEMORY);
    }
}

scm_outcome scm_read_config(scm_service *s, scm_config **out)
{
    *out = nullptr;
    if (!s)
        return outcome_of(ERROR_INVALID_HANDLE);
    owned_config *c = nullptr;
    try {
        std::vector<unsigned char> buf(kConfigBytes);
        scm_outcome r = query_config(s->handle.h, buf);
        if (r.reason != SCM_OK)
            return r;
        c = new owned_config();
        fill_config(buf, c);
        *out = c;
        return kDone;
    } catch (const std::bad_alloc &) {
        delete c;
        return outcome_of(ERROR_NOT_ENOUGH_MEMORY);
    }
}

void scm_config_free(scm_config *c)
{
    delete static_cast<owned_config *>(c);
}

scm_outcome scm_read_description(scm_service *s, char **out)
{
    *out = nullptr;
    return read_level<SERVICE_DESCRIPTIONW>(s, SERVICE_CONFIG_DESCRIPTION, [&](const SERVICE_DESCRIPTIONW &d, size_t) {
        std::string text;
        if (keep_text(text, d.lpDescription) == kNoText)
            return outcome_of(ERROR_NO_UNICODE_TRANSLATION);
        *out = hand_out(text);
        return *out ? kDone : outcome_of(ERROR_NOT_ENOUGH_MEMORY);
    });
}

void scm_text_free(char *text)
{
    free(text);
}

scm_outcome scm_read_delayed_start(scm_service *s, bool *delayed)
{
    return read_level<SERVICE_DELAYED_AUTO_START_INFO>(
        s, SERVICE_CONFIG_DELAYED_AUTO_START_INFO, [&](const SERVICE_DELAYED_AUTO_START_INFO &info, size_t) {
            *delayed = info.fDelayedAutostart != FALSE;
            return kDone;
        });
}

scm_outcome scm_read_trigger_start(scm_service *s, bool *on_trigger)
{
    return read_level<trigger_info>(s, SERVICE_CONFIG_TRIGGER_INFO, [&](const trigger_info &info, size_t) {
        *on_trigger = info.cTriggers > 0;
        return kDone;
    });
}

scm_outcome scm_read_recovery(scm_service *s, scm_recovery **out)
{
    *out = nullptr;
    return read_level<SERVICE_FAILURE_ACTIONSW>(
        s, SERVICE_CONFIG_FAILURE_ACTIONS, [&](const SERVICE_FAILURE_ACTIONSW &fa, size_t bytes) {
            if (!actions_within(fa, bytes))
                return outcome_of(ERROR_INVALID_DATA);
            std::unique_ptr<owned_recovery> c(new owned_recovery());
            c->reset_seconds = fa.dwResetPeriod;
            for (DWORD i = 0; i < fa.cActions; ++i)
                c->list.push_back({static_cast<uint32_t>(fa.lpsaActions[i].Type), fa.lpsaActions[i].Delay});
            c->actions = c->list.data();
            c->action_count = c->list.size();
            *out = c.release();
            return kDone;
        });
}

void scm_recovery_free(scm_recovery *r)
{
    delete static_cast<owned_recovery *>(r);
}
