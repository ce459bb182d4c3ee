// Writing one command line into glimmer's FIFO, shared by the programs that
// talk to glimmer (glimmer-write, glimmer-progress).
//
// A plain `echo PROGRESS 50 > /run/glimmer_fifo` creates a regular file when
// the FIFO is missing, and that file then stands in glimmer's way at its next
// start. This writer never creates anything: it opens only an existing FIFO,
// only while glimmer reads it, and writes the whole line in one atomic write.
#pragma once

#include <cstddef>
#include <cstdint>

enum WriteStatus {
    WRITE_DONE = 0,        // the line is in the FIFO
    WRITE_USAGE = 1,       // bad command line, nothing was opened
    WRITE_UNDELIVERED = 2, // no FIFO, not a FIFO, no reader, or the write failed
};

// glimmer closes and reopens its end after every writer; an open that lands
// in that gap finds no reader for a moment, so ENXIO is retried this long.
static const int64_t GLIMMER_CLIENT_NO_READER_GRACE_MS = 200;

// The FIFO's path: "glimmer_fifo" in $GLIMMER_FIFO_DIR (default /run; empty:
// the current directory). False when it does not fit.
bool glimmer_client_fifo_path(char *path, size_t size);

// Opens the FIFO and writes the line (at most PIPE_BUF bytes, newline
// included), retrying within wait_ms while the FIFO is missing and at least
// for the grace above while nobody reads it. Failures are reported on
// standard error after "program: ". Returns WRITE_DONE or WRITE_UNDELIVERED.
int glimmer_client_deliver(const char *program, const char *path, const char *line, size_t length,
                           int64_t wait_ms);
