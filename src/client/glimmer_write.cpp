// glimmer-write: sends one command line to a running glimmer through its FIFO
// (client/fifo_write.cpp says how).
#include "app/command.h"
#include "client/fifo_write.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static const char PROGRAM[] = "glimmer-write";

static const double WAIT_LIMIT_SECONDS = 1e6;

// The longest line sent, newline included: one atomic write, and no longer
// than glimmer's receive area, which would cut it into separate commands.
static constexpr size_t LINE_LIMIT =
    PIPE_BUF < COMMAND_BUFFER_SIZE ? (size_t)PIPE_BUF : (size_t)COMMAND_BUFFER_SIZE;

static void print_help()
{
    printf("Usage: %s [--wait SECONDS] COMMAND [ARGUMENT...]\n"
           "Send one command to a running glimmer through its FIFO.\n"
           "\n"
           "Commands:\n"
           "  PROGRESS N   move the progress bar to N (one integer)\n"
           "  MSG TEXT...  show TEXT as the message line (the words joined by single spaces)\n"
           "  QUIT         end glimmer\n"
           "Any other command word, a missing or extra argument, a PROGRESS value that is\n"
           "not an integer, a newline inside the text, or a command longer than %zu bytes\n"
           "is a usage error.\n"
           "\n"
           "Options (before the command):\n"
           "  --wait SECONDS  wait up to SECONDS for the FIFO and a reader to appear\n"
           "                  (default: give up at once when the FIFO is missing, and\n"
           "                  after about %lld ms when nobody reads it)\n"
           "  -h, --help      show this text\n"
           "\n"
           "The FIFO is \"%s\" in $GLIMMER_FIFO_DIR (default /run). It is never\n"
           "created; a file, directory or symbolic link of that name is refused.\n"
           "\n"
           "Exit status:\n"
           "  0  the command was written\n"
           "  1  usage error; nothing was written\n"
           "  2  no FIFO, not a FIFO, no glimmer reading it, or the write failed\n",
           PROGRAM, LINE_LIMIT - 1, (long long)GLIMMER_CLIENT_NO_READER_GRACE_MS,
           GLIMMER_FIFO_NAME);
}

static int usage_error(const char *what, const char *detail)
{
    if (detail)
        fprintf(stderr, "%s: %s: %s\n", PROGRAM, what, detail);
    else
        fprintf(stderr, "%s: %s\n", PROGRAM, what);
    fprintf(stderr, "Try '%s --help'.\n", PROGRAM);
    return WRITE_USAGE;
}

// A whole integer in the 32-bit range, optionally signed, nothing around it.
static bool is_integer(const char *text)
{
    const char *p = text;
    if (*p == '+' || *p == '-')
        p++;
    if (*p < '0' || *p > '9')
        return false;
    errno = 0;
    char *end = nullptr;
    const long v = strtol(text, &end, 10);
    return *end == '\0' && errno == 0 && v >= INT32_MIN && v <= INT32_MAX;
}

// A non-negative number of seconds, fractions allowed.
static bool parse_seconds(const char *text, int64_t *ms)
{
    if (*text < '0' || *text > '9')
        return false;
    char *end = nullptr;
    const double v = strtod(text, &end);
    if (*end != '\0' || !std::isfinite(v) || v < 0 || v > WAIT_LIMIT_SECONDS)
        return false;
    *ms = (int64_t)(v * 1000.0 + 0.5);
    return true;
}

struct Line {
    char text[LINE_LIMIT + 1];
    size_t length;
};

static bool append(Line *line, const char *text)
{
    const size_t n = strlen(text);
    if (n > LINE_LIMIT - line->length)
        return false;
    memcpy(line->text + line->length, text, n);
    line->length += n;
    return true;
}

// Builds "WORD ARG...\n" from the words of the command line, or explains
// on standard error why it cannot be sent.
static int build_line(int count, char **words, Line *line)
{
    line->length = 0;
    if (count == 0)
        return usage_error("no command given", nullptr);
    const char *word = words[0];
    const int arguments = count - 1;
    if (strcmp(word, "PROGRESS") == 0) {
        if (arguments != 1)
            return usage_error("PROGRESS takes exactly one integer", nullptr);
        if (!is_integer(words[1]))
            return usage_error("PROGRESS needs an integer", words[1]);
    } else if (strcmp(word, "MSG") == 0) {
        if (arguments < 1)
            return usage_error("MSG needs a text", nullptr);
    } else if (strcmp(word, "QUIT") == 0) {
        if (arguments != 0)
            return usage_error("QUIT takes no argument", nullptr);
    } else {
        return usage_error("unknown command", word);
    }

    // glimmer ends a line at a newline or a NUL; the words of a command line
    // cannot hold a NUL, but a newline would smuggle in a second command.
    for (int i = 0; i < count; i++)
        if (strchr(words[i], '\n'))
            return usage_error("a command cannot contain a newline", nullptr);

    bool fits = append(line, word);
    for (int i = 1; i < count && fits; i++)
        fits = append(line, " ") && append(line, words[i]);
    fits = fits && append(line, "\n");
    if (!fits) {
        fprintf(stderr, "%s: command too long (at most %zu bytes are sent in one piece)\n", PROGRAM,
                LINE_LIMIT - 1);
        return WRITE_USAGE;
    }
    return WRITE_DONE;
}

int main(int argc, char **argv)
{
    // A reader that goes away must give EPIPE, which is reported, not a
    // silent death.
    (void)signal(SIGPIPE, SIG_IGN);

    int64_t wait_ms = 0;
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; i++) {
        const char *arg = argv[i];
        if (strcmp(arg, "-h") == 0 || strcmp(arg, "--help") == 0) {
            print_help();
            return WRITE_DONE;
        }
        if (strcmp(arg, "--") == 0) {
            i++;
            break;
        }
        const char *value = nullptr;
        if (strcmp(arg, "--wait") == 0) {
            if (i + 1 >= argc)
                return usage_error("--wait needs a number of seconds", nullptr);
            value = argv[++i];
        } else if (strncmp(arg, "--wait=", 7) == 0) {
            value = arg + 7;
        } else {
            return usage_error("unknown option", arg);
        }
        if (!parse_seconds(value, &wait_ms))
            return usage_error("--wait needs a number of seconds", value);
    }

    static Line line;
    const int built = build_line(argc - i, argv + i, &line);
    if (built != WRITE_DONE)
        return built;

    char path[PATH_MAX];
    if (!glimmer_client_fifo_path(path, sizeof path)) {
        fprintf(stderr, "%s: GLIMMER_FIFO_DIR is too long\n", PROGRAM);
        return WRITE_UNDELIVERED;
    }
    return glimmer_client_deliver(PROGRAM, path, line.text, line.length, wait_ms);
}
