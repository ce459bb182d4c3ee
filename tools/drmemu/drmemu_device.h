// The emulated DRM/KMS card: its model, the text of its configuration, and
// the driver's answer to each request glimmer's DRM output makes through
// libdrm. Shared by the preloaded interposer and the control library; plain
// C-like code without allocation, so that it is safe inside any process.
//
// Files of card N in the emulation directory:
//   cardN.conf        configuration, "key value" lines (see README.md)
//   cardN.state       the card as it stands now (binary, this header's record)
//   cardN.log         one line per open, request, mmap and close:
//                     NAME key=value ... -> RESULT [ERRNO] fd=FD
//   cardN.lock        serialises the processes that use the card
//   cardN-bufH        the memory of dumb buffer H
//   cardN-crtcK.scan  what CRTC K scans out, on cards that need DirtyFB
#pragma once

#include <drm.h>
#include <drm_mode.h>

#include <cstddef>
#include <cstdint>

enum DrmemuRequest {
    DRMEMU_OPEN, // not an ioctl: open(2) of the card, refusable like one
    DRMEMU_MMAP, // not an ioctl: mmap(2) of a dumb buffer
    DRMEMU_VERSION,
    DRMEMU_GET_CAP,
    DRMEMU_SET_CLIENT_CAP,
    DRMEMU_AUTH_MAGIC,
    DRMEMU_SET_MASTER,
    DRMEMU_DROP_MASTER,
    DRMEMU_WAIT_VBLANK,
    DRMEMU_GETRESOURCES,
    DRMEMU_GETCRTC,
    DRMEMU_SETCRTC,
    DRMEMU_GETENCODER,
    DRMEMU_GETCONNECTOR,
    DRMEMU_GETPROPERTY,
    DRMEMU_ADDFB,
    DRMEMU_RMFB,
    DRMEMU_PAGE_FLIP,
    DRMEMU_DIRTYFB,
    DRMEMU_CREATE_DUMB,
    DRMEMU_MAP_DUMB,
    DRMEMU_DESTROY_DUMB,
    DRMEMU_GETPLANERESOURCES,
    DRMEMU_GETPLANE,
    DRMEMU_ADDFB2,
    DRMEMU_OBJ_GETPROPERTIES,
    DRMEMU_REQUEST_COUNT,
};

enum {
    DRMEMU_MAX_CARDS = 10,
    DRMEMU_MAX_CONNECTORS = 4,
    DRMEMU_MAX_CRTCS = 4,
    DRMEMU_MAX_PLANES = 8,
    DRMEMU_MAX_MODES = 16,
    DRMEMU_MAX_FORMATS = 8,
    DRMEMU_MAX_BUFFERS = 32,
    DRMEMU_MAX_FBS = 32,
    DRMEMU_MAX_OPENS = 16,
    DRMEMU_MAX_REFUSALS = 16,
};

// Object ids, one number space as in the kernel.
enum {
    DRMEMU_PROP_TYPE = 1,        // plane "type"
    DRMEMU_PROP_ORIENTATION = 2, // connector "panel orientation"
    DRMEMU_PROP_DPMS = 3,        // connector "DPMS"
    DRMEMU_CRTC_ID = 20,         // + index
    DRMEMU_ENCODER_ID = 30,      // + index of its connector
    DRMEMU_CONNECTOR_ID = 40,    // + index
    DRMEMU_PLANE_ID = 50,        // + index
    DRMEMU_FB_ID = 100,          // + serial
};

// Byte offset that MAP_DUMB gives for dumb buffer handle h: h << 16.
enum { DRMEMU_MAP_SHIFT = 16 };

enum DrmemuDirty {
    DRMEMU_DIRTY_NONE,      // DIRTYFB fails with ENOSYS; writes show at once
    DRMEMU_DIRTY_SUPPORTED, // DIRTYFB succeeds; writes show at once
    DRMEMU_DIRTY_REQUIRED,  // writes show only after DIRTYFB, SETCRTC or a flip
};

// Plane types, valued as the "type" property reports them.
enum { DRMEMU_PLANE_OVERLAY, DRMEMU_PLANE_PRIMARY, DRMEMU_PLANE_CURSOR };

// Values of "panel orientation" plus one: 0 means the connector lacks it.
enum { DRMEMU_ORIENTATION_NONE = 0 };

struct DrmemuMode {
    uint32_t width, height, refresh, preferred;
};

struct DrmemuConnector {
    char name[32]; // "Virtual-1": type name, '-', type index
    uint32_t type, type_id;
    uint32_t connected;
    uint32_t orientation; // DRMEMU_ORIENTATION_NONE or value + 1
    uint32_t possible_crtcs;
    uint32_t mode_count;
    DrmemuMode modes[DRMEMU_MAX_MODES];
    uint32_t crtc; // state: index + 1 of the CRTC driving it, or 0
};

struct DrmemuPlane {
    uint32_t type; // DRMEMU_PLANE_*
    uint32_t possible_crtcs;
    uint32_t format_count;
    uint32_t formats[DRMEMU_MAX_FORMATS];
};

struct DrmemuCrtc {
    uint32_t fb; // framebuffer id shown, 0 when off
    uint32_t x, y;
    struct drm_mode_modeinfo mode;
    uint32_t pending_open; // open with a flip event not yet read, or 0
    uint32_t pending_event;
};

struct DrmemuBuffer {
    uint32_t handle; // 0: free slot
    uint32_t open;
    uint32_t width, height, bpp, pitch, size;
    uint32_t released; // the handle is gone, framebuffers still use it
};

struct DrmemuFb {
    uint32_t id; // 0: free slot
    uint32_t open, handle;
    uint32_t width, height, pitch, offset, format;
};

struct DrmemuOpen {
    uint32_t id; // 0: free slot
    uint32_t pid;
};

// A planned failure: call `nth` of the request (0: every call) fails with err.
struct DrmemuRefusal {
    uint32_t request, nth;
    int32_t err;
};

struct DrmemuDevice {
    uint32_t magic, size; // of the state file's layout
    char driver[16];
    uint32_t preferred_depth, prefer_shadow;
    uint32_t dirty;         // DrmemuDirty
    uint32_t vblank;        // flips wait for the previous one's event (EBUSY)
    int32_t unknown_format; // errno of ADDFB/ADDFB2 for a format no plane offers
    uint32_t connector_count, crtc_count, plane_count;
    DrmemuConnector connectors[DRMEMU_MAX_CONNECTORS];
    DrmemuCrtc crtcs[DRMEMU_MAX_CRTCS];
    DrmemuPlane planes[DRMEMU_MAX_PLANES];
    uint32_t refusal_count;
    DrmemuRefusal refusals[DRMEMU_MAX_REFUSALS];

    // State.
    uint32_t master; // open id, or 0
    uint32_t next_open, next_handle, next_fb;
    DrmemuOpen opens[DRMEMU_MAX_OPENS];
    DrmemuBuffer buffers[DRMEMU_MAX_BUFFERS];
    DrmemuFb fbs[DRMEMU_MAX_FBS];
    uint32_t calls[DRMEMU_REQUEST_COUNT]; // requests made, refused ones included
    uint32_t flips, dirties, closes;
};

// What the process that owns a descriptor knows about it.
struct DrmemuClient {
    uint32_t open;        // the open's id in the device
    uint32_t universal;   // DRM_CLIENT_CAP_UNIVERSAL_PLANES was set
    uint32_t events_read; // flip events the program has read so far
    uint32_t events_sent;
};

struct DrmemuAnswer {
    int result;
    int err; // errno when result is -1
    // A flip event to queue on the descriptor (PAGE_FLIP with EVENT).
    bool event;
    uint64_t user_data;
    uint32_t crtc_id;
};

// Name of a request as logged and configured ("MODE_SETCRTC"), or null.
const char *drmemu_request_name(int request);
// Reads "MODE_SETCRTC" or "DRM_IOCTL_MODE_SETCRTC"; -1 when unknown.
int drmemu_request_from_name(const char *name);
// The request an ioctl number stands for, or -1.
int drmemu_request_from_code(unsigned long code);

// Parses configuration text into a fresh card; on a bad line returns false
// and describes it in err.
bool drmemu_device_parse(DrmemuDevice *d, const char *text, char *err, size_t err_len);

// Path of file `suffix` of card n ("conf", "log", ...; "-buf7" gives cardN-buf7).
bool drmemu_path(char *buf, size_t len, const char *dir, int n, const char *suffix);
// Loads card n: its state when saved, else its configuration. False when
// the card is not configured.
bool drmemu_device_load(const char *dir, int n, DrmemuDevice *d);
bool drmemu_device_save(const char *dir, int n, const DrmemuDevice *d);

// A new open of the card by process pid: the first opener while no master
// exists becomes master. False when all open slots are taken.
bool drmemu_device_open(DrmemuDevice *d, uint32_t pid, uint32_t *open);
// The end of an open, as the kernel's release: master given back, its
// framebuffers removed (switching off the CRTCs that show them), its dumb
// buffers freed.
void drmemu_device_close(DrmemuDevice *d, const char *dir, int n, uint32_t open);

// Carries out one ioctl on the card for a client. arg is the ioctl argument.
// A description of the request (what was asked and answered) goes to desc.
DrmemuAnswer drmemu_device_request(DrmemuDevice *d, const char *dir, int n, DrmemuClient *c,
                                   int request, void *arg, char *desc, size_t desc_len);
// The planned failure for the next call of request, counting the call:
// its errno, or 0.
int drmemu_device_refusal(DrmemuDevice *d, int request);

// The dumb buffer that MAP_DUMB offset `offset` names for an open, or null.
const DrmemuBuffer *drmemu_device_mapped(const DrmemuDevice *d, uint32_t open, uint64_t offset);

// Name of an errno value as logged; numbers without a name come out as digits.
const char *drmemu_errno_name(int err, char *buf, size_t len);
int drmemu_errno_from_name(const char *name);

// Bytes per pixel of a format the emulation knows (XR24, AR24, BX24, RG16, RG24), or 0.
uint32_t drmemu_format_cpp(uint32_t format);
