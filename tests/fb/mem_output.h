// The fbdev output over a MemFb's pages, for tests and benchmarks that run
// the command code: its flips send their requests to `fd` (-1 or /dev/null,
// where they fail as on a driver without vertical sync) and then exchange the
// record's pages.
#pragma once

#include "fbdev/fbdev.h"
#include "memfb.h"

#include <cstring>

struct MemOutput {
    FbdevOutput dev;

    explicit MemOutput(MemFb *m, int fd = -1)
    {
        memset(&dev, 0, sizeof dev);
        dev.output.ops = &glimmer_fbdev_ops;
        dev.output.head_count = 1;
        dev.output.heads[0] = &m->fb;
        dev.fd = fd;
    }
    MemOutput(const MemOutput &) = delete;
    MemOutput &operator=(const MemOutput &) = delete;

    Output *output() { return &dev.output; }
};
