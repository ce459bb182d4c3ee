// The output: one display device with one or more heads, each drawn through
// its own Framebuffer record. Layout and commands draw on every head and then
// flip the output, without knowing which kind of device is behind it.
#pragma once

#include "fb/framebuffer.h"

enum { GLIMMER_MAX_HEADS = 8 };

struct Output;

// What is left to do once the first picture is on the screen.
enum OutputFinish {
    OUTPUT_FINISHED, // every page is set up and up to date
    OUTPUT_REDRAW,   // the pages were set up anew: draw the scene again, flip with sync
    OUTPUT_FAILED,   // the device cannot be used any more
};

// What a kind of device does; each kind keeps its own state in a record that
// starts with the Output.
struct OutputOps {
    // Shows every head's drawing page; with sync the whole shown page is
    // copied into the new drawing page, otherwise only what was drawn.
    // False when the device refuses to show anything at all (a DRM card
    // whose mode cannot be set at the first flip).
    bool (*flip)(Output *output, bool sync);
    // Gives the device back and frees the record.
    void (*close)(Output *output);
    // Sets up what open left for after the first picture because it can
    // take long (a mode set for a second page). Null where open did it all.
    OutputFinish (*finish)(Output *output);
};

struct Output {
    const OutputOps *ops;
    int head_count;
    Framebuffer *heads[GLIMMER_MAX_HEADS];
};

struct OutputOptions {
    int device_number;   // N of /dev/fbN and /dev/dri/cardN
    FbRotation rotation; // from -a
    bool rotation_given; // whether -a was given at all
    bool drm;            // -d: the DRM card even where /dev/fbN exists
};

// Opens the device the options choose: /dev/fbN, or the DRM card
// /dev/dri/cardN where /dev/fbN does not exist or with drm set. Prints the
// reason and returns nullptr when none can be used.
Output *glimmer_output_open(const OutputOptions *options);
// The finish operation, once the first picture is shown.
OutputFinish glimmer_output_finish(Output *output);
// Shows what was drawn on every head; false as the flip operation says.
bool glimmer_output_flip(Output *output, bool sync);
void glimmer_output_close(Output *output);
