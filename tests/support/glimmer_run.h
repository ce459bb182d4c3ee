// Black-box runs of the built glimmer binary: start it with arguments and an
// environment, capture its standard output and error, wait for its FIFO,
// write commands into it, send signals, and wait for the exit with a bound.
//
//     TempDir dir;
//     GlimmerRun run;
//     run.args = {"-n"};
//     run.env = {"GLIMMER_FIFO_DIR=" + dir.path, "GLIMMER_EMU_DIR=" + dir.path};
//     GlimmerProcess p;
//     ASSERT_TRUE(glimmer_run_start(run, &p));
//     ASSERT_TRUE(glimmer_run_wait_fifo(dir.path + "/glimmer_fifo", 5000));
//     ASSERT_TRUE(glimmer_run_write_fifo(dir.path + "/glimmer_fifo", "QUIT\n", 5000));
//     GlimmerExit e = glimmer_run_wait(&p, 5000);   // e.exited, e.code == 0
//
// The paths of the binary and of the interposer libraries come from CMake.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

// A fresh directory under $TMPDIR (or /tmp), removed with all it holds.
struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
};

std::string glimmer_binary_path();
std::string glimmer_fbemu_library_path();

struct GlimmerRun {
    std::string binary;               // the program; empty: the glimmer binary
    std::vector<std::string> args;    // the arguments after argument 0
    std::string argv0;                // argument 0; empty: the binary's path
    std::vector<std::string> env;     // "NAME=value", added to the inherited ones or replacing them
    std::vector<std::string> unset;   // names removed from the inherited environment
    std::string cwd;                  // working directory; empty: inherited
    int umask = -1;                   // the process umask; -1: inherited
    bool emulated_fb = true;          // preload the framebuffer interposer
    std::vector<std::string> preload; // further libraries to preload after it
    // A program and its options that run the binary (valgrind, strace), looked
    // up on PATH; empty: the binary runs directly.
    std::vector<std::string> wrapper;
    // glimmer without "-n" takes over the machine's real console unless a
    // console interposer is preloaded: starting such a run is refused unless
    // this is set.
    bool console_emulated = false;
};

struct GlimmerProcess {
    pid_t pid = -1;
    std::string out_path, err_path; // files receiving standard output and error
    bool reaped = false;
    ~GlimmerProcess(); // kills a child that is still running, removes the files
};

struct GlimmerExit {
    bool exited = false; // ended through exit; code holds the status (0..255)
    int code = -1;
    bool signaled = false; // ended by a signal; signal holds it
    int signal = 0;
    bool timed_out = false; // still running at the deadline: killed with SIGKILL
};

// Starts the binary. False (with a message on stderr) when it cannot be started.
bool glimmer_run_start(const GlimmerRun &run, GlimmerProcess *process);

// Polls `done` every few milliseconds until it holds or the time is up.
bool glimmer_run_wait_until(const std::function<bool()> &done, int timeout_ms);
// Waits until `path` exists and is a FIFO.
bool glimmer_run_wait_fifo(const std::string &path, int timeout_ms);

// Opens the FIFO for writing once a reader has it open; -1 at the deadline.
int glimmer_run_open_fifo(const std::string &path, int timeout_ms);
// Writes all bytes into the FIFO and closes it again.
bool glimmer_run_write_fifo(const std::string &path, const std::string &bytes, int timeout_ms);
// The descriptor through which process pid holds the FIFO at `path` open;
// -1 when it holds none, or more than one (a reader that reopens it opens the
// new descriptor before it closes the old one).
int glimmer_run_fifo_fd(pid_t pid, const std::string &path);

bool glimmer_run_signal(const GlimmerProcess &process, int signo);
// Whether the child is still running (reaps it when it has ended).
bool glimmer_run_alive(GlimmerProcess *process, GlimmerExit *exit_info = nullptr);
// Waits for the exit; at the deadline kills the child and reports timed_out.
GlimmerExit glimmer_run_wait(GlimmerProcess *process, int timeout_ms);

std::string glimmer_run_stdout(const GlimmerProcess &process);
std::string glimmer_run_stderr(const GlimmerProcess &process);

// The contents of a file; empty when it cannot be read.
std::string glimmer_read_file(const std::string &path);
