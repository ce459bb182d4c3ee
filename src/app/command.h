// The command channel: lines read from the FIFO, carried out on the screen.
#pragma once

#include "output/output.h"

#include <csignal>
#include <cstddef>
#include <cstdint>

enum { COMMAND_BUFFER_SIZE = 2048 };

#define GLIMMER_FIFO_NAME "glimmer_fifo"

// Splits the bytes of successive reads into lines. A read that fills the whole
// receive area and ends inside a line keeps that line for the next read.
struct CommandReader {
    char buffer[COMMAND_BUFFER_SIZE + 1]; // +1 for the NUL of the last line
    size_t kept;                          // bytes of an unfinished line at the front
};

enum CommandResult {
    COMMAND_CONTINUE,
    COMMAND_QUIT,
};

// A decimal number as strtol reads it (leading blanks, a sign, digits up to
// the first other byte; none gives 0), saturated to the 32-bit range.
int32_t glimmer_command_parse_number(const char *text);

// Draws the start-up scene on every head and shows it, then lets the output
// set up its remaining pages (drawing the scene again where they were set up
// anew). False when the output cannot show it at all.
bool glimmer_command_draw_initial_scene(Output *output);

// Carries out one non-empty line (no newline, no NUL inside, NUL-terminated
// at line[length]) on every head and flips. Returns COMMAND_QUIT for "QUIT".
CommandResult glimmer_command_run_line(Output *output, char *line, size_t length);

// Handles the bytes that one read appended to reader->buffer after the kept
// part; `length` counts the new bytes. `data_ends` says that nothing follows
// at once (end of file, or no bytes waiting): a line cut by the end of the
// receive area is then taken as it is, never joined to a later writer's bytes.
CommandResult glimmer_command_feed(Output *output, CommandReader *reader, size_t length,
                                   bool data_ends);

// Opens the FIFO by its bare name, read-only and non-blocking, refusing
// anything that is not a FIFO. Returns the descriptor or -1 (errno set).
int glimmer_command_open_fifo();

// Serves the FIFO until "QUIT" (returns 0) or until the wait fails or is
// interrupted (returns the wait's negative result). wait_mask is the signal
// mask in force while waiting; the caller blocks the terminating signals
// everywhere else, so that none is lost between two waits.
int glimmer_command_loop(Output *output, int fifo_fd, const sigset_t *wait_mask);
