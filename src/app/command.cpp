// The command channel. Writers send lines such as "PROGRESS 50",
// "MSG Installing updates" and "QUIT" into the FIFO; each line is drawn and
// flipped onto the screen as it arrives.
#include "app/command.h"

#include "app/layout.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

static bool word_is(const char *word, size_t length, const char *name)
{
    return length == strlen(name) && memcmp(word, name, length) == 0;
}

int32_t glimmer_command_parse_number(const char *text)
{
    const long v = strtol(text, nullptr, 10);
    if (v > INT32_MAX)
        return INT32_MAX;
    if (v < INT32_MIN)
        return INT32_MIN;
    return (int32_t)v;
}

static bool show_initial_scene(Output *output)
{
    for (int i = 0; i < output->head_count; i++)
        glimmer_draw_initial_scene(output->heads[i]);
    return glimmer_output_flip(output, true);
}

bool glimmer_command_draw_initial_scene(Output *output)
{
    if (!show_initial_scene(output))
        return false;
    switch (glimmer_output_finish(output)) {
    case OUTPUT_FINISHED:
        return true;
    case OUTPUT_REDRAW:
        return show_initial_scene(output);
    case OUTPUT_FAILED:
        break;
    }
    return false;
}

CommandResult glimmer_command_run_line(Output *output, char *line, size_t length)
{
    const char *p = line, *end = line + length;
    while (p < end && *p == ' ')
        p++;
    const char *word = p;
    while (p < end && *p != ' ')
        p++;
    const size_t word_length = (size_t)(p - word);
    // The argument is whatever follows the one space after the word.
    const char *argument = p + 1 < end ? p + 1 : nullptr;

    if (word_is(word, word_length, "QUIT"))
        return COMMAND_QUIT;
    if (argument && word_is(word, word_length, "PROGRESS")) {
        const int32_t value = glimmer_command_parse_number(argument);
        for (int i = 0; i < output->head_count; i++)
            glimmer_draw_progress(output->heads[i], value);
    } else if (argument && word_is(word, word_length, "MSG")) {
        for (int i = 0; i < output->head_count; i++)
            glimmer_draw_message(output->heads[i], argument);
    }
    glimmer_output_flip(output, false);
    return COMMAND_CONTINUE;
}

static bool ends_line(char c)
{
    return c == '\n' || c == '\0';
}

CommandResult glimmer_command_feed(Output *output, CommandReader *reader, size_t length,
                                   bool data_ends)
{
    char *const buf = reader->buffer;
    const size_t total = reader->kept + length;
    size_t limit = total, carry = 0;

    // A read that filled the whole area may have cut its last line: keep
    // that line for the next read, unless it already fills the area alone.
    if (!data_ends && total == COMMAND_BUFFER_SIZE && !ends_line(buf[total - 1])) {
        size_t start = total;
        while (start > 0 && !ends_line(buf[start - 1]))
            start--;
        if (start > 0) {
            limit = start;
            carry = total - start;
        }
    }
    reader->kept = 0;

    for (size_t i = 0; i < limit;) {
        if (ends_line(buf[i])) {
            i++;
            continue;
        }
        size_t j = i;
        while (j < limit && !ends_line(buf[j]))
            j++;
        const char saved = buf[j];
        buf[j] = '\0';
        const CommandResult result = glimmer_command_run_line(output, buf + i, j - i);
        buf[j] = saved;
        if (result == COMMAND_QUIT)
            return COMMAND_QUIT;
        i = j;
    }
    if (carry) {
        memmove(buf, buf + limit, carry);
        reader->kept = carry;
    }
    return COMMAND_CONTINUE;
}

int glimmer_command_open_fifo()
{
    const int fd = open(GLIMMER_FIFO_NAME, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return errno == ELOOP ? -2 : -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode)) {
        close(fd);
        return -2;
    }
    return fd;
}

// Whether a signal that the wait lets through is pending, blocked meanwhile.
static bool signal_pending(const sigset_t *wait_mask)
{
    sigset_t pending;
    if (sigpending(&pending) != 0)
        return false;
    for (int s = 1; s < NSIG; s++)
        if (sigismember(&pending, s) == 1 && sigismember(wait_mask, s) == 0)
            return true;
    return false;
}

int glimmer_command_loop(Output *output, int fifo_fd, const sigset_t *wait_mask)
{
    CommandReader reader;
    reader.kept = 0;
    int fd = fifo_fd;
    for (;;) {
        fd_set readable;
        FD_ZERO(&readable);
        if (fd >= 0 && fd < FD_SETSIZE)
            FD_SET(fd, &readable);
        // Without a descriptor (a failed reopen) this waits for a signal.
        const int ready = pselect(fd + 1, &readable, nullptr, nullptr, nullptr, wait_mask);
        if (ready < 0)
            return ready;
        // A wait that finds the FIFO readable returns without delivering a
        // signal that is pending at the same moment: let it in now and end
        // as an interrupted wait would, or a steady stream of commands would
        // keep it out for good.
        if (signal_pending(wait_mask)) {
            sigset_t saved;
            (void)sigprocmask(SIG_SETMASK, wait_mask, &saved);
            (void)sigprocmask(SIG_SETMASK, &saved, nullptr);
            errno = EINTR;
            return -1;
        }

        const ssize_t n = read(fd, reader.buffer + reader.kept, COMMAND_BUFFER_SIZE - reader.kept);
        if (n > 0) {
            // A line cut by the end of a full read continues in bytes that
            // are already waiting (a write of up to PIPE_BUF arrives whole);
            // with nothing waiting, its writer stopped there: take it as it
            // is rather than join it to whatever another writer sends next.
            int waiting = 0;
            const bool more = ioctl(fd, FIONREAD, &waiting) == 0 && waiting > 0;
            if (glimmer_command_feed(output, &reader, (size_t)n, !more) == COMMAND_QUIT)
                return 0;
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        if (n < 0 && errno == EINTR)
            return -1;
        // End of file: the last writer has gone. A descriptor that fails is
        // replaced the same way rather than read again and again.
        if (glimmer_command_feed(output, &reader, 0, true) == COMMAND_QUIT)
            return 0;
        // Open the new descriptor before closing the old one: the FIFO never
        // goes without a reader, so a writer that opens in this moment is
        // neither refused (EPIPE) nor has its line dropped with the old end.
        const int next = glimmer_command_open_fifo();
        close(fd);
        fd = next < 0 ? -1 : next;
    }
}
