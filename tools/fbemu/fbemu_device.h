// The emulated framebuffer device: its model, the text format of its
// configuration and state files, and the driver's answer to each request.
// Shared by the preloaded interposer and the control library; plain C-like
// code without allocation, so that it is safe inside any process.
#pragma once

#include <linux/fb.h>

#include <cstddef>
#include <cstdint>

enum FbemuRequest {
    FBEMU_GET_VAR, // FBIOGET_VSCREENINFO
    FBEMU_PUT_VAR, // FBIOPUT_VSCREENINFO
    FBEMU_GET_FIX, // FBIOGET_FSCREENINFO
    FBEMU_PAN,     // FBIOPAN_DISPLAY
    FBEMU_VSYNC,   // FBIO_WAITFORVSYNC
    FBEMU_REQUEST_COUNT,
};

enum { FBEMU_MAX_REFUSALS = 16, FBEMU_MAX_DEVICES = 10 };

// A planned failure: call `nth` of the request (0: every call) returns
// `result`; with result -1, errno is set to `err`. A refused request changes
// nothing on the device.
struct FbemuRefusal {
    int request;
    uint32_t nth;
    int err;
    int result;
};

struct FbemuField {
    uint32_t offset, length;
};

struct FbemuDevice {
    // What FBIOGET_VSCREENINFO reports.
    uint32_t xres, yres, xres_virtual, yres_virtual, xoffset, yoffset;
    uint32_t bits_per_pixel;
    FbemuField red, green, blue, transp;
    // What FBIOGET_FSCREENINFO reports. With line_length_follows the line
    // length is xres * bits_per_pixel / 8 after every accepted depth change.
    uint32_t line_length;
    int line_length_follows;
    uint32_t smem_len;
    uint32_t smem_start;
    int mappable; // 0: the memory cannot be mapped (mmap fails with ENODEV)

    // How the driver answers FBIOPUT_VSCREENINFO.
    uint64_t put_depths;    // bit d set: depth d is accepted (the current depth always is)
    int put_double;         // a virtual height above yres is accepted
    int put_keep_bitfields; // the driver's own bitfields for a depth replace the requested ones
    int put_check_memory;   // refuse geometries that smem_len cannot hold
    int put_unchecked;      // no mode check: every request succeeds and keeps the mode

    FbemuRefusal refusals[FBEMU_MAX_REFUSALS];
    int refusal_count;

    // Counters.
    uint32_t calls[FBEMU_REQUEST_COUNT]; // requests made, refused ones included
    uint32_t pans;                       // accepted FBIOPAN_DISPLAY requests
    uint32_t flips;                      // accepted pans that moved yoffset
    uint32_t vsyncs;                     // accepted FBIO_WAITFORVSYNC requests
    uint32_t opens, closes;
};

// Name of a request as logged and configured ("FBIOPAN_DISPLAY"), or null.
const char *fbemu_request_name(int request);
int fbemu_request_from_name(const char *name);
// The ioctl number of a request, and back (-1 for other numbers).
unsigned long fbemu_request_code(int request);
int fbemu_request_from_code(unsigned long code);

// Name of an errno value ("EINVAL"); numbers without a name come out as digits.
const char *fbemu_errno_name(int err, char *buf, size_t len);
// Parses "EINVAL" or "22". Returns -1 on an unknown name.
int fbemu_errno_from_name(const char *name);

// Bytes of device memory before the first pixel: smem_start's offset into its page.
uint32_t fbemu_page_offset(const FbemuDevice *d);
// The CRC-32 of PNG files; the log also gives the page on display at a mode
// set by it.
uint32_t glimmer_fbemu_crc32(const uint8_t *data, size_t len, uint32_t crc = 0);
// The bitfields a driver picks for a depth of its own accord.
void fbemu_default_fields(uint32_t bpp, FbemuField *red, FbemuField *green, FbemuField *blue,
                          FbemuField *transp);

// Parses configuration text into a device. Keys left out take the values of
// a healthy 1024x768 32 bpp RGB888 device that pans and waits for vsync;
// sizes derived from others (virtual size, line length, memory) follow the
// configured ones. On a bad line returns false and describes it in err.
bool fbemu_device_parse(FbemuDevice *d, const char *text, char *err, size_t err_len);
// Writes the whole device (configuration, state and counters) as text that
// fbemu_device_parse reads back. Returns the length, or -1 when buf is too small.
int fbemu_device_format(const FbemuDevice *d, char *buf, size_t len);

// Path of file `suffix` ("conf", "state", "mem", "log", "lock") of device n.
bool fbemu_path(char *buf, size_t len, const char *dir, int n, const char *suffix);
// Loads device n from dir: its state when one was saved, else its
// configuration. Returns false when the device has no configuration.
bool fbemu_device_load(const char *dir, int n, FbemuDevice *d);
// Saves the state of device n (written aside, then renamed into place).
bool fbemu_device_save(const char *dir, int n, const FbemuDevice *d);

struct FbemuAnswer {
    int result;
    int err; // errno when result is -1
};

// Carries out one request on the device model. arg is the ioctl argument;
// a description of the request (its arguments, or what it returned) is
// written into desc for the log.
FbemuAnswer fbemu_device_request(FbemuDevice *d, int request, void *arg, char *desc,
                                 size_t desc_len);
