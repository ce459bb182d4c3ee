// The fbdev output: /dev/fbN, one head, double buffered by panning between
// two pages of the device memory where the driver allows it.
#pragma once

#include "output/output.h"

#include <linux/fb.h>

#include <cstddef>
#include <cstdint>

struct FbdevOutput {
    Output output;                     // first, so that an Output * of this kind is a FbdevOutput *
    Framebuffer head;                  // the one head; output.heads[0] points here
    int fd;                            // device descriptor, -1 while none is open
    struct fb_var_screeninfo var_info; // pan request; all zero without double buffering
                                       // (the mode to ask two pages of while pending)
    bool second_page_pending;          // two pages are yet to be asked for
    uint8_t *mapping;                  // start of the device mapping
    size_t mapping_size;               // bytes mapped (smem_len)
    unsigned long mapped_start;        // smem_start when mapped
    uint8_t *base;                     // first byte of the first page
};

extern const OutputOps glimmer_fbdev_ops;

// Set-up of the opened device fd (fbdev.cpp), which the output takes over:
// depth, double buffering, mapping, layout of the pages. Where the second page
// takes a mode set, it waits for the output's finish operation, so that the
// first picture comes first. Prints the reason and returns nullptr (fd
// closed) when the device cannot be used.
FbdevOutput *glimmer_fbdev_open(int fd, FbRotation rotation);
// Closes the device and frees the record; the mapping stays to the end of the
// process.
void glimmer_fbdev_close(Output *output);

// Page flip (fbdev_flip.cpp): vertical-sync wait and pan to head 0's drawing
// page, then the pages change places (glimmer_fb_swap_pages).
bool glimmer_fbdev_flip(Output *output, bool sync);
