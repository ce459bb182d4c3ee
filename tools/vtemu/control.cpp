// Writing the emulated console's configuration, reading its model and log:
// for tests and for the glimmer-vtemu command.
#include "model.h"

#include <fcntl.h>
#include <linux/kd.h>
#include <linux/vt.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

bool glimmer_vtemu_config_fail(VtemuConfig *config, const char *request, int error, int nth)
{
    const int index = glimmer_vtemu_request_value(request);
    if (index < 0 || error <= 0 || nth < 0 || config->rule_count >= VTEMU_MAX_RULES)
        return false;
    config->rules[config->rule_count++] = {index, error, nth};
    return true;
}

static std::string terminal_list(uint64_t mask)
{
    std::string text;
    for (int n = 1; n <= VTEMU_MAX_VT; n++) {
        if (!(mask & ((uint64_t)1 << n)))
            continue;
        int last = n;
        while (last < VTEMU_MAX_VT && (mask & ((uint64_t)1 << (last + 1))))
            last++;
        if (!text.empty())
            text += ',';
        text += std::to_string(n);
        // Appended piece by piece: "-" + std::to_string(last) builds a
        // temporary by inserting at its front, which GCC 12's Release build
        // reports as an overlapping copy (-Wrestrict).
        if (last > n) {
            text += '-';
            text += std::to_string(last);
        }
        n = last;
    }
    return text.empty() ? "none" : text;
}

static std::string path_in(const char *dir, const char *name)
{
    return std::string(dir) + "/" + name;
}

bool glimmer_vtemu_init(const char *dir, const VtemuConfig *config)
{
    std::ostringstream conf;
    conf << "# emulated Linux console (glimmer-vtemu)\n";
    conf << "held " << terminal_list(config->held_mask) << "\n";
    conf << "active " << config->active << "\n";
    if (config->free_vt == 0)
        conf << "free_vt auto\n";
    else
        conf << "free_vt " << config->free_vt << "\n";
    conf << "disallocate_busy " << config->disallocate_busy << "\n";
    conf << "waitactive_ms " << config->waitactive_ms << "\n";
    for (int i = 0; i < config->rule_count; i++) {
        const VtemuRule &r = config->rules[i];
        conf << "fail " << glimmer_vtemu_request_name(r.request) << " "
             << glimmer_vtemu_errno_name(r.error);
        if (r.nth > 0)
            conf << " " << r.nth;
        conf << "\n";
    }
    {
        std::ofstream out(path_in(dir, "console.conf"), std::ios::trunc);
        out << conf.str();
        if (!out)
            return false;
    }
    // Check that what was written reads back the same way the interposer
    // will read it.
    VtemuConfig check;
    if (!vtemu_config_load(dir, &check))
        return false;

    VtemuState state;
    vtemu_state_init(&state, &check);
    const std::string state_path = path_in(dir, "console.state");
    const int fd = open(state_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const bool written = write(fd, &state, sizeof state) == (ssize_t)sizeof state;
    close(fd);
    std::ofstream log(path_in(dir, "console.log"), std::ios::trunc);
    return written && (bool)log;
}

bool glimmer_vtemu_read_state(const char *dir, VtemuState *state)
{
    VtemuSession *s = new VtemuSession;
    const bool ok = vtemu_session_begin(s, dir);
    if (ok) {
        *state = s->state;
        vtemu_session_end(s);
    }
    delete s;
    return ok;
}

std::vector<VtemuLogEntry> glimmer_vtemu_read_log(const char *dir)
{
    std::vector<VtemuLogEntry> entries;
    std::ifstream in(path_in(dir, "console.log"));
    std::string line;
    while (std::getline(in, line)) {
        VtemuLogEntry e;
        const size_t space = line.find(' ');
        if (space == std::string::npos)
            continue;
        e.pid = atoi(line.substr(0, space).c_str());
        e.text = line.substr(space + 1);
        std::string rest = e.text;
        const size_t equals = rest.find(" = ");
        std::string head = rest.substr(0, equals);
        std::string tail = equals == std::string::npos ? "" : rest.substr(equals + 3);
        const size_t arrow = tail.find(" -> ");
        e.result = tail.substr(0, arrow);
        if (arrow != std::string::npos)
            e.out = tail.substr(arrow + 4);
        std::istringstream words(head);
        words >> e.device >> e.request;
        std::getline(words, e.args);
        if (!e.args.empty() && e.args[0] == ' ')
            e.args.erase(0, 1);
        entries.push_back(e);
    }
    return entries;
}

int glimmer_vtemu_activate(const char *dir, int vt)
{
    VtemuSession *s = new VtemuSession;
    int error = EIO;
    if (vtemu_session_begin(s, dir)) {
        error = 0;
        (void)vtemu_ioctl(s, VTEMU_NO_DEVICE, -1, VT_ACTIVATE, (void *)(uintptr_t)vt, &error);
        vtemu_session_end(s);
    }
    delete s;
    return error;
}

bool glimmer_vtemu_wait_active(const char *dir, int vt, int timeout_ms)
{
    struct timespec start, now;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        VtemuState state;
        if (glimmer_vtemu_read_state(dir, &state) && state.active == vt)
            return true;
        clock_gettime(CLOCK_MONOTONIC, &now);
        const long elapsed =
            (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
        if (elapsed >= timeout_ms)
            return false;
        const struct timespec pause = {0, 2 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
}

std::string glimmer_vtemu_describe(const VtemuState *state)
{
    std::ostringstream out;
    out << "active " << state->active << "\n";
    if (state->acquire_pending)
        out << "acquire pending on " << state->acquire_pending << "\n";
    for (int n = 1; n <= VTEMU_MAX_VT; n++) {
        const VtemuTerminal &t = state->vt[n];
        if (!t.allocated)
            continue;
        out << "tty" << n << (n == state->active ? " shown" : "") << (t.held ? " held" : "")
            << " open=" << glimmer_vtemu_open_count(state, n)
            << (t.kd_mode == KD_GRAPHICS ? " KD_GRAPHICS" : " KD_TEXT")
            << (t.mode == VT_PROCESS ? " VT_PROCESS" : " VT_AUTO") << " relsig=" << t.relsig
            << " acqsig=" << t.acqsig << " owner=" << t.owner_pid;
        if (t.new_vt >= 0)
            out << " releasing-to=" << t.new_vt;
        out << "\n";
    }
    return out.str();
}
