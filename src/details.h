// The details action: what one service is, what runs it, what depends on
// it and what the manager does when it fails, read from that one service
// alone.
#ifndef PLUGIN_DETAILS_H
#define PLUGIN_DETAILS_H

#include <cstddef>
#include <cstdint>

#include "actions.h"
#include "platform/platform.h"

// What was read of one service. A null pointer, a flag of -1 or a list not
// read is a part that could not be read, and is written as null.
struct svc_details {
    const char *name;               // never null
    const char *display_name;
    const char *description;
    const scm_status *status;       // state, pid, exit codes, accepted controls
    const scm_config *config;       // type, start type, program, account, dependencies
    int delayed_start;              // 1, 0 or -1
    int trigger_start;
    bool dependents_read;
    const char *const *dependents;  // dependent_count names, in the manager's order
    size_t dependent_count;
    const scm_recovery *recovery;
};

// The word for the manager's type bits: "own-process", "shared-process",
// "user-own-process", "user-shared-process", "kernel-driver",
// "file-system-driver" or "other". A per-user service's instance and an
// interactive service have the word of the type they are made from.
const char *service_type_word(uint32_t type);
// The word for a recovery action's type: "none", "restart", "reboot" or
// "run-command"; a number the manager may add later reads as "none".
const char *recovery_action_word(uint32_t type);
// Appends the JSON array of the SCM_ACCEPTS_* bits: "stop",
// "pause-continue", "shutdown", "preshutdown", in that order.
void accepts_into(buf *b, uint32_t accepts);
// Appends the whole details document, line feed included.
void details_document(buf *b, const svc_details *d);

// The details action. It reads only the named service, so its cost does
// not grow with the number of services.
void details_action(const request_params *p);

#endif
