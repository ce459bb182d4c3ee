// Control of the emulated DRM cards, for tests and the glimmer-drmemu
// command: write a card's configuration, read back its state and request
// log, and turn what a head shows into pixels or a PNG file. The files are
// described in drmemu_device.h; the configuration keys in README.md.
#pragma once

#include "drmemu_device.h"
#include "fbemu.h"

#include <string>
#include <vector>

// Configuration text of a card modelled on a real one: "bochs", "virtio",
// "virtio2" (two outputs), "cirrus"; empty for other names.
std::string glimmer_drmemu_preset(const std::string &name);

// Writes cardN.conf and forgets the card's earlier state and log. False when
// the text does not parse (why says where) or cannot be written.
bool glimmer_drmemu_write_config(const std::string &dir, int n, const std::string &text,
                                 std::string *why = nullptr);

// The card as it stands: its state, or its configuration when no program
// has used it yet. False when the card is not configured.
bool glimmer_drmemu_read_state(const std::string &dir, int n, DrmemuDevice *state);
// The state as "key value" lines, for people.
std::string glimmer_drmemu_describe(const DrmemuDevice &state);

// The request log in order, in the framebuffer emulation's line format.
std::vector<FbemuLogEntry> glimmer_drmemu_read_log(const std::string &dir, int n);

// What connector `head` shows: the visible part of its CRTC's framebuffer,
// as the card scans it out (on cards that need DirtyFB, as last reported).
// 16-bit pixels are widened by copying their top bits down.
bool glimmer_drmemu_capture(const std::string &dir, int n, int head, FbemuImage *image,
                            std::string *why = nullptr);
bool glimmer_drmemu_save_capture_png(const std::string &dir, int n, int head,
                                     const std::string &path, std::string *why = nullptr);
