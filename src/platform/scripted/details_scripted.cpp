// The details half of the scripted service manager: the names,
// configuration, description, delayed start, triggers and recovery of one
// service, as the options of its fixture line script them. Every read is
// traced; a part the fixture calls unreadable is refused as the manager
// would refuse it.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fixture.h"

namespace {

const scm_outcome k_read = {SCM_OK, 0};
// What Windows answers when a description's message file is missing.
const scm_outcome k_no_message_file = {SCM_OTHER, 15100};

const bit_word k_parts[] = {
    {"names", UNREADABLE_NAMES},
    {"description", UNREADABLE_DESCRIPTION},
    {"delayed", UNREADABLE_DELAYED},
    {"triggers", UNREADABLE_TRIGGERS},
    {"recovery", UNREADABLE_RECOVERY},
};

const bit_word k_actions[] = {
    {"none", SCM_ACTION_NONE},
    {"restart", SCM_ACTION_RESTART},
    {"reboot", SCM_ACTION_REBOOT},
    {"run-command", SCM_ACTION_RUN_COMMAND},
};

struct config_copy : scm_config {
    std::vector<const char *> names;
};

struct recovery_copy : scm_recovery {
    std::vector<scm_action> list;
};

// The details script of s, made when its first option is read.
scripted_details &script_of(scripted_service &s) {
    if (!s.details) {
        g_fixture.details.emplace_back();
        s.details = g_fixture.details.size();
    }
    return g_fixture.details[s.details - 1];
}

// A copy of s to free with scm_text_free; null when there is no memory.
char *copy_text(const char *s) {
    size_t n = strlen(s) + 1;
    char *copy = static_cast<char *>(malloc(n));
    if (copy) memcpy(copy, s, n);
    return copy;
}

// Traces the read of one part of an opened service and says whether it is
// refused: as denied without the config right, as `why` when the fixture
// makes the part unreadable.
scm_outcome read_part(const scm_service *s, const char *what, uint32_t part, scm_outcome why) {
    trace(what, s->svc->entry.name);
    if (!(s->rights & SCM_RIGHT_QUERY_CONFIG)) return scripted_refusal(SCM_ACCESS_DENIED);
    if (details_of(s->svc).unreadable & part) return why;
    return k_read;
}

// The action a word names ("restart", ...), or the number it is.
uint32_t action_type(const char *word, size_t len) {
    for (const bit_word &a : k_actions)
        if (strlen(a.word) == len && !strncmp(word, a.word, len)) return a.bit;
    return (uint32_t)strtoul(word, nullptr, 10);
}

// Reads RESET:ACTION/MS,ACTION/MS,... into r; false when malformed.
bool parse_recovery(const char *text, recovery_copy *r) {
    char *end = nullptr;
    r->reset_seconds = (uint32_t)strtoul(text, &end, 10);
    if (end == text || *end != ':') return false;
    for (const char *p = end + 1; *p;) {
        const char *slash = strchr(p, '/');
        if (!slash) return false;
        scm_action a = {action_type(p, (size_t)(slash - p)), (uint32_t)strtoul(slash + 1, &end, 10)};
        if (end == slash + 1 || (*end && *end != ',')) return false;
        r->list.push_back(a);
        p = *end ? end + 1 : end;
    }
    return true;
}

}  // namespace

const scripted_details &details_of(const scripted_service *s) {
    static const scripted_details defaults;
    return s->details ? g_fixture.details[s->details - 1] : defaults;
}

bool apply_details_option(scripted_service &s, const char *opt, char *val) {
    if (!strcmp(opt, "type")) script_of(s).type = (uint32_t)field_number(val);
    else if (!strcmp(opt, "path")) script_of(s).binary_path = text_field(val);
    else if (!strcmp(opt, "account")) script_of(s).account = text_field(val);
    else if (!strcmp(opt, "description")) {
        unescape(val);
        script_of(s).description = val;
    } else if (!strcmp(opt, "dependencies")) {
        script_of(s).dependency_count = cut_names(val);
        script_of(s).dependencies = val;
    } else if (!strcmp(opt, "delayed")) script_of(s).delayed = !strcmp(val, "true");
    else if (!strcmp(opt, "triggers")) script_of(s).triggers = !strcmp(val, "true");
    else if (!strcmp(opt, "recovery")) script_of(s).recovery = val;
    else if (!strcmp(opt, "unreadable")) script_of(s).unreadable = bits_of(val, k_parts);
    else return false;
    return true;
}

scm_outcome scm_read_names(scm_manager *m, const char *name, char **key_name, char **display_name) {
    *key_name = *display_name = nullptr;
    if (!m || !name) return scripted_refusal(SCM_OTHER);
    trace("names", name);
    const scripted_service *v = find_service(name);
    if (!v) return scripted_refusal(SCM_NO_SUCH_SERVICE);
    if ((details_of(v).unreadable & UNREADABLE_NAMES) || !v->entry.display_name)
        return scripted_refusal(SCM_OTHER);
    *key_name = copy_text(v->entry.name);
    *display_name = copy_text(v->entry.display_name);
    if (*key_name && *display_name) return k_read;
    scm_text_free(*key_name);
    scm_text_free(*display_name);
    *key_name = *display_name = nullptr;
    return {SCM_OTHER, 8};
}

// The start type read answers the refusals of the configuration read.
scm_outcome scm_read_config(scm_service *s, scm_config **out) {
    *out = nullptr;
    uint32_t start_type = 0;
    scm_outcome r = scm_read_service_start_type(s, &start_type);
    if (r.reason != SCM_OK) return r;
    const scripted_details &d = details_of(s->svc);
    config_copy *c = new config_copy();
    c->type = d.type;
    c->start_type = start_type;
    c->binary_path = d.binary_path;
    c->account = d.account;
    const char *name = d.dependencies;
    for (uint32_t i = 0; i < d.dependency_count; i++, name += strlen(name) + 1) c->names.push_back(name);
    c->dependencies = c->names.data();
    c->dependency_count = c->names.size();
    *out = c;
    return k_read;
}

void scm_config_free(scm_config *c) { delete static_cast<config_copy *>(c); }

scm_outcome scm_read_description(scm_service *s, char **out) {
    *out = nullptr;
    scm_outcome r = read_part(s, "description", UNREADABLE_DESCRIPTION, k_no_message_file);
    if (r.reason != SCM_OK) return r;
    *out = copy_text(details_of(s->svc).description);
    return *out ? k_read : scm_outcome{SCM_OTHER, 8};
}

void scm_text_free(char *text) { free(text); }

scm_outcome scm_read_delayed_start(scm_service *s, bool *delayed) {
    scm_outcome r = read_part(s, "delayed", UNREADABLE_DELAYED, scripted_refusal(SCM_LEVEL_NOT_SUPPORTED));
    if (r.reason == SCM_OK) *delayed = details_of(s->svc).delayed;
    return r;
}

scm_outcome scm_read_trigger_start(scm_service *s, bool *on_trigger) {
    scm_outcome r = read_part(s, "triggers", UNREADABLE_TRIGGERS, scripted_refusal(SCM_LEVEL_NOT_SUPPORTED));
    if (r.reason == SCM_OK) *on_trigger = details_of(s->svc).triggers;
    return r;
}

// Without a recovery option a service has no actions and a reset of 0.
scm_outcome scm_read_recovery(scm_service *s, scm_recovery **out) {
    *out = nullptr;
    scm_outcome r = read_part(s, "recovery", UNREADABLE_RECOVERY, scripted_refusal(SCM_LEVEL_NOT_SUPPORTED));
    if (r.reason != SCM_OK) return r;
    const char *script = details_of(s->svc).recovery;
    recovery_copy *c = new recovery_copy();
    c->reset_seconds = 0;
    if (script && !parse_recovery(script, c)) {
        delete c;
        return scripted_refusal(SCM_OTHER);
    }
    c->actions = c->list.data();
    c->action_count = c->list.size();
    *out = c;
    return k_read;
}

void scm_recovery_free(scm_recovery *r) { delete static_cast<recovery_copy *>(r); }
