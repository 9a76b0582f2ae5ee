#include "actions.h"

#include <cstdlib>
#include <cstring>

#include "details.h"
#include "platform/platform.h"
#include "request.h"

int g_control;

// 1 when SERVICES_ALLOW_CONTROL is set, not empty and not exactly "0".
static int control_switch(void) {
    const char *v = getenv("SERVICES_ALLOW_CONTROL");
    return v && *v && strcmp(v, "0") != 0;
}

// The literal of a fixed-width text field, read no further than its width.
template <size_t N>
static char *put_field(char *p, const char (&field)[N]) {
    return put_json_field(p, field, N);
}

// Room for any service object: every text field at six bytes a byte, the
// numbers at their longest and the member names.
static const size_t k_object_max = 6 * sizeof(svc_record) + 256;
// What an object takes with a short name and a display name of some words.
static const size_t k_object_usual = 200;

void emit_service(buf *b, const svc_record *r) {
    char *p = buf_reserve(b, k_object_max);
    if (!p) return;
    p = put_lit(p, "{\"name\":");
    p = put_field(p, r->name);
    p = put_lit(p, ",\"description\":");
    p = put_field(p, r->description);
    p = put_lit(p, ",\"active\":");
    p = put_field(p, r->active);
    p = put_lit(p, ",\"sub\":");
    p = put_field(p, r->sub);
    p = put_lit(p, ",\"enabled\":");
    p = put_field(p, r->enabled);
    p = put_lit(p, ",\"pid\":");
    p = put_int(p, r->pid);
    p = put_lit(p, ",\"memory_bytes\":");
    p = r->memory_bytes ? put_u64(p, r->memory_bytes) : put_lit(p, "null");
    p = put_lit(p, ",\"since\":");
    p = put_field(p, r->since);
    p = svc_failed(r) ? put_lit(p, ",\"failed\":true}") : put_lit(p, ",\"failed\":false}");
    buf_commit(b, p);
}

void document_start(buf *b) {
    buf_puts(b, "{\"ok\":true,\"init_system\":");
    json_into(b, init_name());
    buf_puts(b, g_control ? ",\"control_enabled\":true" : ",\"control_enabled\":false");
}

enum list_filter { FILTER_ALL, FILTER_FAILED, FILTER_RUNNING, FILTER_INACTIVE };

// The filter a value names; any other value lists every record.
static list_filter filter_kind(const char *f) {
    if (strcmp(f, "failed") == 0) return FILTER_FAILED;
    if (strcmp(f, "running") == 0) return FILTER_RUNNING;
    if (strcmp(f, "inactive") == 0) return FILTER_INACTIVE;
    return FILTER_ALL;
}

// 1 when record r passes filter f.
static int filter_passes(list_filter f, const svc_record *r) {
    switch (f) {
    case FILTER_FAILED: return svc_failed(r);
    case FILTER_RUNNING: return svc_running(r);
    case FILTER_INACTIVE: return !svc_running(r) && !svc_failed(r);
    default: return 1;
    }
}

// Counts first, so the services go straight into the document after its
// head: building them apart meant a second copy of the largest response.
static void list_action(const request_params *p) {
    list_filter filter = filter_kind(p->filter);
    int running = 0, failed = 0, inactive = 0, count = 0;
    for (int i = 0; i < g_count; i++) {
        const svc_record *r = &g_svc[i];
        if (svc_running(r)) running++;
        else if (svc_failed(r)) failed++;
        else inactive++;
        count += filter_passes(filter, r) ? 1 : 0;
    }
    buf doc = {};
    // Storage for a usual object per service at once, backed at once,
    // rather than growing through every size from the first 4096 bytes up.
    size_t usual = (size_t)count * k_object_usual;
    if (buf_reserve(&doc, usual)) {
        buf_commit(&doc, doc.data);
        plat_prefault(doc.data, usual);
    }
    document_start(&doc);
    buf_puts(&doc, ",\"count\":");
    buf_int(&doc, count);
    buf_puts(&doc, ",\"summary\":{\"running\":");
    buf_int(&doc, running);
    buf_puts(&doc, ",\"failed\":");
    buf_int(&doc, failed);
    buf_puts(&doc, ",\"inactive\":");
    buf_int(&doc, inactive);
    buf_puts(&doc, "},\"services\":[");
    int emitted = 0;
    for (int i = 0; i < g_count; i++) {
        if (!filter_passes(filter, &g_svc[i])) continue;
        if (emitted++) buf_add(&doc, ",", 1);
        emit_service(&doc, &g_svc[i]);
    }
    buf_puts(&doc, "]}\n");
    print_json_header();
    buf_write(&doc);
}

static void show_action(const request_params *p) {
    if (!p->unit[0]) return err_json(400, "Bad Request", "missing unit");
    if (!valid_unit(p->unit)) return err_json(400, "Bad Request", "invalid unit");
    const svc_record *found = nullptr;
    for (int i = 0; i < g_count && !found; i++)
        if (strcmp(g_svc[i].name, p->unit) == 0) found = &g_svc[i];
    if (!found) return err_json(404, "Not Found", "service not found");
    buf doc = {};
    document_start(&doc);
    buf_puts(&doc, ",\"service\":");
    emit_service(&doc, found);
    buf_puts(&doc, "}\n");
    print_json_header();
    buf_write(&doc);
}

int mode_json(const char *qs) {
    request_params p = {};
    get_query_val(qs, "action", p.action, sizeof p.action);
    get_query_val(qs, "filter", p.filter, sizeof p.filter);
    get_query_val(qs, "unit", p.unit, sizeof p.unit);
    get_query_val(qs, "op", p.op, sizeof p.op);
    if (!p.action[0]) str_copy(p.action, sizeof p.action, "list");
    g_control = control_switch();
    // Control reads no table: the name goes to the service manager as it is.
    if (strcmp(p.action, "control") == 0) {
        g_init = INIT_WINDOWS_SCM;
        control_action(&p);
        return 0;
    }
    if (strcmp(p.action, "details") == 0) {
        details_action(&p);  // reads its one service, not the table
        return 0;
    }
    // show answers with one service: only its start type is read.
    load_services(strcmp(p.action, "show") == 0 ? p.unit : nullptr);
    svc_sort();
    if (strcmp(p.action, "list") == 0) list_action(&p);
    else if (strcmp(p.action, "show") == 0) show_action(&p);
    else err_json(400, "Bad Request", "unknown action");
    return 0;
}
