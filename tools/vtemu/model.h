// The console model behind the interposer and the glimmer-vtemu command.
//
// Every request runs inside a session: the state file is locked with flock,
// all signals are blocked (a handler that issues a request of its own must not
// find the lock taken by the code it interrupted), the model is loaded, changed,
// written back, and the log lines are appended. Nothing here allocates memory,
// so a request may come from a signal handler.
#pragma once

#include "vtemu.h"

#include <csignal>
#include <cstddef>

enum { VTEMU_LINE_SIZE = 256, VTEMU_MAX_EVENTS = 8 };

// The device of a request made without a descriptor (the command's chvt).
enum { VTEMU_NO_DEVICE = -1000 };

struct VtemuLine {
    char text[VTEMU_LINE_SIZE];
    size_t length;
};

struct VtemuSession {
    char dir[1024];
    int state_fd;
    sigset_t saved_mask;
    int pid;
    VtemuConfig config;
    VtemuState state;
    VtemuLine request_line;
    VtemuLine events[VTEMU_MAX_EVENTS]; // what the request set off, logged after it
    int event_count;
};

// False when `dir` holds no readable, valid console.conf.
bool vtemu_config_load(const char *dir, VtemuConfig *config);
void vtemu_state_init(VtemuState *state, const VtemuConfig *config);
// Locks and loads; false (nothing locked) when the console is not configured.
bool vtemu_session_begin(VtemuSession *s, const char *dir);
// Writes the model back, appends the log lines and unlocks.
void vtemu_session_end(VtemuSession *s);

// Opens terminal `vt` (0 for /dev/tty0, which stands for the terminal shown).
// Returns 0 and the terminal the descriptor refers to, or -1 and an errno value.
int vtemu_open(VtemuSession *s, int vt, int flags, int *resolved, int *error);
// `device` is the terminal a descriptor was opened as (0 for tty0), `vt` the
// terminal it refers to.
void vtemu_close(VtemuSession *s, int device, int vt);
// One console request other than VT_WAITACTIVE; vt -1 for a request made
// without a descriptor (the command). Returns the ioctl result.
int vtemu_ioctl(VtemuSession *s, int device, int vt, unsigned long request, void *arg, int *error);
// VT_WAITACTIVE: polls the model, with signals let through between looks.
// Fails with EINTR when a signal handler ran, ETIMEDOUT after the configured bound.
int vtemu_wait_active(const char *dir, int device, int target, int *error);
