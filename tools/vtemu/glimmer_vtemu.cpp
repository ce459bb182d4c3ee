// glimmer-vtemu: sets up and drives the emulated console in a directory.
//
//   glimmer-vtemu DIR init [--held LIST] [--active N] [--free-vt auto|N]
//                          [--disallocate-busy K] [--waitactive-ms MS]
//                          [--fail REQUEST ERRNO[:NTH]]...
//   glimmer-vtemu DIR chvt N [TIMEOUT_MS]   show terminal N, like chvt, and wait for it
//   glimmer-vtemu DIR state                 print the model
//   glimmer-vtemu DIR log                   print the request log
#include "vtemu.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

static int usage()
{
    fputs("usage: glimmer-vtemu DIR init [--held LIST] [--active N] [--free-vt auto|N]\n"
          "                              [--disallocate-busy K] [--waitactive-ms MS]\n"
          "                              [--fail REQUEST ERRNO[:NTH]]...\n"
          "       glimmer-vtemu DIR chvt N [TIMEOUT_MS]\n"
          "       glimmer-vtemu DIR state\n"
          "       glimmer-vtemu DIR log\n",
          stderr);
    return 2;
}

static bool number(const char *text, int *out)
{
    char *end;
    const long v = strtol(text, &end, 10);
    if (end == text || *end)
        return false;
    *out = (int)v;
    return true;
}

static bool parse_held(const char *text, uint64_t *mask)
{
    *mask = 0;
    if (strcmp(text, "none") == 0)
        return true;
    std::string list = text;
    size_t start = 0;
    while (start <= list.size()) {
        const size_t comma = list.find(',', start);
        const std::string item = list.substr(start, comma - start);
        int first, last;
        const size_t dash = item.find('-');
        if (dash == std::string::npos) {
            if (!number(item.c_str(), &first))
                return false;
            last = first;
        } else if (!number(item.substr(0, dash).c_str(), &first) ||
                   !number(item.substr(dash + 1).c_str(), &last)) {
            return false;
        }
        if (first < 1 || last > VTEMU_MAX_VT || first > last)
            return false;
        for (int n = first; n <= last; n++)
            *mask |= (uint64_t)1 << n;
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    return true;
}

static int init(const char *dir, int argc, char **argv)
{
    VtemuConfig config;
    glimmer_vtemu_config_default(&config);
    int i = 0;
    while (i < argc) {
        const char *option = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
        int used = 2; // the option and its value
        bool ok = value != nullptr;
        if (ok && strcmp(option, "--held") == 0) {
            ok = parse_held(value, &config.held_mask);
        } else if (ok && strcmp(option, "--active") == 0) {
            ok = number(value, &config.active) && config.active >= 1 &&
                 config.active <= VTEMU_MAX_VT;
        } else if (ok && strcmp(option, "--free-vt") == 0) {
            config.free_vt = 0;
            ok = strcmp(value, "auto") == 0 || number(value, &config.free_vt);
        } else if (ok && strcmp(option, "--disallocate-busy") == 0) {
            ok = number(value, &config.disallocate_busy);
        } else if (ok && strcmp(option, "--waitactive-ms") == 0) {
            ok = number(value, &config.waitactive_ms);
        } else if (ok && strcmp(option, "--fail") == 0 && i + 2 < argc) {
            // --fail REQUEST ERRNO[:NTH]
            const std::string failure = argv[i + 2];
            const size_t colon = failure.find(':');
            int error = glimmer_vtemu_errno_value(failure.substr(0, colon).c_str());
            int nth = 0;
            if (!error)
                ok = number(failure.substr(0, colon).c_str(), &error);
            if (ok && colon != std::string::npos)
                ok = number(failure.substr(colon + 1).c_str(), &nth);
            ok = ok && glimmer_vtemu_config_fail(&config, value, error, nth);
            used = 3;
        } else {
            ok = false;
        }
        if (!ok) {
            fprintf(stderr, "glimmer-vtemu: bad option %s\n", option);
            return usage();
        }
        i += used;
    }
    if (!glimmer_vtemu_init(dir, &config)) {
        fprintf(stderr, "glimmer-vtemu: cannot write the console into %s: %s\n", dir,
                strerror(errno));
        return 1;
    }
    return 0;
}

int main(int argc, char **argv)
{
    if (argc < 3)
        return usage();
    const char *dir = argv[1];
    const char *command = argv[2];
    if (strcmp(command, "init") == 0)
        return init(dir, argc - 3, argv + 3);

    VtemuState state;
    if (!glimmer_vtemu_read_state(dir, &state)) {
        fprintf(stderr, "glimmer-vtemu: no emulated console in %s (run init first)\n", dir);
        return 1;
    }
    if (strcmp(command, "state") == 0 && argc == 3) {
        fputs(glimmer_vtemu_describe(&state).c_str(), stdout);
        return 0;
    }
    if (strcmp(command, "log") == 0 && argc == 3) {
        for (const VtemuLogEntry &e : glimmer_vtemu_read_log(dir))
            printf("%d %s\n", e.pid, e.text.c_str());
        return 0;
    }
    if (strcmp(command, "chvt") == 0 && (argc == 4 || argc == 5)) {
        int vt, timeout_ms = 3000;
        if (!number(argv[3], &vt) || (argc == 5 && !number(argv[4], &timeout_ms)))
            return usage();
        const int error = glimmer_vtemu_activate(dir, vt);
        if (error) {
            fprintf(stderr, "glimmer-vtemu: VT_ACTIVATE %d: %s\n", vt, strerror(error));
            return 1;
        }
        if (!glimmer_vtemu_wait_active(dir, vt, timeout_ms)) {
            fprintf(stderr, "glimmer-vtemu: terminal %d not shown after %d ms\n", vt, timeout_ms);
            return 1;
        }
        return 0;
    }
    return usage();
}
