// Running console operations in a child process against the emulated console.
//
// The console state is process-wide, so every case forks: the child points
// the preloaded emulation at the case's directory, sends its standard error
// into a file, runs the case and reports what it saw through shared memory.
#pragma once

#include "console/console.h"
#include "vtemu.h"

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

// A fresh directory, removed with its files.
struct ConsoleDir {
    std::string path;
    ConsoleDir();
    ~ConsoleDir();
    ConsoleDir(const ConsoleDir &) = delete;
    ConsoleDir &operator=(const ConsoleDir &) = delete;
};

// Whether libglimmer_vtemu.so is preloaded into this process. Without it the
// console operations would reach the machine's real terminals: no case may
// run then.
bool console_emulation_loaded();

enum SignalDisposition { SIGNAL_DEFAULT, SIGNAL_IGNORED, SIGNAL_SWITCH_HANDLER, SIGNAL_OTHER };

// What the child records at a checkpoint.
struct ConsoleSnapshot {
    ConsoleState state;
    SignalDisposition sigusr1;
    int sigusr1_flags;
    int sigusr1_mask_empty;
    long stderr_bytes; // standard error written so far
    long log_lines;    // console.log lines so far
    VtemuState model;
};

enum { CHILD_MAX_SNAPSHOTS = 6 };

struct ChildReport {
    ConsoleSnapshot snapshots[CHILD_MAX_SNAPSHOTS];
    int snapshot_count;
    long measured_ms; // a duration the body measured
    int finished;     // the body ran to its end
};

struct ChildRun {
    bool exited = false;
    int code = -1;
    bool timed_out = false;
    std::string err; // the child's standard error, byte for byte
    ChildReport report = {};
};

// Inside the child: records a checkpoint.
void child_snapshot(ChildReport *report);

// Forks, runs `body` in the child with GLIMMER_EMU_DIR=dir, waits (bounded).
ChildRun run_console_child(const std::string &dir, const std::function<void(ChildReport *)> &body);

// Inside the child: makes a request to show `vt` from another process, as a
// user's chvt would, and waits for that process.
void switch_from_elsewhere(const std::string &dir, int vt);
// Inside the child: waits (bounded) until `done` holds, letting signals in.
bool child_wait_for(const std::function<bool()> &done, int timeout_ms);

// The log lines without their pids.
std::vector<std::string> console_log(const std::string &dir);
std::vector<std::string> console_log_from(const std::string &dir, size_t first);
// The same without the emulator's own event lines (switch, relsig, ...).
std::vector<std::string> console_requests(const std::vector<std::string> &lines);
