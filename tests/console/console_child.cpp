#include "console_child.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

// In a sanitizer build the runtime wants to be first in the library list, but
// the console interposer is preloaded before it; the interposer passes every
// other call on, so the order does no harm. Set here rather than through the
// environment so that the test program runs the same however it is started.
extern "C" const char *__asan_default_options()
{
    return "verify_asan_link_order=0";
}

ConsoleDir::ConsoleDir()
{
    const char *tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/glimmer-console-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()))
        path = buf.data();
}

ConsoleDir::~ConsoleDir()
{
    if (!path.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
}

bool console_emulation_loaded()
{
    return dlsym(RTLD_DEFAULT, "glimmer_vtemu_preloaded") != nullptr;
}

static long now_ms()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000L + t.tv_nsec / 1000000L;
}

void child_snapshot(ChildReport *report)
{
    if (report->snapshot_count >= CHILD_MAX_SNAPSHOTS)
        return;
    ConsoleSnapshot *s = &report->snapshots[report->snapshot_count++];
    s->state = glimmer_console_state;
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    (void)sigaction(SIGUSR1, nullptr, &sa);
    if (sa.sa_handler == SIG_DFL)
        s->sigusr1 = SIGNAL_DEFAULT;
    else if (sa.sa_handler == SIG_IGN)
        s->sigusr1 = SIGNAL_IGNORED;
    else if (sa.sa_handler == glimmer_console_on_switch_signal)
        s->sigusr1 = SIGNAL_SWITCH_HANDLER;
    else
        s->sigusr1 = SIGNAL_OTHER;
    s->sigusr1_flags = sa.sa_flags;
    s->sigusr1_mask_empty = sigisemptyset(&sa.sa_mask);
    s->stderr_bytes = (long)lseek(STDERR_FILENO, 0, SEEK_CUR);
    const char *dir = getenv("GLIMMER_EMU_DIR");
    s->log_lines = dir ? (long)glimmer_vtemu_read_log(dir).size() : -1;
    if (!dir || !glimmer_vtemu_read_state(dir, &s->model))
        memset(&s->model, 0, sizeof s->model);
}

ChildRun run_console_child(const std::string &dir, const std::function<void(ChildReport *)> &body)
{
    ChildRun run;
    void *shared = mmap(nullptr, sizeof(ChildReport), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED)
        return run;
    ChildReport *report = static_cast<ChildReport *>(shared);
    memset(report, 0, sizeof *report);
    const std::string err_path = dir + "/child.stderr";

    fflush(stdout);
    fflush(stderr);
    const pid_t pid = fork();
    if (pid == 0) {
        // Never run console code without the emulation underneath.
        if (!console_emulation_loaded())
            _exit(99);
        setenv("GLIMMER_EMU_DIR", dir.c_str(), 1);
        const int fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || dup2(fd, STDERR_FILENO) < 0)
            _exit(98);
        close(fd);
        body(report);
        report->finished = 1;
        _exit(0);
    }
    if (pid < 0) {
        munmap(shared, sizeof(ChildReport));
        return run;
    }
    const long deadline = now_ms() + 15000;
    int status = 0;
    for (;;) {
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid)
            break;
        if (now_ms() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            run.timed_out = true;
            break;
        }
        usleep(2000);
    }
    run.exited = !run.timed_out && WIFEXITED(status);
    run.code = run.exited ? WEXITSTATUS(status) : -1;
    std::ifstream in(err_path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    run.err = text.str();
    run.report = *report;
    munmap(shared, sizeof(ChildReport));
    return run;
}

bool child_wait_for(const std::function<bool()> &done, int timeout_ms)
{
    const long deadline = now_ms() + timeout_ms;
    while (!done()) {
        if (now_ms() > deadline)
            return false;
        usleep(1000); // a signal handler may run here
    }
    return true;
}

void switch_from_elsewhere(const std::string &dir, int vt)
{
    const pid_t pid = fork();
    if (pid == 0)
        _exit(glimmer_vtemu_activate(dir.c_str(), vt) == 0 ? 0 : 1);
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

std::vector<std::string> console_log(const std::string &dir)
{
    return console_log_from(dir, 0);
}

std::vector<std::string> console_log_from(const std::string &dir, size_t first)
{
    std::vector<std::string> lines;
    const std::vector<VtemuLogEntry> log = glimmer_vtemu_read_log(dir.c_str());
    for (size_t i = first; i < log.size(); i++)
        lines.push_back(log[i].text);
    return lines;
}

std::vector<std::string> console_requests(const std::vector<std::string> &lines)
{
    static const char *const events[] = {"switch", "switch_ignored", "relsig", "acqsig",
                                         "reset",  "mode_set",       "draw"};
    std::vector<std::string> requests;
    for (const std::string &line : lines) {
        std::istringstream words(line);
        std::string device, what;
        words >> device >> what;
        bool is_event = false;
        for (const char *e : events)
            is_event = is_event || what == e;
        if (!is_event)
            requests.push_back(line);
    }
    return requests;
}
