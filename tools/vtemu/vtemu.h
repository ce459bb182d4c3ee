// The emulated Linux console: a model of the virtual terminals shared by every
// process that has libglimmer_vtemu.so preloaded, kept in a directory:
//
//   console.conf   the configuration (written by glimmer_vtemu_init or by hand)
//   console.state  the model (binary VtemuState), updated under flock
//   console.log    one line per request: "<pid> <device> <REQUEST> [args] = <result> [-> out]"
//
// The records below are the on-disk layout as well; they hold fixed-size
// integers only, so the interposer, the command and the tests agree on them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum {
    VTEMU_MAX_VT = 63,
    VTEMU_MAX_OPENERS = 64,
    VTEMU_MAX_RULES = 32,
    VTEMU_STATE_MAGIC = 0x56544d31, // "VTM1"
};

// Everything the emulation can be asked to do, for fault injection and counting.
enum VtemuRequest {
    VTEMU_REQ_OPEN_TTY0, // open("/dev/tty0")
    VTEMU_REQ_OPEN_TTY,  // open("/dev/ttyN")
    VTEMU_REQ_CLOSE,
    VTEMU_REQ_VT_OPENQRY,
    VTEMU_REQ_VT_GETSTATE,
    VTEMU_REQ_VT_GETMODE,
    VTEMU_REQ_VT_SETMODE,
    VTEMU_REQ_VT_ACTIVATE,
    VTEMU_REQ_VT_WAITACTIVE,
    VTEMU_REQ_VT_RELDISP,
    VTEMU_REQ_VT_DISALLOCATE,
    VTEMU_REQ_KDSETMODE,
    VTEMU_REQ_KDGETMODE,
    VTEMU_REQ_COUNT,
};

// A refusal: `request` fails with `error` on its nth call (counted over all
// processes since the state was created), or on every call when nth is 0.
struct VtemuRule {
    int32_t request;
    int32_t error;
    int32_t nth;
};

struct VtemuConfig {
    uint64_t held_mask;       // bit N: ttyN exists and is kept open elsewhere (a getty)
    int32_t active;           // the terminal shown when the state is created
    int32_t free_vt;          // the VT_OPENQRY answer; 0: the first terminal nobody has open
    int32_t disallocate_busy; // VT_DISALLOCATE fails with EBUSY this often after the last close
    int32_t waitactive_ms;    // VT_WAITACTIVE gives up (ETIMEDOUT) after this long
    int32_t rule_count;
    VtemuRule rules[VTEMU_MAX_RULES];
};

struct VtemuTerminal {
    int32_t allocated;
    int32_t held;
    int32_t kd_mode; // KD_TEXT or KD_GRAPHICS
    int32_t mode;    // struct vt_mode, field by field
    int32_t waitv;
    int32_t relsig;
    int32_t acqsig;
    int32_t frsig;
    int32_t owner_pid; // the process that last set the mode
    int32_t new_vt;    // a switch away waiting for VT_RELDISP, -1 for none
    int32_t busy_left; // EBUSY answers to VT_DISALLOCATE still to give
};

// Open descriptors of the emulated terminals, per process.
struct VtemuOpener {
    int32_t pid;
    int32_t vt;
    int32_t count;
};

struct VtemuState {
    uint32_t magic;
    uint32_t size;
    int32_t active;          // the terminal on display
    int32_t acquire_pending; // terminal whose owner got its acqsig and has not acknowledged
    VtemuTerminal vt[VTEMU_MAX_VT + 1]; // indexed by terminal number; [0] unused
    VtemuOpener openers[VTEMU_MAX_OPENERS];
    uint32_t calls[VTEMU_REQ_COUNT];
};

struct VtemuLogEntry {
    int pid;
    std::string device;  // "tty0", "tty7", or "-" for a request made without a terminal
    std::string request; // "VT_ACTIVATE", "open", "close", "relsig", ...
    std::string args;    // what was asked, "" when nothing
    std::string result;  // "0", "-1 EBUSY", ...
    std::string out;     // what was returned through the argument, "" when nothing
    std::string text;    // the whole line without the pid
};

// Terminals 1..6 kept open elsewhere, terminal 1 shown, 7 the first free one.
void glimmer_vtemu_config_default(VtemuConfig *config);
// Adds a refusal; `request` by name ("VT_ACTIVATE", "open_tty0", ...).
bool glimmer_vtemu_config_fail(VtemuConfig *config, const char *request, int error, int nth);
// Writes console.conf and a fresh console.state, and empties console.log.
bool glimmer_vtemu_init(const char *dir, const VtemuConfig *config);
bool glimmer_vtemu_read_state(const char *dir, VtemuState *state);
// Descriptors of terminal `vt` open in live processes.
int glimmer_vtemu_open_count(const VtemuState *state, int vt);
std::vector<VtemuLogEntry> glimmer_vtemu_read_log(const char *dir);
// A request to show terminal `vt`, made like chvt would from outside; returns
// 0 or an errno value. The switch may complete later (VT_PROCESS).
int glimmer_vtemu_activate(const char *dir, int vt);
// Waits until terminal `vt` is shown; false after timeout_ms.
bool glimmer_vtemu_wait_active(const char *dir, int vt, int timeout_ms);
// The model as readable text.
std::string glimmer_vtemu_describe(const VtemuState *state);

const char *glimmer_vtemu_request_name(int request);
int glimmer_vtemu_request_value(const char *name); // -1 when unknown
const char *glimmer_vtemu_errno_name(int error);
int glimmer_vtemu_errno_value(const char *name); // 0 when unknown
