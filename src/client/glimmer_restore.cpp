// glimmer-restore: gives the console back after a glimmer that could not,
// because it was killed (SIGKILL, the out-of-memory killer, a stop timeout)
// or crashed. glimmer keeps a record of the terminal it holds beside its
// FIFO; this reads it, puts that terminal back into text mode and automatic
// switching, shows the terminal that was shown before, and removes the
// record. Without a record it does nothing. Run it after glimmer has ended,
// e.g. from the service's ExecStopPost=.
#include "console/console.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char **argv)
{
    if (argc > 1) {
        const bool help = strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0;
        fprintf(help ? stdout : stderr,
                "Usage: %s\n"
                "Give the console back after a glimmer that ended without doing so, from the\n"
                "record \"%s\" it keeps in $GLIMMER_FIFO_DIR (default /run).\n"
                "Does nothing when there is no record. Exit status 0, or 1 for a record that\n"
                "cannot be used.\n",
                argv[0], GLIMMER_CONSOLE_RECORD_NAME);
        return help ? 0 : 1;
    }
    const char *dir = getenv("GLIMMER_FIFO_DIR");
    if (!dir)
        dir = "/run";
    // An empty directory means the current one, as it does for glimmer.
    if (*dir && chdir(dir) != 0) {
        if (errno == ENOENT)
            return 0; // no directory, no record
        fprintf(stderr, "glimmer-restore: %s: %s\n", dir, strerror(errno));
        return 1;
    }
    return glimmer_console_restore_recorded();
}
