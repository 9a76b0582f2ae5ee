// The portable logic of the control action: what each answer of the service
// manager comes to, and the wait for a stop. Declared here so that the unit
// tests can drive it over the scripted service manager.
#ifndef PLUGIN_CONTROL_H
#define PLUGIN_CONTROL_H

#include <cstdint>

#include "platform/platform.h"

// What a control request comes to; each but the last is one answer.
enum control_answer {
    ANSWER_DONE,                // what was asked is done, under way or already true
    ANSWER_MANAGER_FAILED,      // the service manager cannot be opened
    ANSWER_NOT_FOUND,           // no service of that name
    ANSWER_ACCESS_DENIED,       // the account may not open or control it
    ANSWER_DISABLED,            // start or restart of a disabled service
    ANSWER_MARKED_FOR_DELETE,   // the service is marked for deletion
    ANSWER_DEPENDENTS_RUNNING,  // stop while services that depend on it run
    ANSWER_CANNOT_STOP,         // the running service does not accept a stop
    ANSWER_STARTING,            // stop of a service that is starting
    ANSWER_PAUSED,              // start of a paused service
    ANSWER_NO_RESPONSE,         // the service did not answer a control in time
    ANSWER_STOP_TIMED_OUT,      // the wait for a stop ran out
    ANSWER_FAILED,              // any other refusal, with its error number
    ANSWER_WAIT_FOR_STOP        // not an answer: the service is stopping, so a
                                // start must wait for the stop, then try again
};

struct control_result {
    control_answer answer;
    uint32_t code;  // the platform's error number of a refusal, else 0
};

enum control_step { STEP_START, STEP_STOP };

// The result of a start or stop that the manager answered with `outcome`.
// `status` is the service's status read right after a refusal, or null when
// it was not read; refusals whose code does not settle the answer are
// judged by it.
control_result judge_step(control_step step, scm_outcome outcome, const scm_status *status);

// The pause between two status polls for a wait hint: a tenth of it, no
// less than 100 ms and no more than 1 s.
uint32_t poll_interval_ms(uint32_t wait_hint_ms);

// Polls the status (SCM_RIGHT_QUERY_STATUS) until the service reports
// stopped: ANSWER_DONE then; ANSWER_STOP_TIMED_OUT when a stopping service
// made no progress (its check point unchanged) for longer than its wait
// hint, or 20 s have passed in all; ANSWER_FAILED when the status cannot be
// read.
control_result wait_for_stop(scm_service *s);

#endif
