// Black-box runs of the glimmer binary.
#include "glimmer_run.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern char **environ;

#ifndef GLIMMER_BINARY
#error "GLIMMER_BINARY must name the glimmer binary"
#endif
#ifndef GLIMMER_FBEMU_LIBRARY
#error "GLIMMER_FBEMU_LIBRARY must name the framebuffer interposer"
#endif

std::string glimmer_binary_path()
{
    return GLIMMER_BINARY;
}

std::string glimmer_fbemu_library_path()
{
    return GLIMMER_FBEMU_LIBRARY;
}

// The emulator that runs target binaries when the build is for another
// machine: its command words, separated by '|'; empty for native builds.
#ifndef GLIMMER_RUN_EMULATOR
#define GLIMMER_RUN_EMULATOR ""
#endif

static std::vector<std::string> emulator_words()
{
    std::vector<std::string> words;
    const std::string all = GLIMMER_RUN_EMULATOR;
    size_t at = 0;
    while (at < all.size()) {
        const size_t bar = all.find('|', at);
        const size_t end = bar == std::string::npos ? all.size() : bar;
        if (end > at)
            words.push_back(all.substr(at, end - at));
        at = end + 1;
    }
    return words;
}

static std::string temp_root()
{
    const char *t = getenv("TMPDIR");
    return t && *t ? t : "/tmp";
}

TempDir::TempDir()
{
    std::string pattern = temp_root() + "/glimmer-test-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) {
        perror("mkdtemp");
        abort();
    }
    path = buf.data();
}

// Removes a tree without following symbolic links.
static void remove_tree(const std::string &path)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return;
    if (S_ISDIR(st.st_mode)) {
        // Let a directory made unreadable by a test be emptied.
        (void)chmod(path.c_str(), 0700);
        std::vector<std::string> names;
        if (DIR *d = opendir(path.c_str())) {
            while (struct dirent *e = readdir(d))
                if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                    names.push_back(e->d_name);
            closedir(d);
        }
        for (const std::string &name : names)
            remove_tree(path + "/" + name);
        (void)rmdir(path.c_str());
    } else {
        (void)unlink(path.c_str());
    }
}

TempDir::~TempDir()
{
    remove_tree(path);
}

GlimmerProcess::~GlimmerProcess()
{
    if (pid > 0 && !reaped) {
        (void)kill(pid, SIGKILL);
        int status;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    if (!out_path.empty())
        (void)unlink(out_path.c_str());
    if (!err_path.empty())
        (void)unlink(err_path.c_str());
}

static std::string name_of(const std::string &entry)
{
    return entry.substr(0, entry.find('='));
}

static bool console_switching_off(const std::vector<std::string> &args)
{
    // The way glimmer reads its arguments: option values are skipped.
    for (size_t i = 0; i < args.size(); i++) {
        const std::string &a = args[i];
        if (a == "-n" || a == "--no-console-switch")
            return true;
        if (a == "-a" || a == "--angle" || a == "-f" || a == "--fbdev")
            i++;
    }
    return false;
}

static std::vector<std::string> child_environment(const GlimmerRun &run)
{
    std::vector<std::string> env;
    auto replaced = [&](const std::string &name) {
        if (name == "LD_PRELOAD")
            return true;
        for (const std::string &u : run.unset)
            if (u == name)
                return true;
        for (const std::string &e : run.env)
            if (name_of(e) == name)
                return true;
        return false;
    };
    for (char **e = environ; *e; e++)
        if (!replaced(name_of(*e)))
            env.push_back(*e);

    std::vector<std::string> preload;
    if (run.emulated_fb)
        preload.push_back(glimmer_fbemu_library_path());
    preload.insert(preload.end(), run.preload.begin(), run.preload.end());
    std::string asan;
    for (const std::string &e : run.env) {
        if (name_of(e) == "LD_PRELOAD")
            preload.push_back(e.substr(e.find('=') + 1));
        else
            env.push_back(e);
    }
    if (!preload.empty()) {
        std::string list;
        for (const std::string &p : preload)
            list += (list.empty() ? "" : " ") + p;
        env.push_back("LD_PRELOAD=" + list);
        // A sanitized binary wants its runtime loaded first; the interposers
        // must come before it, and pass every other call on to it.
        bool found = false;
        for (std::string &e : env)
            if (name_of(e) == "ASAN_OPTIONS") {
                e += ":verify_asan_link_order=0";
                found = true;
            }
        if (!found)
            env.push_back("ASAN_OPTIONS=verify_asan_link_order=0");
    }
    return env;
}

// The first match of `name` on PATH, or the name itself when it holds a slash.
static std::string find_program(const std::string &name)
{
    if (name.find('/') != std::string::npos)
        return name;
    const char *path = getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/bin:/bin");
    std::string d;
    while (std::getline(dirs, d, ':')) {
        const std::string candidate = (d.empty() ? "." : d) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return name;
}

static int output_file(std::string *path, const char *what)
{
    std::string pattern = temp_root() + "/glimmer-" + what + "-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    const int fd = mkostemp(buf.data(), O_CLOEXEC);
    if (fd >= 0)
        *path = buf.data();
    return fd;
}

bool glimmer_run_start(const GlimmerRun &run, GlimmerProcess *process)
{
    if (!run.console_emulated && !console_switching_off(run.args)) {
        fprintf(stderr, "glimmer_run_start: refusing a run that would take over the real "
                        "console (pass -n or preload a console emulator)\n");
        return false;
    }
    const int out = output_file(&process->out_path, "stdout");
    const int err = output_file(&process->err_path, "stderr");
    if (out < 0 || err < 0) {
        perror("glimmer_run_start: output file");
        if (out >= 0)
            close(out);
        if (err >= 0)
            close(err);
        return false;
    }

    std::string binary = run.binary.empty() ? glimmer_binary_path() : run.binary;
    std::vector<std::string> args = {run.argv0.empty() ? binary : run.argv0};
    args.insert(args.end(), run.args.begin(), run.args.end());
    std::vector<std::string> env = child_environment(run);
    if (!run.wrapper.empty()) {
        std::vector<std::string> wrapped = run.wrapper;
        wrapped.push_back(binary);
        wrapped.insert(wrapped.end(), args.begin() + 1, args.end());
        args = wrapped;
        binary = find_program(run.wrapper[0]);
        // A sanitized binary's leak check cannot run under a tracer.
        for (std::string &e : env)
            if (name_of(e) == "ASAN_OPTIONS")
                e += ":detect_leaks=0";
    }
    const std::vector<std::string> emulator = emulator_words();
    if (!emulator.empty()) {
        // qemu-user: argument 0 and the preloaded libraries are the target's,
        // so they go to the emulator as options rather than to its own loader.
        std::vector<std::string> wrapped = emulator;
        wrapped.insert(wrapped.end(), {"-0", args[0]});
        for (auto e = env.begin(); e != env.end();) {
            if (name_of(*e) == "LD_PRELOAD") {
                wrapped.insert(wrapped.end(), {"-E", *e});
                e = env.erase(e);
            } else {
                ++e;
            }
        }
        wrapped.push_back(binary);
        wrapped.insert(wrapped.end(), args.begin() + 1, args.end());
        args = wrapped;
        binary = emulator[0];
    }
    std::vector<char *> argv, envp;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    for (const std::string &e : env)
        envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);

    fflush(stdout);
    fflush(stderr);
    const pid_t pid = fork();
    if (pid < 0) {
        perror("glimmer_run_start: fork");
        close(out);
        close(err);
        return false;
    }
    if (pid == 0) {
        // Only async-signal-safe calls from here on.
        const int in = open("/dev/null", O_RDONLY);
        if (in < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
            _exit(126);
        closefrom(3);
        if (!run.cwd.empty() && chdir(run.cwd.c_str()) != 0)
            _exit(126);
        if (run.umask >= 0)
            umask((mode_t)run.umask);
        // The test's own blocked signals and ignored ones must not be inherited.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int s = 1; s < NSIG; s++)
            if (s != SIGKILL && s != SIGSTOP)
                signal(s, SIG_DFL);
        execve(binary.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(out);
    close(err);
    process->pid = pid;
    process->reaped = false;
    return true;
}

bool glimmer_run_wait_until(const std::function<bool()> &done, int timeout_ms)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (done())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

bool glimmer_run_wait_fifo(const std::string &path, int timeout_ms)
{
    return glimmer_run_wait_until(
        [&] {
            struct stat st;
            return lstat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
        },
        timeout_ms);
}

int glimmer_run_open_fifo(const std::string &path, int timeout_ms)
{
    int fd = -1;
    // Non-blocking, so that a FIFO without a reader fails (ENXIO) instead of
    // hanging; then blocking again for the writes.
    glimmer_run_wait_until(
        [&] {
            fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            return fd >= 0;
        },
        timeout_ms);
    if (fd >= 0)
        (void)fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

bool glimmer_run_write_fifo(const std::string &path, const std::string &bytes, int timeout_ms)
{
    const int fd = glimmer_run_open_fifo(path, timeout_ms);
    if (fd < 0)
        return false;
    // A reader that goes away must fail the write, not kill the test.
    struct sigaction ignore, old;
    memset(&ignore, 0, sizeof ignore);
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &old);
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += (size_t)n;
    }
    sigaction(SIGPIPE, &old, nullptr);
    close(fd);
    return done == bytes.size();
}

int glimmer_run_fifo_fd(pid_t pid, const std::string &path)
{
    struct stat fifo;
    if (stat(path.c_str(), &fifo) != 0)
        return -1;
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd/";
    DIR *d = opendir(fds.c_str());
    if (!d)
        return -1;
    int found = -1, count = 0;
    while (struct dirent *e = readdir(d)) {
        struct stat st;
        if (e->d_name[0] != '.' && stat((fds + e->d_name).c_str(), &st) == 0 &&
            st.st_dev == fifo.st_dev && st.st_ino == fifo.st_ino) {
            found = atoi(e->d_name);
            count++;
        }
    }
    closedir(d);
    return count == 1 ? found : -1;
}

bool glimmer_run_signal(const GlimmerProcess &process, int signo)
{
    return process.pid > 0 && !process.reaped && kill(process.pid, signo) == 0;
}

static GlimmerExit exit_of(int status)
{
    GlimmerExit e;
    if (WIFEXITED(status)) {
        e.exited = true;
        e.code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        e.signaled = true;
        e.signal = WTERMSIG(status);
    }
    return e;
}

bool glimmer_run_alive(GlimmerProcess *process, GlimmerExit *exit_info)
{
    if (process->pid <= 0 || process->reaped)
        return false;
    int status;
    const pid_t r = waitpid(process->pid, &status, WNOHANG);
    if (r == 0)
        return true;
    process->reaped = true;
    if (r == process->pid && exit_info)
        *exit_info = exit_of(status);
    return false;
}

GlimmerExit glimmer_run_wait(GlimmerProcess *process, int timeout_ms)
{
    GlimmerExit e;
    if (process->pid <= 0 || process->reaped)
        return e;
    int status = 0;
    pid_t r = 0;
    const bool ended = glimmer_run_wait_until(
        [&] {
            r = waitpid(process->pid, &status, WNOHANG);
            return r != 0 && !(r < 0 && errno == EINTR);
        },
        timeout_ms);
    if (!ended) {
        (void)kill(process->pid, SIGKILL);
        while (waitpid(process->pid, &status, 0) < 0 && errno == EINTR) {
        }
        process->reaped = true;
        e = exit_of(status);
        e.timed_out = true;
        return e;
    }
    process->reaped = true;
    return r == process->pid ? exit_of(status) : e;
}

std::string glimmer_read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string glimmer_run_stdout(const GlimmerProcess &process)
{
    return glimmer_read_file(process.out_path);
}

std::string glimmer_run_stderr(const GlimmerProcess &process)
{
    return glimmer_read_file(process.err_path);
}
