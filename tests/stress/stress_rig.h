// The rig for attack tests of the glimmer binary: a fresh directory holding
// an emulated framebuffer and an emulated console, glimmer started with both
// interposers preloaded, and ways to watch it from the outside (flip count,
// pages, console state, whether it is waiting for commands, its descriptors
// and memory).
#pragma once

#include "fbemu.h"
#include "glimmer_run.h"
#include "vtemu.h"

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

// Bound on every single wait of these tests.
enum { STRESS_TIMEOUT_MS = 20000 };

// `base` scaled by GLIMMER_STRESS_SCALE (a factor, default 1), at least `minimum`.
int stress_count(int base, int minimum = 1);

// Whether glimmer and the tests carry AddressSanitizer (which rules out valgrind).
bool stress_sanitized();

// One glimmer run in a directory of its own.
struct StressRig {
    TempDir dir;
    std::string fifo;
    GlimmerProcess process;
    VtemuState console_before = {};

    StressRig(); // the default console: terminals 1-6 held, 1 shown, 7 free

    // A device for the next run; the state of an earlier run is dropped.
    bool configure(const FbemuConfig &config);
    bool configure_console(const VtemuConfig &config);

    // A run with both interposers preloaded; console switching unless "-n".
    GlimmerRun run(const std::vector<std::string> &args = {}) const;
    bool start(const std::vector<std::string> &args = {});
    // Starts `wrapper` (valgrind, strace...) with the binary and the arguments.
    bool start_wrapped(const std::vector<std::string> &wrapper,
                       const std::vector<std::string> &args = {});
    // Waits until glimmer serves the FIFO: the FIFO exists and glimmer waits
    // for commands, so the console take-over and the initial scene are done.
    bool wait_ready(int timeout_ms = STRESS_TIMEOUT_MS);

    FbemuDevice device() const;
    uint32_t flips() const;
    bool wait_flips(uint32_t at_least, int timeout_ms = STRESS_TIMEOUT_MS) const;
    std::vector<FbemuLogEntry> device_log() const;

    // Whether glimmer sits in its wait for commands (seen twice in a row,
    // once when `quick`); `nfds` receives the wait's descriptor count (0: no
    // FIFO watched).
    bool waiting(long *nfds = nullptr, bool quick = false) const;
    bool wait_waiting(int timeout_ms = STRESS_TIMEOUT_MS, long *nfds = nullptr) const;

    // glimmer's own process: the run's, or its child under a wrapper that
    // forks (strace).
    pid_t glimmer_pid() const;
    // The descriptor through which glimmer reads the FIFO, once it holds
    // exactly one (for a moment during a reopen it holds two); -1 at the
    // deadline.
    int fifo_fd(int timeout_ms = STRESS_TIMEOUT_MS) const;
    // Waits until glimmer reads the FIFO through another descriptor than
    // `old_fd`: it has seen the end of file and opened the FIFO again. A
    // writer that opens before then may find the old descriptor still good,
    // and there is no reopen at all.
    bool wait_reopened(int old_fd, int timeout_ms = STRESS_TIMEOUT_MS) const;

    std::string console_now() const;
    std::string console_as_found(int shown) const;
    std::vector<std::string> console_log() const;
    bool fifo_exists() const;

    std::string err() const { return glimmer_run_stderr(process); }
    std::string out() const { return glimmer_run_stdout(process); }
};

// Opens the FIFO for writing (blocking writes), -1 at the deadline.
int stress_open_writer(const std::string &fifo, int timeout_ms = STRESS_TIMEOUT_MS);
// Writes all bytes; false on a failure (EPIPE when the reader is gone).
bool stress_write_all(int fd, const std::string &bytes);
// Open, write, close.
bool stress_send(const std::string &fifo, const std::string &bytes);

// Descriptors open in process pid, and its resident memory in KiB (-1: unknown).
int stress_fd_count(pid_t pid);
long stress_rss_kib(pid_t pid);
// Whether pid has ended and waits to be reaped.
bool stress_is_zombie(pid_t pid);
