// Control of the emulated framebuffer devices, for tests and tools: write a
// device's configuration, read back its state, request log and memory, and
// turn what it shows into pixels or a PNG file.
//
// The devices live in a directory (the one GLIMMER_EMU_DIR names for the
// program under test). Per device N:
//   fbN.conf   configuration, "key value" lines (see FbemuConfig)
//   fbN.state  the device as it stands now: same format, plus counters
//   fbN.mem    the device memory, smem_len bytes, created at first open
//   fbN.log    one line per open, request and close:
//              NAME key=value ... -> RESULT [ERRNO] fd=FD
#pragma once

#include "fbemu_device.h"

#include <cstdint>
#include <string>
#include <vector>

// A device to emulate. Zero in the sizes marked "derived" means: work it out
// from the others, as a plain driver would.
struct FbemuConfig {
    uint32_t xres = 1024, yres = 768;
    uint32_t bits_per_pixel = 32;
    FbemuField red = {16, 8}, green = {8, 8}, blue = {0, 8}, transp = {0, 0};
    uint32_t yres_virtual = 0; // derived: yres
    uint32_t yoffset = 0;
    uint32_t line_length = 0; // derived: xres * bpp / 8, following depth changes
    uint32_t smem_len = 0;    // derived: room for two pages, even at 32 bpp
    uint32_t smem_start = 0;  // its offset into a memory page shifts the first pixel
    bool mappable = true;     // false: mmap of the device fails (ENODEV)

    std::vector<int> put_depths = {16, 24, 32}; // depths FBIOPUT_VSCREENINFO accepts
    bool put_double = true;                     // a virtual height of twice yres is accepted
    bool put_keep_bitfields = false;            // the driver keeps its own bitfields for a depth
    bool put_check_memory = true;               // geometries beyond smem_len are refused
    bool put_unchecked = false; // a driver without a mode check: success, the mode kept

    // Planned failures, in the order they are checked.
    std::vector<FbemuRefusal> refusals;

    // Every call of `request` fails with -1 and errno err.
    FbemuConfig &refuse(int request, int err);
    // Only call `nth` (counted from 1) of `request` fails.
    FbemuConfig &refuse_nth(int request, uint32_t nth, int err);
    // Every call of `request` returns `result` (not -1) and does nothing.
    FbemuConfig &answer(int request, int result);
};

std::string glimmer_fbemu_config_text(const FbemuConfig &config);
bool glimmer_fbemu_write_config(const std::string &dir, int n, const FbemuConfig &config);
// Writes configuration text as it is, for cases the record cannot express.
bool glimmer_fbemu_write_config_text(const std::string &dir, int n, const std::string &text);

// The device as it stands: its state file, or its configuration when no
// program has used it yet. False when the device is not configured.
bool glimmer_fbemu_read_state(const std::string &dir, int n, FbemuDevice *state);

struct FbemuLogEntry {
    std::string name; // "open", "close", "FBIOPAN_DISPLAY", ...
    std::vector<std::pair<std::string, std::string>> values; // in the order logged
    long result;
    std::string error; // errno name when result is -1, else empty
    std::string line;  // the whole line, without its end

    bool has(const std::string &key) const;
    std::string value(const std::string &key) const; // empty when missing
    long number(const std::string &key) const;       // -1 when missing
};

// The request log in order; empty when nothing was logged.
std::vector<FbemuLogEntry> glimmer_fbemu_read_log(const std::string &dir, int n);
// The entries of log text in the same line format (the DRM emulation's too).
std::vector<FbemuLogEntry> glimmer_fbemu_parse_log(const std::string &text);
// Only the entries called `name`.
std::vector<FbemuLogEntry> glimmer_fbemu_log_of(const std::vector<FbemuLogEntry> &log,
                                                const std::string &name);

// The whole device memory file.
bool glimmer_fbemu_read_memory(const std::string &dir, int n, std::vector<uint8_t> *memory);

struct FbemuRgb {
    uint8_t r, g, b;
    bool operator==(const FbemuRgb &o) const { return r == o.r && g == o.g && b == o.b; }
};

struct FbemuImage {
    int width = 0, height = 0;
    std::vector<FbemuRgb> pixels; // rows top to bottom
    FbemuRgb at(int x, int y) const { return pixels[(size_t)y * (size_t)width + (size_t)x]; }
};

// The raw value of the pixel at device column x of device line `line`
// (counted from the first line of the memory, so page 1 starts at yres).
// False when the pixel lies outside the memory or the depth is not 16, 24 or 32.
bool glimmer_fbemu_pixel_value(const FbemuDevice &state, const std::vector<uint8_t> &memory,
                               uint32_t x, uint32_t line, uint32_t *value);
// The channels of a raw value by the device's bitfields, widened to 8 bits.
FbemuRgb glimmer_fbemu_decode_value(const FbemuDevice &state, uint32_t value);
// The xres x yres pixels starting at device line `first_line`.
bool glimmer_fbemu_decode_lines(const FbemuDevice &state, const std::vector<uint8_t> &memory,
                                uint32_t first_line, FbemuImage *image);
// Page `page` (0 or 1) of device n, or the lines shown at its yoffset.
bool glimmer_fbemu_decode_page(const std::string &dir, int n, int page, FbemuImage *image);
bool glimmer_fbemu_decode_shown(const std::string &dir, int n, FbemuImage *image);

// PNG, 8-bit RGB, written without a compression library.
std::vector<uint8_t> glimmer_fbemu_png(const FbemuImage &image);
bool glimmer_fbemu_save_png(const std::string &path, const FbemuImage &image);
bool glimmer_fbemu_save_page_png(const std::string &dir, int n, int page, const std::string &path);
bool glimmer_fbemu_save_shown_png(const std::string &dir, int n, const std::string &path);

// The other checksum PNG files carry (glimmer_fbemu_crc32: fbemu_device.h).
uint32_t glimmer_fbemu_adler32(const uint8_t *data, size_t len, uint32_t adler = 1);
