/* Runs inside the test VM only: describes the DRM card as its driver answers
 * glimmer's requests, in the DRM emulation's configuration words, so that the
 * host can hold the emulation's models against the real kernels.
 *
 *   drmprobe [/dev/dri/card0]
 *
 * Prints "driver", "preferred_depth", "connector" (name, state, modes with the
 * preferred one starred, panel orientation), "plane" (type, CRTC mask,
 * formats), then "answer" lines: the dumb-buffer pitch and size of the first
 * mode, DirtyFB, the page-flip event, a flip after master was dropped and
 * taken again, and WAIT_VBLANK. */
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>
#include <xf86drm.h>
#include <xf86drmMode.h>

static const char *connection(drmModeConnection c)
{
    return c == DRM_MODE_CONNECTED ? "connected" : c == DRM_MODE_DISCONNECTED ? "disconnected" : "unknown";
}

static const char *error_name(int err)
{
    switch (err) {
    case 0: return "0";
    case EINVAL: return "EINVAL";
    case ENOSYS: return "ENOSYS";
    case EBUSY: return "EBUSY";
    case EACCES: return "EACCES";
    case EOPNOTSUPP: return "EOPNOTSUPP";
    case EPERM: return "EPERM";
    case ENOENT: return "ENOENT";
    default: return strerror(err);
    }
}

static void props(int fd, uint32_t id, uint32_t type, const char *indent)
{
    drmModeObjectProperties *p = drmModeObjectGetProperties(fd, id, type);
    for (uint32_t i = 0; p && i < p->count_props; i++) {
        drmModePropertyRes *r = drmModeGetProperty(fd, p->props[i]);
        if (r && (strcmp(r->name, "panel orientation") == 0 || strcmp(r->name, "type") == 0)) {
            const char *name = "?";
            for (int e = 0; e < r->count_enums; e++)
                if (r->enums[e].value == p->prop_values[i])
                    name = r->enums[e].name;
            printf("%s%s=%s\n", indent, r->name, name);
        }
        drmModeFreeProperty(r);
    }
    drmModeFreeObjectProperties(p);
}

static int flip_events;

static void on_flip(int fd, unsigned seq, unsigned sec, unsigned usec, void *data)
{
    (void)fd, (void)sec, (void)usec, (void)data;
    flip_events++;
    printf("answer flip_event sequence=%u\n", seq);
}

static void wait_event(int fd)
{
    drmEventContext ctx;
    memset(&ctx, 0, sizeof ctx);
    ctx.version = 2;
    ctx.page_flip_handler = on_flip;
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 1000) == 1)
        drmHandleEvent(fd, &ctx);
    else
        printf("answer flip_event none within 1 s\n");
}

int main(int argc, char **argv)
{
    const char *path = argc > 1 ? argv[1] : "/dev/dri/card0";
    int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        perror(path);
        return 1;
    }
    drmVersion *v = drmGetVersion(fd);
    printf("driver %s\n", v ? v->name : "?");
    uint64_t depth = 0, shadow = 0;
    drmGetCap(fd, DRM_CAP_DUMB_PREFERRED_DEPTH, &depth);
    drmGetCap(fd, DRM_CAP_DUMB_PREFER_SHADOW, &shadow);
    printf("preferred_depth %llu\nprefer_shadow %llu\n", (unsigned long long)depth,
           (unsigned long long)shadow);
    drmSetClientCap(fd, DRM_CLIENT_CAP_UNIVERSAL_PLANES, 1);
    drmModeRes *res = drmModeGetResources(fd);
    if (!res)
        return 1;
    printf("crtcs %d\n", res->count_crtcs);
    drmModeConnector *first = NULL;
    for (int i = 0; i < res->count_connectors; i++) {
        drmModeConnector *c = drmModeGetConnector(fd, res->connectors[i]);
        if (!c)
            continue;
        uint32_t crtcs = 0;
        for (int e = 0; e < c->count_encoders; e++) {
            drmModeEncoder *enc = drmModeGetEncoder(fd, c->encoders[e]);
            crtcs |= enc ? enc->possible_crtcs : 0;
            drmModeFreeEncoder(enc);
        }
        printf("connector %s-%u %s crtcs=%#x", drmModeGetConnectorTypeName(c->connector_type),
               c->connector_type_id, connection(c->connection), crtcs);
        for (int m = 0; m < c->count_modes && m < 8; m++)
            printf(" %ux%u%s", c->modes[m].hdisplay, c->modes[m].vdisplay,
                   (c->modes[m].type & DRM_MODE_TYPE_PREFERRED) ? "*" : "");
        printf(c->count_modes > 8 ? " (%d modes)\n" : "\n", c->count_modes);
        props(fd, c->connector_id, DRM_MODE_OBJECT_CONNECTOR, "  ");
        if (!first && c->connection == DRM_MODE_CONNECTED && c->count_modes)
            first = c;
        else
            drmModeFreeConnector(c);
    }
    drmModePlaneRes *pr = drmModeGetPlaneResources(fd);
    for (uint32_t i = 0; pr && i < pr->count_planes; i++) {
        drmModePlane *p = drmModeGetPlane(fd, pr->planes[i]);
        printf("plane crtcs=%#x", p->possible_crtcs);
        for (uint32_t f = 0; f < p->count_formats; f++)
            printf(" %.4s", (const char *)&p->formats[f]);
        printf("\n");
        props(fd, p->plane_id, DRM_MODE_OBJECT_PLANE, "  ");
        drmModeFreePlane(p);
    }
    if (!first)
        return 0;

    /* Answers to the requests glimmer makes, on the first connected head. */
    drmModeModeInfo mode = first->modes[0];
    for (int m = 0; m < first->count_modes; m++)
        if (first->modes[m].type & DRM_MODE_TYPE_PREFERRED) {
            mode = first->modes[m];
            break;
        }
    drmModeEncoder *enc = drmModeGetEncoder(fd, first->encoders[0]);
    int c = 0;
    while (!(enc->possible_crtcs & (1u << c)))
        c++;
    uint32_t crtc = res->crtcs[c], conn = first->connector_id;
    uint32_t fb[2], handle[2];
    for (int b = 0; b < 2; b++) {
        struct drm_mode_create_dumb cd = {.width = mode.hdisplay, .height = mode.vdisplay, .bpp = 32};
        if (drmIoctl(fd, DRM_IOCTL_MODE_CREATE_DUMB, &cd) != 0)
            return 1;
        handle[b] = cd.handle;
        if (b == 0)
            printf("answer dumb %ux%u bpp 32: pitch %u size %llu\n", mode.hdisplay, mode.vdisplay,
                   cd.pitch, (unsigned long long)cd.size);
        uint32_t h[4] = {cd.handle}, pitch[4] = {cd.pitch}, off[4] = {0};
        if (drmModeAddFB2(fd, mode.hdisplay, mode.vdisplay, 0x34325258 /* XR24 */, h, pitch, off,
                          &fb[b], 0) != 0)
            return 1;
        if (b == 0) {
            uint32_t fb16;
            int r = drmModeAddFB2(fd, mode.hdisplay, mode.vdisplay, 0x36314752 /* RG16 */, h, pitch,
                                  off, &fb16, 0);
            printf("answer addfb2_rgb565_on_32bpp_buffer %s\n", r ? error_name(errno) : "0");
            if (!r)
                drmModeRmFB(fd, fb16);
        }
    }
    int r = drmModeSetCrtc(fd, crtc, fb[0], 0, 0, &conn, 1, &mode);
    printf("answer setcrtc %s\n", r ? error_name(errno) : "0");
    drmModeClip clip = {0, 0, 16, 16};
    r = drmModeDirtyFB(fd, fb[0], &clip, 1);
    printf("answer dirtyfb %s\n", r ? error_name(-r) : "0");
    r = drmModePageFlip(fd, crtc, fb[1], DRM_MODE_PAGE_FLIP_EVENT, NULL);
    printf("answer page_flip %s\n", r ? error_name(errno) : "0");
    if (!r)
        wait_event(fd);
    r = drmModePageFlip(fd, crtc, fb[0], DRM_MODE_PAGE_FLIP_EVENT, NULL);
    if (!r) {
        r = drmModePageFlip(fd, crtc, fb[1], DRM_MODE_PAGE_FLIP_EVENT, NULL);
        printf("answer page_flip_while_pending %s\n", r ? error_name(errno) : "0");
        wait_event(fd);
        if (!r)
            wait_event(fd);
    }
    drmVBlank vb;
    memset(&vb, 0, sizeof vb);
    vb.request.type = DRM_VBLANK_RELATIVE;
    vb.request.sequence = 1;
    r = drmWaitVBlank(fd, &vb);
    printf("answer wait_vblank %s\n", r ? error_name(errno) : "0");

    /* A second opener is not master. */
    int other = open(path, O_RDWR | O_CLOEXEC);
    r = drmSetMaster(other);
    printf("answer second_open_set_master %s\n", r ? error_name(errno) : "0");
    r = drmModeSetCrtc(other, crtc, fb[0], 0, 0, &conn, 1, &mode);
    printf("answer second_open_setcrtc %s\n", r ? error_name(errno) : "0");
    close(other);

    /* Master dropped and taken again: flips until SetCrtc. */
    r = drmDropMaster(fd);
    printf("answer drop_master %s\n", r ? error_name(errno) : "0");
    r = drmModePageFlip(fd, crtc, fb[0], DRM_MODE_PAGE_FLIP_EVENT, NULL);
    printf("answer page_flip_without_master %s\n", r ? error_name(errno) : "0");
    r = drmSetMaster(fd);
    printf("answer set_master_again %s\n", r ? error_name(errno) : "0");
    int saved = errno;
    int is_master = drmIsMaster(fd);
    printf("answer is_master %d errno_after %s (before %s)\n", is_master, error_name(errno),
           error_name(saved));
    r = drmModePageFlip(fd, crtc, fb[0], DRM_MODE_PAGE_FLIP_EVENT, NULL);
    printf("answer page_flip_after_regain %s\n", r ? error_name(errno) : "0");
    if (!r)
        wait_event(fd);
    r = drmModeSetCrtc(fd, crtc, fb[0], 0, 0, &conn, 1, &mode);
    r = drmModePageFlip(fd, crtc, fb[1], DRM_MODE_PAGE_FLIP_EVENT, NULL);
    printf("answer page_flip_after_setcrtc %s\n", r ? error_name(errno) : "0");
    if (!r)
        wait_event(fd);

    /* Master taken by another opener, which sets the CRTC, and then given back. */
    r = drmDropMaster(fd);
    other = open(path, O_RDWR | O_CLOEXEC);
    r = drmSetMaster(other);
    printf("answer other_takes_master %s\n", r ? error_name(errno) : "0");
    r = drmModeSetCrtc(other, crtc, fb[1], 0, 0, &conn, 1, &mode);
    printf("answer other_setcrtc_with_our_fb %s\n", r ? error_name(errno) : "0");
    drmDropMaster(other);
    r = drmSetMaster(fd);
    printf("answer set_master_after_other %s\n", r ? error_name(errno) : "0");
    r = drmModePageFlip(fd, crtc, fb[0], DRM_MODE_PAGE_FLIP_EVENT, NULL);
    printf("answer page_flip_after_other_master %s\n", r ? error_name(errno) : "0");
    if (!r)
        wait_event(fd);
    close(other);

    /* Freeing what is still shown. */
    r = drmModeRmFB(fd, fb[1]);
    printf("answer rmfb_shown %s\n", r ? error_name(errno) : "0");
    drmModeCrtc *after = drmModeGetCrtc(fd, crtc);
    printf("answer crtc_after_rmfb_shown fb=%u mode_valid=%d\n", after ? after->buffer_id : 0,
           after ? after->mode_valid : -1);
    drmModeRmFB(fd, fb[0]);
    for (int b = 0; b < 2; b++) {
        struct drm_mode_destroy_dumb dd = {.handle = handle[b]};
        drmIoctl(fd, DRM_IOCTL_MODE_DESTROY_DUMB, &dd);
    }
    return 0;
}
