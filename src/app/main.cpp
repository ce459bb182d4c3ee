// glimmer: a full-screen splash on the Linux framebuffer, steered through a FIFO.
//
// Start-up: signal handlers, command line, FIFO, console, output, initial
// scene, command loop. Shutdown, whatever ended the loop: output, FIFO,
// console.
#include "app/command.h"
#include "app/layout.h"
#include "console/console.h"
#include "output/output.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static const int EXIT_SIGNALS[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};

// Gives the console back at once; the interrupted wait then ends the command
// loop, which leads into the normal shutdown.
static void glimmer_on_exit_signal(int signo)
{
    (void)signo;
    glimmer_console_restore();
}

// Installs the exit handler and blocks every signal that ends the command
// loop; they are let through only while the loop waits, so none can slip in
// between two waits. Returns the mask to wait with.
static sigset_t setup_signals()
{
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = glimmer_on_exit_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;

    sigset_t blocked, wait_mask;
    sigemptyset(&blocked);
    for (int s : EXIT_SIGNALS)
        sigaddset(&blocked, s);
    sigaddset(&blocked, SIGUSR1); // the terminal-switch signal, once a terminal is held
    // Until a terminal is held, a stray SIGUSR1 must not end glimmer without
    // its shutdown; taking over a terminal installs the switch handler.
    (void)signal(SIGUSR1, SIG_IGN);
    (void)sigprocmask(SIG_BLOCK, &blocked, &wait_mask);
    // A second signal must not run the restore again in the middle of the first.
    sa.sa_mask = blocked;
    for (int s : EXIT_SIGNALS) {
        (void)sigaction(s, &sa, nullptr);
        sigdelset(&wait_mask, s);
    }
    sigdelset(&wait_mask, SIGUSR1);
    return wait_mask;
}

static int usage(const char *program)
{
    fprintf(stderr,
            "Usage: %s [-n|--no-console-switch][-a|--angle <0|90|180|270>][-f|--fbdev <0..9>]"
            "[-d|--drm][-s|--scale <1|2|3|auto>]\n",
            program ? program : "glimmer");
    return -1;
}

static bool is(const char *arg, const char *short_form, const char *long_form)
{
    return strcmp(arg, short_form) == 0 || strcmp(arg, long_form) == 0;
}

// Removes the FIFO, but only while the name still stands for the one that was
// opened: a file put in its place is not ours to delete.
static void remove_fifo(const struct stat *fifo)
{
    struct stat st;
    if (lstat(GLIMMER_FIFO_NAME, &st) == 0 && S_ISFIFO(st.st_mode) && st.st_dev == fifo->st_dev &&
        st.st_ino == fifo->st_ino)
        (void)unlink(GLIMMER_FIFO_NAME);
}

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    const sigset_t wait_mask = setup_signals();

    bool console_switching = true;
    OutputOptions options = {0, FB_ROTATE_0, false, false};
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        if (is(arg, "-n", "--no-console-switch")) {
            console_switching = false;
        } else if (is(arg, "-a", "--angle") && i + 1 < argc) {
            options.rotation =
                glimmer_fb_rotation_from_degrees(glimmer_command_parse_number(argv[++i]));
            options.rotation_given = true;
        } else if (is(arg, "-f", "--fbdev") && i + 1 < argc) {
            options.device_number = glimmer_command_parse_number(argv[++i]);
        } else if (is(arg, "-d", "--drm")) {
            options.drm = true;
        } else if (is(arg, "-s", "--scale") && i + 1 < argc) {
            const char *value = argv[++i];
            if (strcmp(value, "auto") == 0)
                glimmer_layout_set_scale(LAYOUT_SCALE_AUTO);
            else if (strcmp(value, "1") == 0 || strcmp(value, "2") == 0 || strcmp(value, "3") == 0)
                glimmer_layout_set_scale(value[0] - '0');
            else
                return usage(argv[0]);
        } else {
            return usage(argv[0]);
        }
    }

    const char *dir = getenv("GLIMMER_FIFO_DIR");
    (void)chdir(dir ? dir : "/run");

    if (mkfifo(GLIMMER_FIFO_NAME, 0660) != 0 && errno != EEXIST) {
        perror("mkfifo");
        return -1;
    }
    const int fifo_fd = glimmer_command_open_fifo();
    if (fifo_fd == -2) {
        fputs("Error glimmer_fifo exists and is not a FIFO; remove it first\n", stderr);
        return -1;
    }
    if (fifo_fd < 0) {
        perror("pipe open");
        return -2;
    }
    struct stat fifo;
    (void)fstat(fifo_fd, &fifo);

    if (console_switching)
        glimmer_console_take_over();
    Output *output = glimmer_output_open(&options);
    if (!output || !glimmer_command_draw_initial_scene(output)) {
        glimmer_output_close(output);
        remove_fifo(&fifo);
        if (console_switching)
            glimmer_console_restore();
        return -1;
    }

    (void)glimmer_command_loop(output, fifo_fd, &wait_mask);

    glimmer_output_close(output);
    remove_fifo(&fifo);
    if (console_switching)
        glimmer_console_restore();
    return 0;
}
