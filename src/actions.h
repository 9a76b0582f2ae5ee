// The JSON interface: parameters, dispatch, and the list, show and control
// actions.
#ifndef PLUGIN_ACTIONS_H
#define PLUGIN_ACTIONS_H

#include "json_text.h"
#include "service_table.h"

struct request_params {
    char action[64];
    char filter[32];
    // A name of up to 255 bytes, sent with every byte percent-encoded (three
    // raw bytes each), and one raw byte more: a raw value cut to fit then
    // decodes to more than 255 bytes, which valid_unit refuses, so a cut
    // never names another service.
    char unit[767];
    char op[32];
};

extern int g_control;

// Answers one JSON request for the raw query string qs (never null).
// Always returns 0, after writing exactly one response.
int mode_json(const char *qs);

// Appends the JSON object of one service record.
void emit_service(buf *b, const svc_record *r);

// Opens a success document: "ok", "init_system" and "control_enabled".
void document_start(buf *b);

// 1 when s can be a service name: 1 to 255 bytes of well-formed UTF-8
// with no control byte (below 0x20, or 0x7f) and no "/".
int valid_unit(const char *s);

// The control action. It reads no service table.
void control_action(const request_params *p);

#endif
