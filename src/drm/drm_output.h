// The DRM/KMS output: every connected screen of /dev/dri/cardN, each with two
// dumb buffers shown in turn by page flips.
//
// Drawing goes into each head's Framebuffer record as on fbdev; only the
// set-up, flip and close code here talk to the card.
#pragma once

#include "output/output.h"

#include <xf86drmMode.h>

#include <cstddef>
#include <cstdint>

// One dumb buffer with its framebuffer object and mapping.
struct DrmBuffer {
    uint32_t handle; // 0 while none exists
    uint32_t fb_id;  // 0 while none exists
    uint32_t pitch;
    uint8_t *map; // nullptr while not mapped
    size_t size;
};

struct DrmHead {
    Framebuffer fb; // the drawing record: its pages are the two buffers' mappings
    uint32_t connector_id;
    uint32_t crtc_id;
    uint32_t format; // DRM fourcc
    drmModeModeInfo mode;
    drmModeCrtc *saved; // the CRTC as it was, put back at exit
    bool crtc_set;      // SetCrtc done: the CRTC is ours until restored
    DrmBuffer buffers[2];
    int shown;         // index of the buffer on screen, -1 before the first SetCrtc
    bool flip_pending; // a page flip was queued and its event has not been read
};

struct DrmOutput {
    Output output; // first, so that an Output * of this kind is a DrmOutput *
    int fd;
    bool master;
    DrmHead heads[GLIMMER_MAX_HEADS]; // output.heads[i] points to heads[i].fb
};

extern const OutputOps glimmer_drm_ops;

// Takes over the opened card `fd` (named `path` in messages): becomes its
// master and sets up every connected head with its first buffer, ready for
// drawing but not yet shown. rotation_given: an explicit rotation; otherwise
// each connector's panel orientation selects it. Prints the reason and returns
// nullptr on failure, with nothing left behind and fd closed.
DrmOutput *glimmer_drm_open(int fd, const char *path, FbRotation rotation, bool rotation_given);

// Shows what was drawn into every head. The first call sets each CRTC and
// only then creates the second buffer of each head; it fails (message
// printed) when a CRTC cannot be set, and the caller then closes the output.
// Later calls flip and wait for the flip's event, so that the buffer drawn
// next is never on screen. With sync the whole shown page is copied into the
// new drawing page, otherwise only what was drawn.
bool glimmer_drm_flip(Output *output, bool sync);

// Puts back each saved CRTC, frees the buffers, closes the card and frees
// the record.
void glimmer_drm_close(Output *output);
