// The DRM/KMS output: set-up of every connected head, page flips paced by
// their events, and the CRTCs given back at exit.
#include "drm/drm_output.h"

#include <drm_fourcc.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>
#include <xf86drm.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

enum {
    MAX_PLANES = 32,
    FLIP_WAIT_MS = 1000, // a flip event later than this is taken as lost
};

// A primary plane: the CRTCs it can serve and the formats glimmer draws.
struct PrimaryPlane {
    uint32_t possible_crtcs;
    bool xrgb8888, rgb565;
    bool taken;
};

struct PlaneList {
    int count;
    PrimaryPlane planes[MAX_PLANES];
};

static bool is_primary(int fd, uint32_t plane_id)
{
    drmModeObjectProperties *props =
        drmModeObjectGetProperties(fd, plane_id, DRM_MODE_OBJECT_PLANE);
    if (!props)
        return false;
    bool primary = false;
    for (uint32_t i = 0; i < props->count_props; i++) {
        drmModePropertyRes *p = drmModeGetProperty(fd, props->props[i]);
        if (p && strcmp(p->name, "type") == 0)
            primary = props->prop_values[i] == DRM_PLANE_TYPE_PRIMARY;
        drmModeFreeProperty(p);
    }
    drmModeFreeObjectProperties(props);
    return primary;
}

static void list_primary_planes(int fd, PlaneList *list)
{
    list->count = 0;
    drmModePlaneRes *res = drmModeGetPlaneResources(fd);
    if (!res)
        return;
    for (uint32_t i = 0; i < res->count_planes && list->count < MAX_PLANES; i++) {
        drmModePlane *plane = drmModeGetPlane(fd, res->planes[i]);
        if (plane && is_primary(fd, plane->plane_id)) {
            PrimaryPlane &p = list->planes[list->count++];
            p = PrimaryPlane{plane->possible_crtcs, false, false, false};
            for (uint32_t f = 0; f < plane->count_formats; f++) {
                p.xrgb8888 |= plane->formats[f] == DRM_FORMAT_XRGB8888;
                p.rgb565 |= plane->formats[f] == DRM_FORMAT_RGB565;
            }
        }
        drmModeFreePlane(plane);
    }
    drmModeFreePlaneResources(res);
}

// Takes a free primary plane for CRTC index `crtc` and picks the format:
// the preferred one, else the other one. Without any primary plane listed
// (a kernel without universal planes) the CRTC's own is trusted.
static bool take_plane(PlaneList *list, int crtc, uint32_t preferred, uint32_t *format)
{
    if (list->count == 0) {
        *format = preferred;
        return true;
    }
    for (int i = 0; i < list->count; i++) {
        PrimaryPlane &p = list->planes[i];
        if (p.taken || !(p.possible_crtcs & (1u << crtc)))
            continue;
        const bool has_preferred = preferred == DRM_FORMAT_RGB565 ? p.rgb565 : p.xrgb8888;
        const bool has_other = preferred == DRM_FORMAT_RGB565 ? p.xrgb8888 : p.rgb565;
        if (!has_preferred && !has_other)
            continue;
        p.taken = true;
        *format = has_preferred
                      ? preferred
                      : (preferred == DRM_FORMAT_RGB565 ? DRM_FORMAT_XRGB8888 : DRM_FORMAT_RGB565);
        return true;
    }
    return false;
}

// The rotation that shows the scene upright on a panel mounted as the
// connector's "panel orientation" says: a panel whose left side is up is
// turned clockwise, so the scene is turned counter-clockwise (90 degrees:
// its top along the panel's left edge), and the other way round.
static FbRotation panel_rotation(int fd, const drmModeConnector *conn)
{
    FbRotation rotation = FB_ROTATE_0;
    for (int i = 0; i < conn->count_props; i++) {
        drmModePropertyRes *p = drmModeGetProperty(fd, conn->props[i]);
        if (p && strcmp(p->name, "panel orientation") == 0 && (p->flags & DRM_MODE_PROP_ENUM)) {
            for (int e = 0; e < p->count_enums; e++) {
                if (p->enums[e].value != conn->prop_values[i])
                    continue;
                const char *name = p->enums[e].name;
                if (strcmp(name, "Upside Down") == 0)
                    rotation = FB_ROTATE_180;
                else if (strcmp(name, "Left Side Up") == 0)
                    rotation = FB_ROTATE_90;
                else if (strcmp(name, "Right Side Up") == 0)
                    rotation = FB_ROTATE_270;
            }
        }
        drmModeFreeProperty(p);
    }
    return rotation;
}

// Finds a CRTC that one of the connector's encoders can drive, which no
// other head uses and which has a primary plane for one of our formats.
static int pick_crtc(int fd, const drmModeRes *res, const drmModeConnector *conn,
                     uint32_t used_crtcs, PlaneList *planes, uint32_t preferred, uint32_t *format)
{
    for (int e = 0; e < conn->count_encoders; e++) {
        drmModeEncoder *enc = drmModeGetEncoder(fd, conn->encoders[e]);
        if (!enc)
            continue;
        const uint32_t possible = enc->possible_crtcs;
        drmModeFreeEncoder(enc);
        for (int c = 0; c < res->count_crtcs && c < 32; c++) {
            if ((possible & (1u << c)) && !(used_crtcs & (1u << c)) &&
                take_plane(planes, c, preferred, format))
                return c;
        }
    }
    return -1;
}

static void free_buffer(int fd, DrmBuffer *b)
{
    if (b->map)
        (void)munmap(b->map, b->size);
    if (b->fb_id)
        (void)drmModeRmFB(fd, b->fb_id);
    if (b->handle) {
        struct drm_mode_destroy_dumb destroy;
        memset(&destroy, 0, sizeof destroy);
        destroy.handle = b->handle;
        (void)drmIoctl(fd, DRM_IOCTL_MODE_DESTROY_DUMB, &destroy);
    }
    memset(b, 0, sizeof *b);
}

// Creates a dumb buffer of the head's mode and format, its framebuffer and
// its mapping. A pitch or size too small for the mode is refused, so that
// drawing never writes outside the mapping.
static bool make_buffer(int fd, DrmHead *h, DrmBuffer *b)
{
    const uint32_t w = h->mode.hdisplay, ht = h->mode.vdisplay;
    const uint32_t bytes = h->format == DRM_FORMAT_RGB565 ? 2 : 4;
    struct drm_mode_create_dumb create;
    memset(&create, 0, sizeof create);
    create.width = w;
    create.height = ht;
    create.bpp = bytes * 8;
    if (drmIoctl(fd, DRM_IOCTL_MODE_CREATE_DUMB, &create) != 0) {
        perror("Error creating a DRM dumb buffer");
        return false;
    }
    b->handle = create.handle;
    b->pitch = create.pitch;
    b->size = (size_t)create.size;
    if (create.pitch < w * bytes || create.pitch > INT32_MAX / 2 ||
        create.size < (uint64_t)create.pitch * ht) {
        fprintf(stderr, "Error DRM buffer pitch %u, size %llu too small for %ux%u\n", create.pitch,
                (unsigned long long)create.size, w, ht);
        free_buffer(fd, b);
        return false;
    }
    const uint32_t handles[4] = {b->handle, 0, 0, 0};
    const uint32_t pitches[4] = {b->pitch, 0, 0, 0};
    const uint32_t offsets[4] = {0, 0, 0, 0};
    if (drmModeAddFB2(fd, w, ht, h->format, handles, pitches, offsets, &b->fb_id, 0) != 0) {
        perror("Error adding a DRM framebuffer");
        free_buffer(fd, b);
        return false;
    }
    struct drm_mode_map_dumb map;
    memset(&map, 0, sizeof map);
    map.handle = b->handle;
    if (drmIoctl(fd, DRM_IOCTL_MODE_MAP_DUMB, &map) != 0) {
        perror("Error mapping a DRM dumb buffer");
        free_buffer(fd, b);
        return false;
    }
    void *p = mmap(nullptr, b->size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, (off_t)map.offset);
    if (p == MAP_FAILED) {
        perror("Error cannot mmap DRM buffer");
        free_buffer(fd, b);
        return false;
    }
    b->map = (uint8_t *)p;
    return true;
}

// The drawing record of a head whose first buffer exists.
static void describe_head(DrmHead *h, FbRotation rotation)
{
    Framebuffer &fb = h->fb;
    const DrmBuffer &b = h->buffers[0];
    fb.real_width = h->mode.hdisplay;
    fb.real_height = h->mode.vdisplay;
    fb.rotation = rotation;
    const bool swap = rotation == FB_ROTATE_90 || rotation == FB_ROTATE_270;
    fb.width = swap ? fb.real_height : fb.real_width;
    fb.height = swap ? fb.real_width : fb.real_height;
    fb.stride = (int)b.pitch;
    fb.draw_page = fb.shown_page = b.map;
    fb.double_buffered = false;
    if (h->format == DRM_FORMAT_RGB565) {
        fb.bpp = 16;
        fb.red_offset = 11, fb.red_length = 5;
        fb.green_offset = 5, fb.green_length = 6;
        fb.blue_offset = 0, fb.blue_length = 5;
        fb.format = FB_FORMAT_RGB565;
    } else {
        fb.bpp = 32;
        fb.red_offset = 16, fb.red_length = 8;
        fb.green_offset = 8, fb.green_length = 8;
        fb.blue_offset = 0, fb.blue_length = 8;
        fb.format = FB_FORMAT_RGB888;
    }
    fb.damage = FbRect{0, 0, 0, 0};
}

const OutputOps glimmer_drm_ops = {glimmer_drm_flip, glimmer_drm_close, nullptr};

static DrmOutput *fail(DrmOutput *out)
{
    glimmer_drm_close(&out->output);
    return nullptr;
}

DrmOutput *glimmer_drm_open(int fd, const char *path, FbRotation rotation, bool rotation_given)
{
    DrmOutput *out = (DrmOutput *)calloc(1, sizeof *out);
    if (!out) {
        perror("Error no memory");
        close(fd);
        return nullptr;
    }
    out->fd = fd;
    out->output.ops = &glimmer_drm_ops;
    if (drmSetMaster(out->fd) != 0) {
        fprintf(stderr, "Error, another program controls %s: %s\n", path, strerror(errno));
        return fail(out);
    }
    out->master = true;
    uint64_t dumb = 0, depth = 0;
    if (drmGetCap(out->fd, DRM_CAP_DUMB_BUFFER, &dumb) != 0 || !dumb) {
        fprintf(stderr, "Error %s has no dumb buffers\n", path);
        return fail(out);
    }
    (void)drmGetCap(out->fd, DRM_CAP_DUMB_PREFERRED_DEPTH, &depth);
    const uint32_t preferred = depth == 16 ? DRM_FORMAT_RGB565 : DRM_FORMAT_XRGB8888;
    // Without this, primary planes are not listed and their formats unknown.
    (void)drmSetClientCap(out->fd, DRM_CLIENT_CAP_UNIVERSAL_PLANES, 1);

    drmModeRes *res = drmModeGetResources(out->fd);
    if (!res) {
        fprintf(stderr, "Error getting the mode-setting resources of %s\n", path);
        return fail(out);
    }
    PlaneList planes;
    list_primary_planes(out->fd, &planes);
    uint32_t used_crtcs = 0;
    for (int i = 0; i < res->count_connectors && out->output.head_count < GLIMMER_MAX_HEADS; i++) {
        drmModeConnector *conn = drmModeGetConnector(out->fd, res->connectors[i]);
        if (!conn)
            continue;
        if (conn->connection == DRM_MODE_CONNECTED && conn->count_modes > 0) {
            DrmHead *h = &out->heads[out->output.head_count];
            const int c = pick_crtc(out->fd, res, conn, used_crtcs, &planes, preferred, &h->format);
            if (c >= 0) {
                used_crtcs |= 1u << c;
                h->crtc_id = res->crtcs[c];
                h->connector_id = conn->connector_id;
                h->mode = conn->modes[0];
                for (int m = 0; m < conn->count_modes; m++) {
                    if (conn->modes[m].type & DRM_MODE_TYPE_PREFERRED) {
                        h->mode = conn->modes[m];
                        break;
                    }
                }
                h->shown = -1;
                const FbRotation head_rotation =
                    rotation_given ? rotation : panel_rotation(out->fd, conn);
                out->output.heads[out->output.head_count++] = &h->fb;
                h->saved = drmModeGetCrtc(out->fd, h->crtc_id);
                if (h->mode.hdisplay == 0 || h->mode.vdisplay == 0 ||
                    !make_buffer(out->fd, h, &h->buffers[0])) {
                    drmModeFreeConnector(conn);
                    drmModeFreeResources(res);
                    return fail(out);
                }
                describe_head(h, head_rotation);
            }
        }
        drmModeFreeConnector(conn);
    }
    drmModeFreeResources(res);
    if (out->output.head_count == 0) {
        fprintf(stderr, "Error no connected screen on %s\n", path);
        return fail(out);
    }
    return out;
}

static void on_flip(int fd, unsigned int sequence, unsigned int sec, unsigned int usec, void *data)
{
    (void)fd, (void)sequence, (void)sec, (void)usec;
    ((DrmHead *)data)->flip_pending = false;
}

static long now_ms()
{
    struct timespec t;
    (void)clock_gettime(CLOCK_MONOTONIC, &t);
    return (long)t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

// Reads flip events until no head waits for one, or gives up after
// FLIP_WAIT_MS: a driver that never answers must not stop the program.
static void wait_flips(DrmOutput *out)
{
    drmEventContext ctx;
    memset(&ctx, 0, sizeof ctx);
    ctx.version = 2;
    ctx.page_flip_handler = on_flip;
    const long end = now_ms() + FLIP_WAIT_MS;
    for (;;) {
        bool pending = false;
        for (int i = 0; i < out->output.head_count; i++)
            pending |= out->heads[i].flip_pending;
        const long left = end - now_ms();
        if (!pending)
            return;
        if (left <= 0)
            break;
        struct pollfd p = {out->fd, POLLIN, 0};
        const int n = poll(&p, 1, (int)left);
        if (n > 0) {
            if (drmHandleEvent(out->fd, &ctx) != 0)
                break;
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    fputs("glimmer_drm_flip: no page flip event\n", stderr);
    for (int i = 0; i < out->output.head_count; i++)
        out->heads[i].flip_pending = false;
}

static bool set_crtc(int fd, DrmHead *h, uint32_t fb_id)
{
    return drmModeSetCrtc(fd, h->crtc_id, fb_id, 0, 0, &h->connector_id, 1, &h->mode) == 0;
}

// Sets every head's CRTC to the first buffer, then gives each head its
// second buffer: the first picture does not wait for the second allocation.
static bool first_show(DrmOutput *out)
{
    for (int i = 0; i < out->output.head_count; i++) {
        DrmHead *h = &out->heads[i];
        if (!set_crtc(out->fd, h, h->buffers[0].fb_id)) {
            perror("Error setting the DRM mode");
            return false;
        }
        h->crtc_set = true;
        h->shown = 0;
        h->fb.damage = FbRect{0, 0, 0, 0};
    }
    for (int i = 0; i < out->output.head_count; i++) {
        DrmHead *h = &out->heads[i];
        DrmBuffer *second = &h->buffers[1];
        // Both buffers must share one layout: the pages are copied byte for byte.
        if (!make_buffer(out->fd, h, second) || second->pitch != h->buffers[0].pitch ||
            second->size < h->buffers[0].size) {
            free_buffer(out->fd, second);
            fputs("Second DRM buffer not available, double buffering disabled\n", stderr);
            continue;
        }
        memcpy(second->map, h->buffers[0].map, (size_t)h->fb.stride * (size_t)h->fb.real_height);
        h->fb.draw_page = second->map;
        h->fb.double_buffered = true;
    }
    return true;
}

bool glimmer_drm_flip(Output *output, bool sync)
{
    DrmOutput *out = (DrmOutput *)output;
    if (out->output.head_count > 0 && out->heads[0].shown < 0)
        return first_show(out);

    bool flipped[GLIMMER_MAX_HEADS] = {};
    for (int i = 0; i < out->output.head_count; i++) {
        DrmHead *h = &out->heads[i];
        const FbRect d = h->fb.damage;
        if (!h->fb.double_buffered) {
            // Drawn straight into the shown buffer: some drivers (virtio-gpu)
            // show nothing of it until told what changed.
            if (d.x0 < d.x1) {
                drmModeClip clip = {(uint16_t)d.x0, (uint16_t)d.y0, (uint16_t)d.x1, (uint16_t)d.y1};
                (void)drmModeDirtyFB(out->fd, h->buffers[h->shown].fb_id, &clip, 1);
            }
            glimmer_fb_swap_pages(&h->fb, sync);
            continue;
        }
        const int next = 1 - h->shown;
        const uint32_t fb_id = h->buffers[next].fb_id;
        if (drmModePageFlip(out->fd, h->crtc_id, fb_id, DRM_MODE_PAGE_FLIP_EVENT, h) == 0) {
            h->flip_pending = true;
            flipped[i] = true;
        } else if (errno == EBUSY && set_crtc(out->fd, h, fb_id)) {
            // The card takes no flip now (one still in progress, or the CRTC
            // lost its framebuffer): setting the CRTC shows the page anyway.
            flipped[i] = true;
        } else {
            // Not shown: the drawing page stays, and so does its damage.
            fprintf(stderr, "glimmer_drm_flip: page flip failed: %s\n", strerror(errno));
        }
    }
    wait_flips(out);
    for (int i = 0; i < out->output.head_count; i++) {
        DrmHead *h = &out->heads[i];
        if (!flipped[i])
            continue;
        glimmer_fb_swap_pages(&h->fb, sync);
        h->shown = 1 - h->shown;
    }
    return true;
}

void glimmer_drm_close(Output *output)
{
    DrmOutput *out = (DrmOutput *)output;
    if (out->fd >= 0) {
        wait_flips(out);
        for (int i = 0; i < out->output.head_count; i++) {
            DrmHead *h = &out->heads[i];
            const drmModeCrtc *s = h->saved;
            if (h->crtc_set) {
                if (s && s->mode_valid && s->buffer_id)
                    (void)drmModeSetCrtc(out->fd, s->crtc_id, s->buffer_id, s->x, s->y,
                                         &h->connector_id, 1, (drmModeModeInfo *)&s->mode);
                else
                    (void)drmModeSetCrtc(out->fd, h->crtc_id, 0, 0, 0, nullptr, 0, nullptr);
            }
            for (DrmBuffer &b : h->buffers)
                free_buffer(out->fd, &b);
            drmModeFreeCrtc(h->saved);
        }
        if (out->master)
            (void)drmDropMaster(out->fd);
        close(out->fd);
    }
    free(out);
}
