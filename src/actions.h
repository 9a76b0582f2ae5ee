// The JSON interface: parameters, dispatch, and the list, show and control
// actions.
#ifndef PLUGIN_ACTIONS_H
#define PLUGIN_ACTIONS_H

#include "json_text.h"
#include "service_table.h"

struct request_params {
    char action[64];
    char filter[32];
    char unit[256];
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

// 1 when s is 1 to 160 bytes of ASCII letters, digits and - . : @ \ _
int valid_unit(const char *s);

// The control action, after the table is loaded.
void control_action(const request_params *p);

// Longest a restart waits for the service to stop, in milliseconds.
enum { RESTART_WAIT_LIMIT_MS = 20000 };

#endif
