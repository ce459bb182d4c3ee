// The attack-test rig: see stress_rig.h.
#include "stress_rig.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#ifndef GLIMMER_VTEMU_LIBRARY
#error "GLIMMER_VTEMU_LIBRARY must name the console interposer"
#endif

// Process-wide set-up, before any test runs:
// - The emulated devices rewrite their state files at every request; on a
//   disk-backed /tmp one flip then costs milliseconds, in memory a few
//   microseconds. Unless TMPDIR says otherwise, work in /dev/shm.
// - Writers into a FIFO whose reader has gone must see EPIPE, not die.
static bool prepare_process()
{
    struct stat st;
    if (!getenv("TMPDIR") && stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) &&
        access("/dev/shm", W_OK | X_OK) == 0)
        (void)setenv("TMPDIR", "/dev/shm", 0);
    (void)signal(SIGPIPE, SIG_IGN);
    return true;
}
static const bool process_prepared = prepare_process();

int stress_count(int base, int minimum)
{
    (void)process_prepared;
    double scale = 1.0;
    if (const char *s = getenv("GLIMMER_STRESS_SCALE"))
        scale = strtod(s, nullptr);
    const double n = base * scale;
    return n < minimum ? minimum : (int)n;
}

bool stress_sanitized()
{
#ifdef GLIMMER_STRESS_SANITIZED
    return true;
#else
    return false;
#endif
}

StressRig::StressRig()
{
    fifo = dir.path + "/glimmer_fifo";
    VtemuConfig console;
    glimmer_vtemu_config_default(&console);
    (void)configure_console(console);
}

bool StressRig::configure(const FbemuConfig &config)
{
    for (const char *suffix : {"state", "log", "mem", "lock"})
        (void)unlink((dir.path + "/fb0." + suffix).c_str());
    return glimmer_fbemu_write_config(dir.path, 0, config);
}

bool StressRig::configure_console(const VtemuConfig &config)
{
    return glimmer_vtemu_init(dir.path.c_str(), &config) &&
           glimmer_vtemu_read_state(dir.path.c_str(), &console_before);
}

GlimmerRun StressRig::run(const std::vector<std::string> &args) const
{
    GlimmerRun r;
    r.args = args;
    r.env = {"GLIMMER_FIFO_DIR=" + dir.path, "GLIMMER_EMU_DIR=" + dir.path};
    r.preload = {GLIMMER_VTEMU_LIBRARY};
    r.console_emulated = true;
    return r;
}

bool StressRig::start(const std::vector<std::string> &args)
{
    return glimmer_run_start(run(args), &process);
}

bool StressRig::start_wrapped(const std::vector<std::string> &wrapper,
                              const std::vector<std::string> &args)
{
    GlimmerRun r = run(args);
    r.wrapper = wrapper;
    return glimmer_run_start(r, &process);
}

bool StressRig::wait_ready(int timeout_ms)
{
    return glimmer_run_wait_fifo(fifo, timeout_ms) && wait_waiting(timeout_ms);
}

FbemuDevice StressRig::device() const
{
    FbemuDevice d = {};
    (void)glimmer_fbemu_read_state(dir.path, 0, &d);
    return d;
}

// Frames shown: the pans that moved the display, less the pan back to the
// first page as glimmer closes the device (the last request before the
// close, not after a vertical-sync wait), which shows nothing new.
uint32_t StressRig::flips() const
{
    const uint32_t moved = device().flips;
    const std::vector<FbemuLogEntry> log = glimmer_fbemu_read_log(dir.path, 0);
    const size_t n = log.size();
    if (moved == 0 || n < 3 || log[n - 1].name != "close" || log[n - 2].name != "FBIOPAN_DISPLAY" ||
        log[n - 2].result != 0 || log[n - 3].name == "FBIO_WAITFORVSYNC")
        return moved;
    // Where the display stood before that pan: the last accepted request
    // that set it.
    long shown = -1;
    for (size_t i = 0; i + 2 < n; i++) {
        const FbemuLogEntry &e = log[i];
        if (e.result == 0 && e.has("yoffset") &&
            (e.name == "FBIOPAN_DISPLAY" || e.name == "FBIOGET_VSCREENINFO" ||
             e.name == "FBIOPUT_VSCREENINFO"))
            shown = e.number("yoffset");
    }
    return shown > 0 ? moved - 1 : moved;
}

bool StressRig::wait_flips(uint32_t at_least, int timeout_ms) const
{
    return glimmer_run_wait_until([&] { return flips() >= at_least; }, timeout_ms);
}

std::vector<FbemuLogEntry> StressRig::device_log() const
{
    return glimmer_fbemu_read_log(dir.path, 0);
}

// The state letter of /proc/PID/stat and the system call the process is
// blocked in (-1 when running or unknown), with its first argument.
static bool blocked_in(pid_t pid, long *call, long *first_arg)
{
    const std::string stat = glimmer_read_file("/proc/" + std::to_string(pid) + "/stat");
    const size_t paren = stat.rfind(')');
    if (paren == std::string::npos || paren + 2 >= stat.size() || stat[paren + 2] != 'S')
        return false;
    std::istringstream sys(glimmer_read_file("/proc/" + std::to_string(pid) + "/syscall"));
    std::string number, arg;
    if (!(sys >> number >> arg) || number == "running")
        return false;
    *call = strtol(number.c_str(), nullptr, 10);
    *first_arg = strtol(arg.c_str(), nullptr, 16);
    return true;
}

bool StressRig::waiting(long *nfds, bool quick) const
{
    // A process that has just been woken (a write, a close, a signal) may
    // still show its old sleep for a moment: look twice.
    long call = -1, arg = -1;
    for (int look = 0; look < (quick ? 1 : 2); look++) {
        if (look)
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        if (!blocked_in(process.pid, &call, &arg) || call != SYS_pselect6)
            return false;
    }
    if (nfds)
        *nfds = arg;
    return true;
}

bool StressRig::wait_waiting(int timeout_ms, long *nfds) const
{
    return glimmer_run_wait_until([&] { return waiting(nfds); }, timeout_ms);
}

pid_t StressRig::glimmer_pid() const
{
    const std::string pid = std::to_string(process.pid);
    std::istringstream children(glimmer_read_file("/proc/" + pid + "/task/" + pid + "/children"));
    pid_t child = -1;
    return children >> child ? child : process.pid;
}

int StressRig::fifo_fd(int timeout_ms) const
{
    int fd = -1;
    (void)glimmer_run_wait_until(
        [&] { return (fd = glimmer_run_fifo_fd(glimmer_pid(), fifo)) >= 0; }, timeout_ms);
    return fd;
}

bool StressRig::wait_reopened(int old_fd, int timeout_ms) const
{
    return glimmer_run_wait_until(
        [&] {
            const int fd = glimmer_run_fifo_fd(glimmer_pid(), fifo);
            return fd >= 0 && fd != old_fd;
        },
        timeout_ms);
}

std::string StressRig::console_now() const
{
    VtemuState now;
    if (!glimmer_vtemu_read_state(dir.path.c_str(), &now))
        return "(no console)";
    return glimmer_vtemu_describe(&now);
}

std::string StressRig::console_as_found(int shown) const
{
    VtemuState expected = console_before;
    expected.active = shown;
    return glimmer_vtemu_describe(&expected);
}

std::vector<std::string> StressRig::console_log() const
{
    std::vector<std::string> lines;
    for (const VtemuLogEntry &e : glimmer_vtemu_read_log(dir.path.c_str()))
        lines.push_back(e.text);
    return lines;
}

bool StressRig::fifo_exists() const
{
    struct stat st;
    return lstat(fifo.c_str(), &st) == 0;
}

int stress_open_writer(const std::string &fifo, int timeout_ms)
{
    return glimmer_run_open_fifo(fifo, timeout_ms);
}

bool stress_write_all(int fd, const std::string &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += (size_t)n;
    }
    return true;
}

bool stress_send(const std::string &fifo, const std::string &bytes)
{
    const int fd = stress_open_writer(fifo);
    if (fd < 0)
        return false;
    const bool ok = stress_write_all(fd, bytes);
    close(fd);
    return ok;
}

int stress_fd_count(pid_t pid)
{
    DIR *d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (!d)
        return -1;
    int n = 0;
    while (struct dirent *e = readdir(d))
        n += e->d_name[0] != '.';
    closedir(d);
    return n;
}

long stress_rss_kib(pid_t pid)
{
    std::istringstream status(glimmer_read_file("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

bool stress_is_zombie(pid_t pid)
{
    const std::string stat = glimmer_read_file("/proc/" + std::to_string(pid) + "/stat");
    const size_t paren = stat.rfind(')');
    return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] == 'Z';
}
