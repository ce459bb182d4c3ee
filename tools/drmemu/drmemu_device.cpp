// The emulated DRM driver: configuration, state file, and the answers to the
// requests of a legacy (non-atomic) KMS client, with the kernel's checks and
// error numbers.
#include "drmemu_device.h"
#include "../common/config_words.h"
#include "../common/errno_names.h"

#include <drm_fourcc.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// ---- names ---------------------------------------------------------------

struct RequestName {
    const char *name;
    unsigned long code;
};

static const RequestName REQUESTS[DRMEMU_REQUEST_COUNT] = {
    {"open", 0},
    {"mmap", 0},
    {"VERSION", DRM_IOCTL_VERSION},
    {"GET_CAP", DRM_IOCTL_GET_CAP},
    {"SET_CLIENT_CAP", DRM_IOCTL_SET_CLIENT_CAP},
    {"AUTH_MAGIC", DRM_IOCTL_AUTH_MAGIC},
    {"SET_MASTER", DRM_IOCTL_SET_MASTER},
    {"DROP_MASTER", DRM_IOCTL_DROP_MASTER},
    {"WAIT_VBLANK", DRM_IOCTL_WAIT_VBLANK},
    {"MODE_GETRESOURCES", DRM_IOCTL_MODE_GETRESOURCES},
    {"MODE_GETCRTC", DRM_IOCTL_MODE_GETCRTC},
    {"MODE_SETCRTC", DRM_IOCTL_MODE_SETCRTC},
    {"MODE_GETENCODER", DRM_IOCTL_MODE_GETENCODER},
    {"MODE_GETCONNECTOR", DRM_IOCTL_MODE_GETCONNECTOR},
    {"MODE_GETPROPERTY", DRM_IOCTL_MODE_GETPROPERTY},
    {"MODE_ADDFB", DRM_IOCTL_MODE_ADDFB},
    {"MODE_RMFB", DRM_IOCTL_MODE_RMFB},
    {"MODE_PAGE_FLIP", DRM_IOCTL_MODE_PAGE_FLIP},
    {"MODE_DIRTYFB", DRM_IOCTL_MODE_DIRTYFB},
    {"MODE_CREATE_DUMB", DRM_IOCTL_MODE_CREATE_DUMB},
    {"MODE_MAP_DUMB", DRM_IOCTL_MODE_MAP_DUMB},
    {"MODE_DESTROY_DUMB", DRM_IOCTL_MODE_DESTROY_DUMB},
    {"MODE_GETPLANERESOURCES", DRM_IOCTL_MODE_GETPLANERESOURCES},
    {"MODE_GETPLANE", DRM_IOCTL_MODE_GETPLANE},
    {"MODE_ADDFB2", DRM_IOCTL_MODE_ADDFB2},
    {"MODE_OBJ_GETPROPERTIES", DRM_IOCTL_MODE_OBJ_GETPROPERTIES},
};

const char *drmemu_request_name(int request)
{
    return request >= 0 && request < DRMEMU_REQUEST_COUNT ? REQUESTS[request].name : nullptr;
}

int drmemu_request_from_name(const char *name)
{
    if (strncmp(name, "DRM_IOCTL_", 10) == 0)
        name += 10;
    for (int i = 0; i < DRMEMU_REQUEST_COUNT; i++)
        if (strcmp(name, REQUESTS[i].name) == 0)
            return i;
    return -1;
}

int drmemu_request_from_code(unsigned long code)
{
    for (int i = DRMEMU_VERSION; i < DRMEMU_REQUEST_COUNT; i++)
        if (REQUESTS[i].code == code)
            return i;
    return -1;
}

static const ErrnoName ERRNO_NAMES[] = {
    {EPERM, "EPERM"},   {ENOENT, "ENOENT"}, {EINTR, "EINTR"},         {EIO, "EIO"},
    {ENXIO, "ENXIO"},   {EBADF, "EBADF"},   {EAGAIN, "EAGAIN"},       {ENOMEM, "ENOMEM"},
    {EACCES, "EACCES"}, {EFAULT, "EFAULT"}, {EBUSY, "EBUSY"},         {ENODEV, "ENODEV"},
    {EINVAL, "EINVAL"}, {ENOTTY, "ENOTTY"}, {ENOSPC, "ENOSPC"},       {ENOSYS, "ENOSYS"},
    {EMFILE, "EMFILE"}, {ERANGE, "ERANGE"}, {ETIMEDOUT, "ETIMEDOUT"}, {EOPNOTSUPP, "EOPNOTSUPP"},
};

const char *drmemu_errno_name(int err, char *buf, size_t len)
{
    return errno_name_in(ERRNO_NAMES, err, buf, len);
}

int drmemu_errno_from_name(const char *name)
{
    return errno_from_name_in(ERRNO_NAMES, name);
}

uint32_t drmemu_format_cpp(uint32_t format)
{
    switch (format) {
    case DRM_FORMAT_XRGB8888:
    case DRM_FORMAT_ARGB8888:
    case DRM_FORMAT_BGRX8888:
        return 4;
    case DRM_FORMAT_RGB888:
        return 3;
    case DRM_FORMAT_RGB565:
        return 2;
    default:
        return 0;
    }
}

// "XR24" and back: the four characters of a fourcc code.
static uint32_t fourcc_from_text(const char *text)
{
    if (strlen(text) != 4)
        return 0;
    const uint32_t f = fourcc_code(text[0], text[1], text[2], text[3]);
    return drmemu_format_cpp(f) ? f : 0;
}

static void fourcc_text(uint32_t f, char out[5])
{
    for (int i = 0; i < 4; i++) {
        const char c = (char)(f >> (8 * i));
        out[i] = c > ' ' && c < 127 ? c : '?';
    }
    out[4] = '\0';
}

// ---- configuration -------------------------------------------------------

enum { STATE_MAGIC = 0x454d5244 }; // "DRME"

struct ConnectorKind {
    const char *name;
    uint32_t type;
};

static const ConnectorKind CONNECTOR_KINDS[] = {
    {"VGA", DRM_MODE_CONNECTOR_VGA},         {"DVI-I", DRM_MODE_CONNECTOR_DVII},
    {"LVDS", DRM_MODE_CONNECTOR_LVDS},       {"DP", DRM_MODE_CONNECTOR_DisplayPort},
    {"HDMI-A", DRM_MODE_CONNECTOR_HDMIA},    {"eDP", DRM_MODE_CONNECTOR_eDP},
    {"Virtual", DRM_MODE_CONNECTOR_VIRTUAL}, {"DSI", DRM_MODE_CONNECTOR_DSI},
};

static uint32_t encoder_type(uint32_t connector_type)
{
    switch (connector_type) {
    case DRM_MODE_CONNECTOR_VGA:
        return DRM_MODE_ENCODER_DAC;
    case DRM_MODE_CONNECTOR_LVDS:
        return DRM_MODE_ENCODER_LVDS;
    case DRM_MODE_CONNECTOR_VIRTUAL:
        return DRM_MODE_ENCODER_VIRTUAL;
    case DRM_MODE_CONNECTOR_DSI:
        return DRM_MODE_ENCODER_DSI;
    default:
        return DRM_MODE_ENCODER_TMDS;
    }
}

static const char *const ORIENTATION_KEYS[] = {"normal", "upside_down", "left_side_up",
                                               "right_side_up"};

// "1280x800", "1280x800@75", either with a '*' after it for the preferred mode.
static bool parse_mode(const char *text, DrmemuMode *m)
{
    unsigned w = 0, h = 0, r = 60;
    int used = 0;
    if (sscanf(text, "%ux%u%n", &w, &h, &used) != 2)
        return false;
    const char *p = text + used;
    if (*p == '@') {
        int more = 0;
        if (sscanf(p, "@%u%n", &r, &more) != 1)
            return false;
        p += more;
    }
    m->preferred = *p == '*';
    if (*p == '*')
        p++;
    if (*p || w == 0 || h == 0 || w > 8192 || h > 8192 || r == 0 || r > 240)
        return false;
    m->width = w;
    m->height = h;
    m->refresh = r;
    return true;
}

static bool parse_connector(DrmemuDevice *d, char **w, int n)
{
    if (n < 3 || d->connector_count == DRMEMU_MAX_CONNECTORS || strlen(w[1]) >= 32)
        return false;
    DrmemuConnector *c = &d->connectors[d->connector_count];
    memset(c, 0, sizeof *c);
    strcpy(c->name, w[1]);
    const char *dash = strrchr(w[1], '-');
    if (!dash || !config_number(dash + 1, &c->type_id))
        return false;
    for (const ConnectorKind &k : CONNECTOR_KINDS)
        if (strlen(k.name) == (size_t)(dash - w[1]) && strncmp(k.name, w[1], strlen(k.name)) == 0)
            c->type = k.type;
    if (!c->type)
        return false;
    if (strcmp(w[2], "connected") == 0)
        c->connected = 1;
    else if (strcmp(w[2], "disconnected") != 0)
        return false;
    c->possible_crtcs = 0; // all, once the CRTCs are known
    for (int i = 3; i < n; i++) {
        if (strncmp(w[i], "orientation=", 12) == 0) {
            bool known = false;
            for (uint32_t o = 0; o < 4; o++)
                if (strcmp(w[i] + 12, ORIENTATION_KEYS[o]) == 0) {
                    c->orientation = o + 1;
                    known = true;
                }
            if (!known)
                return false;
        } else if (strncmp(w[i], "crtcs=", 6) == 0) {
            if (!config_number(w[i] + 6, &c->possible_crtcs) || !c->possible_crtcs)
                return false;
        } else if (c->mode_count == DRMEMU_MAX_MODES ||
                   !parse_mode(w[i], &c->modes[c->mode_count++])) {
            return false;
        }
    }
    d->connector_count++;
    return true;
}

static bool parse_plane(DrmemuDevice *d, char **w, int n)
{
    if (n < 3 || d->plane_count == DRMEMU_MAX_PLANES)
        return false;
    DrmemuPlane *p = &d->planes[d->plane_count];
    memset(p, 0, sizeof *p);
    const char *const types[] = {"overlay", "primary", "cursor"}; // DRMEMU_PLANE_* order
    p->type = 3;
    for (uint32_t t = 0; t < 3; t++)
        if (strcmp(w[1], types[t]) == 0)
            p->type = t;
    if (p->type == 3)
        return false;
    for (int i = 2; i < n; i++) {
        if (strncmp(w[i], "crtcs=", 6) == 0) {
            if (!config_number(w[i] + 6, &p->possible_crtcs) || !p->possible_crtcs)
                return false;
            continue;
        }
        const uint32_t f = fourcc_from_text(w[i]);
        if (!f || p->format_count == DRMEMU_MAX_FORMATS)
            return false;
        p->formats[p->format_count++] = f;
    }
    d->plane_count++;
    return p->format_count > 0;
}

static bool add_refusal(DrmemuDevice *d, const char *request, uint32_t nth, const char *err)
{
    const int r = drmemu_request_from_name(request);
    const int e = drmemu_errno_from_name(err);
    if (r < 0 || e <= 0 || d->refusal_count == DRMEMU_MAX_REFUSALS)
        return false;
    d->refusals[d->refusal_count++] = {(uint32_t)r, nth, e};
    return true;
}

static bool parse_line(DrmemuDevice *d, char **w, int n)
{
    const char *key = w[0];
    uint32_t v = 0;
    if (strcmp(key, "driver") == 0 && n == 2 && strlen(w[1]) < sizeof d->driver) {
        strcpy(d->driver, w[1]);
        return true;
    }
    if (strcmp(key, "preferred_depth") == 0)
        return n == 2 && config_number(w[1], &d->preferred_depth);
    if (strcmp(key, "prefer_shadow") == 0)
        return n == 2 && config_number(w[1], &d->prefer_shadow) && d->prefer_shadow <= 1;
    if (strcmp(key, "dirty") == 0 && n == 2) {
        const char *const kinds[] = {"none", "supported", "required"};
        for (uint32_t k = 0; k < 3; k++)
            if (strcmp(w[1], kinds[k]) == 0) {
                d->dirty = k;
                return true;
            }
        return false;
    }
    if (strcmp(key, "vblank") == 0)
        return n == 2 && config_number(w[1], &d->vblank) && d->vblank <= 1;
    if (strcmp(key, "unknown_format") == 0 && n == 2) {
        d->unknown_format = drmemu_errno_from_name(w[1]);
        return d->unknown_format > 0;
    }
    if (strcmp(key, "crtcs") == 0)
        return n == 2 && config_number(w[1], &d->crtc_count) && d->crtc_count >= 1 &&
               d->crtc_count <= DRMEMU_MAX_CRTCS;
    if (strcmp(key, "connector") == 0)
        return parse_connector(d, w, n);
    if (strcmp(key, "plane") == 0)
        return parse_plane(d, w, n);
    if (strcmp(key, "refuse") == 0) // refuse REQUEST ERRNO
        return n == 3 && add_refusal(d, w[1], 0, w[2]);
    if (strcmp(key, "refuse_nth") == 0) // refuse_nth REQUEST N ERRNO
        return n == 4 && config_number(w[2], &v) && v > 0 && add_refusal(d, w[1], v, w[3]);
    return false;
}

// Fills in what the configuration left out and checks that it hangs together.
static bool complete(DrmemuDevice *d, char *err, size_t err_len)
{
    if (!d->connector_count) {
        char line[] = "connector Virtual-1 connected 1024x768*";
        char *w[CONFIG_MAX_WORDS];
        const int n = config_split_words(line, w, CONFIG_MAX_WORDS);
        (void)parse_connector(d, w, n);
    }
    if (!d->crtc_count)
        d->crtc_count = d->connector_count;
    const uint32_t all = (1u << d->crtc_count) - 1;
    if (!d->plane_count) {
        for (uint32_t k = 0; k < d->crtc_count; k++)
            d->planes[k] = {DRMEMU_PLANE_PRIMARY, 1u << k, 1, {DRM_FORMAT_XRGB8888}};
        d->plane_count = d->crtc_count;
    }
    uint32_t primaries = 0;
    for (uint32_t p = 0; p < d->plane_count; p++) {
        DrmemuPlane *plane = &d->planes[p];
        if (plane->type != DRMEMU_PLANE_PRIMARY)
            continue;
        // The k-th primary plane is CRTC k's.
        if (!plane->possible_crtcs)
            plane->possible_crtcs = 1u << primaries;
        if (primaries >= d->crtc_count || !(plane->possible_crtcs >> primaries & 1)) {
            snprintf(err, err_len, "primary plane %u cannot drive CRTC %u", p, primaries);
            return false;
        }
        primaries++;
    }
    if (primaries != d->crtc_count) {
        snprintf(err, err_len, "%u CRTCs but %u primary planes", d->crtc_count, primaries);
        return false;
    }
    for (uint32_t p = 0; p < d->plane_count; p++)
        if (!d->planes[p].possible_crtcs)
            d->planes[p].possible_crtcs = all;
    for (uint32_t i = 0; i < d->connector_count; i++) {
        DrmemuConnector *c = &d->connectors[i];
        if (!c->possible_crtcs)
            c->possible_crtcs = all;
        if (c->possible_crtcs & ~all) {
            snprintf(err, err_len, "connector %s names a CRTC that does not exist", c->name);
            return false;
        }
    }
    return true;
}

bool drmemu_device_parse(DrmemuDevice *d, const char *text, char *err, size_t err_len)
{
    memset(d, 0, sizeof *d);
    d->magic = STATE_MAGIC;
    d->size = sizeof *d;
    strcpy(d->driver, "drmemu");
    d->preferred_depth = 24;
    d->unknown_format = EINVAL;
    d->next_open = d->next_handle = d->next_fb = 0;
    if (err_len)
        err[0] = '\0';

    if (!config_read_lines(text, err, err_len,
                           [d](char **w, int n) { return parse_line(d, w, n); }))
        return false;
    return complete(d, err, err_len);
}

// ---- files ---------------------------------------------------------------

bool drmemu_path(char *buf, size_t len, const char *dir, int n, const char *suffix)
{
    const int written =
        snprintf(buf, len, "%s/card%d%s%s", dir, n, suffix[0] == '-' ? "" : ".", suffix);
    return written > 0 && (size_t)written < len;
}

// Reads a whole file of at most len bytes; returns its length or -1.
static ssize_t read_file(const char *path, void *buf, size_t len)
{
    const int fd = openat(AT_FDCWD, path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    size_t used = 0;
    for (;;) {
        const ssize_t got = read(fd, (char *)buf + used, len - used);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            close(fd);
            return got < 0 ? -1 : (ssize_t)used;
        }
        used += (size_t)got;
        if (used == len) {
            char extra;
            const ssize_t more = read(fd, &extra, 1);
            close(fd);
            return more == 0 ? (ssize_t)used : -1;
        }
    }
}

enum { CONF_SIZE = 8192 };

bool drmemu_device_load(const char *dir, int n, DrmemuDevice *d)
{
    char path[4096], text[CONF_SIZE], err[128];
    if (n < 0 || n >= DRMEMU_MAX_CARDS)
        return false;
    if (drmemu_path(path, sizeof path, dir, n, "state") &&
        read_file(path, d, sizeof *d) == (ssize_t)sizeof *d && d->magic == STATE_MAGIC &&
        d->size == sizeof *d)
        return true;
    if (!drmemu_path(path, sizeof path, dir, n, "conf"))
        return false;
    const ssize_t len = read_file(path, text, sizeof text - 1);
    if (len < 0)
        return false;
    text[len] = '\0';
    return drmemu_device_parse(d, text, err, sizeof err);
}

bool drmemu_device_save(const char *dir, int n, const DrmemuDevice *d)
{
    char path[4096], aside[4200];
    if (!drmemu_path(path, sizeof path, dir, n, "state"))
        return false;
    snprintf(aside, sizeof aside, "%s.%d", path, (int)getpid());
    const int fd = openat(AT_FDCWD, aside, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    bool ok = write(fd, d, sizeof *d) == (ssize_t)sizeof *d;
    ok = close(fd) == 0 && ok;
    if (ok && rename(aside, path) == 0)
        return true;
    unlink(aside);
    return false;
}

static bool buffer_file(char *path, size_t len, const char *dir, int n, uint32_t handle)
{
    char suffix[32];
    snprintf(suffix, sizeof suffix, "-buf%" PRIu32, handle);
    return drmemu_path(path, len, dir, n, suffix);
}

static bool scan_file(char *path, size_t len, const char *dir, int n, uint32_t crtc)
{
    char suffix[32];
    snprintf(suffix, sizeof suffix, "-crtc%" PRIu32 ".scan", crtc);
    return drmemu_path(path, len, dir, n, suffix);
}

// ---- objects -------------------------------------------------------------

static DrmemuBuffer *find_buffer(DrmemuDevice *d, uint32_t open, uint32_t handle)
{
    for (DrmemuBuffer &b : d->buffers)
        if (b.handle && b.handle == handle && b.open == open && !b.released)
            return &b;
    return nullptr;
}

static DrmemuBuffer *buffer_of_fb(DrmemuDevice *d, const DrmemuFb *fb)
{
    for (DrmemuBuffer &b : d->buffers)
        if (b.handle && b.handle == fb->handle && b.open == fb->open)
            return &b;
    return nullptr;
}

static DrmemuFb *find_fb(DrmemuDevice *d, uint32_t id)
{
    for (DrmemuFb &f : d->fbs)
        if (f.id && f.id == id)
            return &f;
    return nullptr;
}

// Object ids are a kind's first id plus the object's index.
static int id_index(uint32_t id, uint32_t first, uint32_t count)
{
    return id >= first && id < first + count ? (int)(id - first) : -1;
}

static int crtc_index(const DrmemuDevice *d, uint32_t id)
{
    return id_index(id, DRMEMU_CRTC_ID, d->crtc_count);
}

static int connector_index(const DrmemuDevice *d, uint32_t id)
{
    return id_index(id, DRMEMU_CONNECTOR_ID, d->connector_count);
}

static int encoder_index(const DrmemuDevice *d, uint32_t id)
{
    return id_index(id, DRMEMU_ENCODER_ID, d->connector_count);
}

static int plane_index(const DrmemuDevice *d, uint32_t id)
{
    return id_index(id, DRMEMU_PLANE_ID, d->plane_count);
}

// The index of CRTC k's primary plane.
static int primary_plane(const DrmemuDevice *d, uint32_t k)
{
    uint32_t seen = 0;
    for (uint32_t p = 0; p < d->plane_count; p++)
        if (d->planes[p].type == DRMEMU_PLANE_PRIMARY && seen++ == k)
            return (int)p;
    return -1;
}

static bool plane_has_format(const DrmemuPlane *p, uint32_t format)
{
    for (uint32_t i = 0; i < p->format_count; i++)
        if (p->formats[i] == format)
            return true;
    return false;
}

// Frees a buffer once neither its handle nor a framebuffer holds it.
static void maybe_free_buffer(DrmemuDevice *d, const char *dir, int n, DrmemuBuffer *b)
{
    if (!b->released)
        return;
    for (const DrmemuFb &f : d->fbs)
        if (f.id && f.handle == b->handle && f.open == b->open)
            return;
    char path[4096];
    if (buffer_file(path, sizeof path, dir, n, b->handle))
        unlink(path);
    memset(b, 0, sizeof *b);
}

static void crtc_off(DrmemuDevice *d, uint32_t k)
{
    DrmemuCrtc *c = &d->crtcs[k];
    c->fb = 0;
    c->x = c->y = 0;
    memset(&c->mode, 0, sizeof c->mode);
    for (uint32_t i = 0; i < d->connector_count; i++)
        if (d->connectors[i].crtc == k + 1)
            d->connectors[i].crtc = 0;
}

// Removes a framebuffer; a CRTC that shows it goes dark, as in the kernel.
static void remove_fb(DrmemuDevice *d, const char *dir, int n, DrmemuFb *f)
{
    for (uint32_t k = 0; k < d->crtc_count; k++)
        if (d->crtcs[k].fb == f->id)
            crtc_off(d, k);
    DrmemuBuffer *b = buffer_of_fb(d, f);
    memset(f, 0, sizeof *f);
    if (b)
        maybe_free_buffer(d, dir, n, b);
}

// Copies rows [y1, y2), bytes of columns [x1, x2) of a framebuffer from its
// buffer into what CRTC k scans out.
static void scan_copy(const char *dir, int n, uint32_t k, const DrmemuFb *f, uint32_t x1,
                      uint32_t y1, uint32_t x2, uint32_t y2)
{
    char from_path[4096], to_path[4096];
    if (!buffer_file(from_path, sizeof from_path, dir, n, f->handle) ||
        !scan_file(to_path, sizeof to_path, dir, n, k))
        return;
    const int from = openat(AT_FDCWD, from_path, O_RDONLY | O_CLOEXEC);
    const int to = openat(AT_FDCWD, to_path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    const uint32_t cpp = drmemu_format_cpp(f->format);
    x2 = x2 < f->width ? x2 : f->width;
    y2 = y2 < f->height ? y2 : f->height;
    static char row[8192 * 4];
    for (uint32_t y = y1; from >= 0 && to >= 0 && x1 < x2 && y < y2; y++) {
        const off_t at = (off_t)f->offset + (off_t)y * f->pitch + (off_t)x1 * cpp;
        const size_t len = (size_t)(x2 - x1) * cpp;
        if (pread(from, row, len, at) != (ssize_t)len || pwrite(to, row, len, at) != (ssize_t)len)
            break;
    }
    if (from >= 0)
        close(from);
    if (to >= 0)
        close(to);
}

// What CRTC k scans out is refreshed from its framebuffer (SETCRTC, flips).
static void scan_all(const DrmemuDevice *d, const char *dir, int n, uint32_t k, const DrmemuFb *f)
{
    if (d->dirty == DRMEMU_DIRTY_REQUIRED)
        scan_copy(dir, n, k, f, 0, 0, f->width, f->height);
}

bool drmemu_device_open(DrmemuDevice *d, uint32_t pid, uint32_t *open)
{
    for (DrmemuOpen &o : d->opens) {
        if (o.id)
            continue;
        o.id = ++d->next_open;
        o.pid = pid;
        if (!d->master)
            d->master = o.id;
        *open = o.id;
        return true;
    }
    return false;
}

void drmemu_device_close(DrmemuDevice *d, const char *dir, int n, uint32_t open)
{
    for (DrmemuFb &f : d->fbs)
        if (f.id && f.open == open)
            remove_fb(d, dir, n, &f);
    for (DrmemuBuffer &b : d->buffers)
        if (b.handle && b.open == open) {
            b.released = 1;
            maybe_free_buffer(d, dir, n, &b);
        }
    for (uint32_t k = 0; k < d->crtc_count; k++)
        if (d->crtcs[k].pending_open == open)
            d->crtcs[k].pending_open = 0;
    if (d->master == open)
        d->master = 0;
    for (DrmemuOpen &o : d->opens)
        if (o.id == open)
            memset(&o, 0, sizeof o);
    d->closes++;
}

const DrmemuBuffer *drmemu_device_mapped(const DrmemuDevice *d, uint32_t open, uint64_t offset)
{
    if (offset & (((uint64_t)1 << DRMEMU_MAP_SHIFT) - 1))
        return nullptr;
    return find_buffer(const_cast<DrmemuDevice *>(d), open, (uint32_t)(offset >> DRMEMU_MAP_SHIFT));
}

int drmemu_device_refusal(DrmemuDevice *d, int request)
{
    const uint32_t call = ++d->calls[request];
    for (uint32_t i = 0; i < d->refusal_count; i++) {
        const DrmemuRefusal &r = d->refusals[i];
        if ((int)r.request == request && (r.nth == 0 || r.nth == call))
            return r.err;
    }
    return 0;
}

// ---- the driver ----------------------------------------------------------

struct Text {
    char *buf;
    size_t len, used;
};

__attribute__((format(printf, 2, 3))) static void add(Text *t, const char *format, ...)
{
    if (t->used >= t->len)
        return;
    va_list ap;
    va_start(ap, format);
    const int n = vsnprintf(t->buf + t->used, t->len - t->used, format, ap);
    va_end(ap);
    if (n > 0)
        t->used = t->used + (size_t)n < t->len ? t->used + (size_t)n : t->len - 1;
}

template <class T> static T *user(uint64_t pointer)
{
    return (T *)(uintptr_t)pointer;
}

// Copies as many ids as the caller has room for, as the kernel does.
static bool put_ids(uint64_t to, uint32_t room, const uint32_t *ids, uint32_t count)
{
    const uint32_t copy = room < count ? room : count;
    if (!copy)
        return true;
    if (!to)
        return false;
    memcpy(user<uint32_t>(to), ids, copy * sizeof *ids);
    return true;
}

static DrmemuAnswer ok()
{
    return {0, 0, false, 0, 0};
}

static DrmemuAnswer fail(int err)
{
    return {-1, err, false, 0, 0};
}

static void fill_mode(const DrmemuMode &m, struct drm_mode_modeinfo *out)
{
    memset(out, 0, sizeof *out);
    // Reduced blanking; the numbers only need to be consistent.
    out->hdisplay = (uint16_t)m.width;
    out->hsync_start = (uint16_t)(m.width + 48);
    out->hsync_end = (uint16_t)(m.width + 80);
    out->htotal = (uint16_t)(m.width + 160);
    out->vdisplay = (uint16_t)m.height;
    out->vsync_start = (uint16_t)(m.height + 3);
    out->vsync_end = (uint16_t)(m.height + 9);
    out->vtotal = (uint16_t)(m.height + 23);
    out->clock = (uint32_t)((uint64_t)out->htotal * out->vtotal * m.refresh / 1000);
    out->vrefresh = m.refresh;
    out->flags = DRM_MODE_FLAG_PHSYNC | DRM_MODE_FLAG_NVSYNC;
    out->type = DRM_MODE_TYPE_DRIVER | (m.preferred ? DRM_MODE_TYPE_PREFERRED : 0);
    snprintf(out->name, sizeof out->name, "%" PRIu32 "x%" PRIu32, m.width, m.height);
}

struct EnumValue {
    uint64_t value;
    const char *name;
};

struct Property {
    uint32_t id;
    const char *name;
    uint32_t flags;
    EnumValue values[4];
    uint32_t count;
};

static const Property PROPERTIES[] = {
    {DRMEMU_PROP_TYPE,
     "type",
     DRM_MODE_PROP_ENUM | DRM_MODE_PROP_IMMUTABLE,
     {{DRMEMU_PLANE_OVERLAY, "Overlay"},
      {DRMEMU_PLANE_PRIMARY, "Primary"},
      {DRMEMU_PLANE_CURSOR, "Cursor"}},
     3},
    {DRMEMU_PROP_ORIENTATION,
     "panel orientation",
     DRM_MODE_PROP_ENUM | DRM_MODE_PROP_IMMUTABLE,
     {{0, "Normal"}, {1, "Upside Down"}, {2, "Left Side Up"}, {3, "Right Side Up"}},
     4},
    {DRMEMU_PROP_DPMS,
     "DPMS",
     DRM_MODE_PROP_ENUM,
     {{0, "On"}, {1, "Standby"}, {2, "Suspend"}, {3, "Off"}},
     4},
};

static DrmemuAnswer get_version(DrmemuDevice *d, struct drm_version *v, Text *t)
{
    struct Field {
        const char *value;
        __kernel_size_t *len;
        char *buf;
    };
    const Field fields[] = {{d->driver, &v->name_len, v->name},
                            {"20260101", &v->date_len, v->date},
                            {"emulated DRM device", &v->desc_len, v->desc}};
    for (const Field &f : fields) {
        const size_t len = strlen(f.value);
        const size_t copy = len < *f.len ? len : *f.len;
        if (copy && !f.buf)
            return fail(EFAULT);
        if (copy)
            memcpy(f.buf, f.value, copy);
        *f.len = len;
    }
    v->version_major = 1;
    v->version_minor = 0;
    v->version_patchlevel = 0;
    add(t, " name=%s", d->driver);
    return ok();
}

static DrmemuAnswer get_cap(DrmemuDevice *d, struct drm_get_cap *cap, Text *t)
{
    add(t, " capability=%#" PRIx64, (uint64_t)cap->capability);
    struct Cap {
        uint64_t cap, value;
    };
    const Cap caps[] = {
        {DRM_CAP_DUMB_BUFFER, 1},
        {DRM_CAP_VBLANK_HIGH_CRTC, 1},
        {DRM_CAP_DUMB_PREFERRED_DEPTH, d->preferred_depth},
        {DRM_CAP_DUMB_PREFER_SHADOW, d->prefer_shadow},
        {DRM_CAP_PRIME, 0},
        {DRM_CAP_TIMESTAMP_MONOTONIC, 1},
        {DRM_CAP_ASYNC_PAGE_FLIP, 0},
        {DRM_CAP_CURSOR_WIDTH, 64},
        {DRM_CAP_CURSOR_HEIGHT, 64},
        {DRM_CAP_ADDFB2_MODIFIERS, 0},
        {DRM_CAP_PAGE_FLIP_TARGET, 0},
        {DRM_CAP_CRTC_IN_VBLANK_EVENT, 1},
        {DRM_CAP_SYNCOBJ, 0},
        {DRM_CAP_SYNCOBJ_TIMELINE, 0},
    };
    for (const Cap &c : caps)
        if (c.cap == cap->capability) {
            cap->value = c.value;
            add(t, " value=%" PRIu64, (uint64_t)c.value);
            return ok();
        }
    return fail(EINVAL);
}

static DrmemuAnswer set_client_cap(DrmemuClient *c, struct drm_set_client_cap *cap, Text *t)
{
    add(t, " capability=%#" PRIx64 " value=%" PRIu64, (uint64_t)cap->capability,
        (uint64_t)cap->value);
    if (cap->value > 1)
        return fail(EINVAL);
    switch (cap->capability) {
    case DRM_CLIENT_CAP_UNIVERSAL_PLANES:
        c->universal = (uint32_t)cap->value;
        return ok();
    case DRM_CLIENT_CAP_STEREO_3D:
    case DRM_CLIENT_CAP_ASPECT_RATIO:
        return ok();
    case DRM_CLIENT_CAP_ATOMIC:
        return fail(EOPNOTSUPP); // a legacy driver's answer: no atomic commits here
    default:
        return fail(EINVAL);
    }
}

static DrmemuAnswer get_resources(DrmemuDevice *d, DrmemuClient *c, struct drm_mode_card_res *r,
                                  Text *t)
{
    uint32_t fbs[DRMEMU_MAX_FBS], crtcs[DRMEMU_MAX_CRTCS], connectors[DRMEMU_MAX_CONNECTORS],
        encoders[DRMEMU_MAX_CONNECTORS];
    uint32_t fb_count = 0;
    for (const DrmemuFb &f : d->fbs)
        if (f.id && f.open == c->open)
            fbs[fb_count++] = f.id;
    for (uint32_t k = 0; k < d->crtc_count; k++)
        crtcs[k] = DRMEMU_CRTC_ID + k;
    for (uint32_t i = 0; i < d->connector_count; i++) {
        connectors[i] = DRMEMU_CONNECTOR_ID + i;
        encoders[i] = DRMEMU_ENCODER_ID + i;
    }
    if (!put_ids(r->fb_id_ptr, r->count_fbs, fbs, fb_count) ||
        !put_ids(r->crtc_id_ptr, r->count_crtcs, crtcs, d->crtc_count) ||
        !put_ids(r->connector_id_ptr, r->count_connectors, connectors, d->connector_count) ||
        !put_ids(r->encoder_id_ptr, r->count_encoders, encoders, d->connector_count))
        return fail(EFAULT);
    r->count_fbs = fb_count;
    r->count_crtcs = d->crtc_count;
    r->count_connectors = r->count_encoders = d->connector_count;
    r->min_width = r->min_height = 1;
    r->max_width = r->max_height = 8192;
    add(t, " fbs=%u crtcs=%u connectors=%u", fb_count, d->crtc_count, d->connector_count);
    return ok();
}

static DrmemuAnswer get_crtc(DrmemuDevice *d, struct drm_mode_crtc *r, Text *t)
{
    add(t, " crtc_id=%u", r->crtc_id);
    const int k = crtc_index(d, r->crtc_id);
    if (k < 0)
        return fail(ENOENT);
    const DrmemuCrtc &c = d->crtcs[k];
    r->fb_id = c.fb;
    r->x = c.x;
    r->y = c.y;
    r->gamma_size = 256;
    r->mode_valid = c.fb != 0;
    r->mode = c.mode;
    add(t, " fb_id=%u mode_valid=%u", r->fb_id, r->mode_valid);
    return ok();
}

// The checks a framebuffer passes before a CRTC shows it at (x, y) in mode m.
static int check_viewport(const DrmemuFb *f, uint32_t x, uint32_t y,
                          const struct drm_mode_modeinfo *m)
{
    if ((uint64_t)x + m->hdisplay > f->width || (uint64_t)y + m->vdisplay > f->height)
        return ENOSPC;
    return 0;
}

static DrmemuAnswer set_crtc(DrmemuDevice *d, const char *dir, int n, struct drm_mode_crtc *r,
                             Text *t)
{
    add(t, " crtc_id=%u fb_id=%u x=%u y=%u", r->crtc_id, r->fb_id, r->x, r->y);
    if (r->mode_valid)
        add(t, " mode=%ux%u", r->mode.hdisplay, r->mode.vdisplay);
    const int k = crtc_index(d, r->crtc_id);
    if (k < 0)
        return fail(ENOENT);
    if (r->count_connectors > DRMEMU_MAX_CONNECTORS)
        return fail(EINVAL);
    uint32_t ids[DRMEMU_MAX_CONNECTORS];
    if (r->count_connectors && !r->set_connectors_ptr)
        return fail(EFAULT);
    if (r->count_connectors)
        memcpy(ids, user<uint32_t>(r->set_connectors_ptr), r->count_connectors * sizeof *ids);
    add(t, " connectors=");
    for (uint32_t i = 0; i < r->count_connectors; i++)
        add(t, "%s%u", i ? "," : "", ids[i]);
    if (!r->mode_valid) { // switching off: the kernel looks at no framebuffer then
        if (r->count_connectors)
            return fail(EINVAL);
        crtc_off(d, (uint32_t)k);
        return ok();
    }
    if (!r->count_connectors)
        return fail(EINVAL);
    const uint32_t fb_id = r->fb_id == UINT32_MAX ? d->crtcs[k].fb : r->fb_id;
    DrmemuFb *f = find_fb(d, fb_id);
    if (!f) // -1 keeps the CRTC's framebuffer, which it must have
        return fail(r->fb_id == UINT32_MAX ? EINVAL : ENOENT);
    if (!plane_has_format(&d->planes[primary_plane(d, (uint32_t)k)], f->format))
        return fail(EINVAL);
    if (const int err = check_viewport(f, r->x, r->y, &r->mode))
        return fail(err);
    for (uint32_t i = 0; i < r->count_connectors; i++) {
        const int c = connector_index(d, ids[i]);
        if (c < 0)
            return fail(ENOENT);
        if (!(d->connectors[c].possible_crtcs >> k & 1))
            return fail(EINVAL);
    }
    // Connectors leave the CRTCs that drove them; a CRTC left without any goes off.
    for (uint32_t i = 0; i < r->count_connectors; i++) {
        DrmemuConnector *c = &d->connectors[connector_index(d, ids[i])];
        const uint32_t old = c->crtc;
        c->crtc = 0;
        bool in_use = false;
        for (uint32_t j = 0; j < d->connector_count; j++)
            in_use = in_use || d->connectors[j].crtc == old;
        if (old && old != (uint32_t)k + 1 && !in_use)
            crtc_off(d, old - 1);
    }
    for (uint32_t i = 0; i < d->connector_count; i++)
        if (d->connectors[i].crtc == (uint32_t)k + 1)
            d->connectors[i].crtc = 0;
    for (uint32_t i = 0; i < r->count_connectors; i++)
        d->connectors[connector_index(d, ids[i])].crtc = (uint32_t)k + 1;
    DrmemuCrtc *c = &d->crtcs[k];
    c->fb = f->id;
    c->x = r->x;
    c->y = r->y;
    c->mode = r->mode;
    scan_all(d, dir, n, (uint32_t)k, f);
    return ok();
}

static DrmemuAnswer get_encoder(DrmemuDevice *d, struct drm_mode_get_encoder *r, Text *t)
{
    add(t, " encoder_id=%u", r->encoder_id);
    const int i = encoder_index(d, r->encoder_id);
    if (i < 0)
        return fail(ENOENT);
    const DrmemuConnector &c = d->connectors[i];
    r->encoder_type = encoder_type(c.type);
    r->crtc_id = c.crtc ? DRMEMU_CRTC_ID + c.crtc - 1 : 0;
    r->possible_crtcs = c.possible_crtcs;
    r->possible_clones = 0;
    add(t, " crtc_id=%u", r->crtc_id);
    return ok();
}

// The properties of an object and their values; false for objects without any.
static bool object_properties(const DrmemuDevice *d, uint32_t id, uint32_t *props, uint64_t *values,
                              uint32_t *count)
{
    *count = 0;
    const int connector = connector_index(d, id), plane = plane_index(d, id);
    if (connector >= 0) {
        props[*count] = DRMEMU_PROP_DPMS;
        values[(*count)++] = 0;
        if (d->connectors[connector].orientation != DRMEMU_ORIENTATION_NONE) {
            props[*count] = DRMEMU_PROP_ORIENTATION;
            values[(*count)++] = d->connectors[connector].orientation - 1;
        }
        return true;
    }
    if (plane >= 0) {
        props[*count] = DRMEMU_PROP_TYPE;
        values[(*count)++] = d->planes[plane].type;
        return true;
    }
    return crtc_index(d, id) >= 0;
}

static DrmemuAnswer get_connector(DrmemuDevice *d, struct drm_mode_get_connector *r, Text *t)
{
    add(t, " connector_id=%u", r->connector_id);
    const int i = connector_index(d, r->connector_id);
    if (i < 0)
        return fail(ENOENT);
    const DrmemuConnector &c = d->connectors[i];
    const uint32_t mode_count = c.connected ? c.mode_count : 0;
    if (r->count_modes >= mode_count && mode_count) {
        if (!r->modes_ptr)
            return fail(EFAULT);
        for (uint32_t m = 0; m < mode_count; m++)
            fill_mode(c.modes[m], user<struct drm_mode_modeinfo>(r->modes_ptr) + m);
    }
    uint32_t props[4], count;
    uint64_t values[4];
    (void)object_properties(d, r->connector_id, props, values, &count);
    const uint32_t copy = r->count_props < count ? r->count_props : count;
    if (copy && (!r->props_ptr || !r->prop_values_ptr))
        return fail(EFAULT);
    if (copy) {
        memcpy(user<uint32_t>(r->props_ptr), props, copy * sizeof *props);
        memcpy(user<uint64_t>(r->prop_values_ptr), values, copy * sizeof *values);
    }
    const uint32_t encoder = DRMEMU_ENCODER_ID + (uint32_t)i;
    if (r->count_encoders >= 1 && !put_ids(r->encoders_ptr, 1, &encoder, 1))
        return fail(EFAULT);
    r->count_modes = mode_count;
    r->count_props = count;
    r->count_encoders = 1;
    r->encoder_id = c.crtc ? encoder : 0;
    r->connector_type = c.type;
    r->connector_type_id = c.type_id;
    r->connection = c.connected ? 1 : 2; // DRM_MODE_CONNECTED, DRM_MODE_DISCONNECTED
    r->mm_width = r->mm_height = 0;
    r->subpixel = 1; // DRM_MODE_SUBPIXEL_UNKNOWN
    add(t, " connection=%u count_modes=%u", r->connection, mode_count);
    return ok();
}

static DrmemuAnswer get_property(struct drm_mode_get_property *r, Text *t)
{
    add(t, " prop_id=%u", r->prop_id);
    for (const Property &p : PROPERTIES) {
        if (p.id != r->prop_id)
            continue;
        // Values only when all fit, enum names as many as fit, like the kernel.
        const uint32_t enums = r->count_enum_blobs < p.count ? r->count_enum_blobs : p.count;
        if ((r->count_values >= p.count && !r->values_ptr) || (enums && !r->enum_blob_ptr))
            return fail(EFAULT);
        if (r->count_values >= p.count)
            for (uint32_t i = 0; i < p.count; i++)
                user<uint64_t>(r->values_ptr)[i] = p.values[i].value;
        for (uint32_t i = 0; i < enums; i++) {
            struct drm_mode_property_enum *e =
                user<struct drm_mode_property_enum>(r->enum_blob_ptr) + i;
            memset(e, 0, sizeof *e);
            e->value = p.values[i].value;
            snprintf(e->name, sizeof e->name, "%s", p.values[i].name);
        }
        memset(r->name, 0, sizeof r->name);
        snprintf(r->name, sizeof r->name, "%s", p.name);
        r->flags = p.flags;
        r->count_values = p.count;
        r->count_enum_blobs = p.count;
        return ok();
    }
    return fail(ENOENT);
}

static DrmemuAnswer add_fb(DrmemuDevice *d, DrmemuClient *c, uint32_t width, uint32_t height,
                           uint32_t format, uint32_t handle, uint32_t pitch, uint32_t offset,
                           uint32_t *fb_id)
{
    const uint32_t cpp = drmemu_format_cpp(format);
    bool offered = false;
    for (uint32_t p = 0; p < d->plane_count; p++)
        offered = offered || plane_has_format(&d->planes[p], format);
    if (!format) // a legacy bpp and depth without a format
        return fail(EINVAL);
    if (!offered) // the core's EINVAL, or the driver's own answer before the core looks
        return fail(d->unknown_format);
    if (!width || !height || width > 8192 || height > 8192)
        return fail(EINVAL);
    const DrmemuBuffer *b = find_buffer(d, c->open, handle);
    if (!b)
        return fail(ENOENT);
    if (pitch < width * cpp ||
        (uint64_t)offset + (uint64_t)pitch * (height - 1) + (uint64_t)width * cpp > b->size)
        return fail(EINVAL);
    for (DrmemuFb &f : d->fbs) {
        if (f.id)
            continue;
        f = {DRMEMU_FB_ID + ++d->next_fb, c->open, handle, width, height, pitch, offset, format};
        *fb_id = f.id;
        return ok();
    }
    return fail(ENOMEM);
}

static uint32_t legacy_format(uint32_t bpp, uint32_t depth)
{
    if (bpp == 32 && depth == 24)
        return DRM_FORMAT_XRGB8888;
    if (bpp == 32 && depth == 32)
        return DRM_FORMAT_ARGB8888;
    if (bpp == 24 && depth == 24)
        return DRM_FORMAT_RGB888;
    if (bpp == 16 && depth == 16)
        return DRM_FORMAT_RGB565;
    return 0;
}

static DrmemuAnswer page_flip(DrmemuDevice *d, const char *dir, int n, DrmemuClient *c,
                              struct drm_mode_crtc_page_flip *r, Text *t)
{
    add(t, " crtc_id=%u fb_id=%u flags=%#x user_data=%#" PRIx64, r->crtc_id, r->fb_id, r->flags,
        (uint64_t)r->user_data);
    if ((r->flags & ~(uint32_t)DRM_MODE_PAGE_FLIP_FLAGS) || r->reserved ||
        (r->flags & (DRM_MODE_PAGE_FLIP_ASYNC | DRM_MODE_PAGE_FLIP_TARGET)))
        return fail(EINVAL);
    const int k = crtc_index(d, r->crtc_id);
    if (k < 0)
        return fail(ENOENT);
    DrmemuCrtc *crtc = &d->crtcs[k];
    const DrmemuFb *old = find_fb(d, crtc->fb);
    if (!old) // the kernel's answer for a CRTC without a framebuffer
        return fail(EBUSY);
    const DrmemuFb *f = find_fb(d, r->fb_id);
    if (!f)
        return fail(ENOENT);
    if (const int err = check_viewport(f, crtc->x, crtc->y, &crtc->mode))
        return fail(err);
    if (f->format != old->format)
        return fail(EINVAL);
    // With vblank the previous flip is done at the next vertical blank; here,
    // once the program has read its event. Cards without vblank complete a
    // flip at once and take the next.
    if (d->vblank && crtc->pending_open == c->open && c->events_read < crtc->pending_event)
        return fail(EBUSY);
    crtc->pending_open = 0;
    crtc->fb = f->id;
    d->flips++;
    scan_all(d, dir, n, (uint32_t)k, f);
    DrmemuAnswer a = ok();
    if (r->flags & DRM_MODE_PAGE_FLIP_EVENT) {
        crtc->pending_open = c->open;
        crtc->pending_event = c->events_sent + 1;
        a.event = true;
        a.user_data = r->user_data;
        a.crtc_id = r->crtc_id;
    }
    return a;
}

static DrmemuAnswer dirty_fb(DrmemuDevice *d, const char *dir, int n,
                             struct drm_mode_fb_dirty_cmd *r, Text *t)
{
    add(t, " fb_id=%u clips=%u", r->fb_id, r->num_clips);
    const DrmemuFb *f = find_fb(d, r->fb_id);
    if (!f)
        return fail(ENOENT);
    if (!r->num_clips != !r->clips_ptr || r->num_clips > DRM_MODE_FB_DIRTY_MAX_CLIPS ||
        ((r->flags & DRM_MODE_FB_DIRTY_ANNOTATE_COPY) && r->num_clips % 2))
        return fail(EINVAL);
    const struct drm_clip_rect *clips = user<const struct drm_clip_rect>(r->clips_ptr);
    for (uint32_t i = 0; i < r->num_clips; i++)
        add(t, " clip=%u,%u,%u,%u", clips[i].x1, clips[i].y1, clips[i].x2, clips[i].y2);
    if (d->dirty == DRMEMU_DIRTY_NONE)
        return fail(ENOSYS);
    d->dirties++;
    if (d->dirty != DRMEMU_DIRTY_REQUIRED)
        return ok();
    for (uint32_t k = 0; k < d->crtc_count; k++) {
        if (d->crtcs[k].fb != f->id)
            continue;
        if (!r->num_clips)
            scan_copy(dir, n, k, f, 0, 0, f->width, f->height);
        for (uint32_t i = 0; i < r->num_clips; i++)
            scan_copy(dir, n, k, f, clips[i].x1, clips[i].y1, clips[i].x2, clips[i].y2);
    }
    return ok();
}

static DrmemuAnswer create_dumb(DrmemuDevice *d, const char *dir, int n, DrmemuClient *c,
                                struct drm_mode_create_dumb *r, Text *t)
{
    add(t, " width=%u height=%u bpp=%u", r->width, r->height, r->bpp);
    // The kernel's own limits are far larger; these keep the files small.
    if (!r->width || !r->height || !r->bpp || r->bpp > 32 || r->width > 8192 || r->height > 8192)
        return fail(EINVAL);
    const uint32_t pitch = r->width * ((r->bpp + 7) / 8);
    const uint32_t page = 4096;
    const uint64_t size = ((uint64_t)pitch * r->height + page - 1) / page * page;
    for (DrmemuBuffer &b : d->buffers) {
        if (b.handle)
            continue;
        const uint32_t handle = ++d->next_handle;
        char path[4096];
        if (!buffer_file(path, sizeof path, dir, n, handle))
            return fail(ENOMEM);
        const int fd = openat(AT_FDCWD, path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const bool made = fd >= 0 && ftruncate(fd, (off_t)size) == 0;
        if (fd >= 0)
            close(fd);
        if (!made)
            return fail(ENOMEM);
        b = {handle, c->open, r->width, r->height, r->bpp, pitch, (uint32_t)size, 0};
        r->handle = handle;
        r->pitch = pitch;
        r->size = size;
        add(t, " handle=%u pitch=%u size=%" PRIu64, handle, pitch, size);
        return ok();
    }
    return fail(ENOMEM);
}

DrmemuAnswer drmemu_device_request(DrmemuDevice *d, const char *dir, int n, DrmemuClient *c,
                                   int request, void *arg, char *desc, size_t desc_len)
{
    Text t = {desc, desc_len, 0};
    if (desc_len)
        desc[0] = '\0';
    if (request < DRMEMU_VERSION || request >= DRMEMU_REQUEST_COUNT)
        return fail(EINVAL);
    if (const int err = drmemu_device_refusal(d, request))
        return fail(err);
    const bool master = d->master == c->open;
    switch (request) {
    case DRMEMU_SET_MASTER:
        if (master)
            return ok();
        if (d->master)
            return fail(EBUSY);
        // Flips are taken again at once, even when another master set the CRTC meanwhile.
        d->master = c->open;
        return ok();
    case DRMEMU_DROP_MASTER:
        if (!master)
            return fail(EINVAL);
        d->master = 0;
        return ok();
    case DRMEMU_WAIT_VBLANK:
        return fail(EOPNOTSUPP); // no vblank interrupts on the emulated card
    default:
        break;
    }
    if (!arg)
        return fail(EFAULT);
    const bool master_only = request == DRMEMU_SETCRTC || request == DRMEMU_PAGE_FLIP ||
                             request == DRMEMU_DIRTYFB || request == DRMEMU_AUTH_MAGIC;
    if (master_only && !master) {
        // Describe what was asked even so.
        if (request == DRMEMU_SETCRTC)
            add(&t, " crtc_id=%u fb_id=%u", ((struct drm_mode_crtc *)arg)->crtc_id,
                ((struct drm_mode_crtc *)arg)->fb_id);
        if (request == DRMEMU_PAGE_FLIP)
            add(&t, " crtc_id=%u fb_id=%u", ((struct drm_mode_crtc_page_flip *)arg)->crtc_id,
                ((struct drm_mode_crtc_page_flip *)arg)->fb_id);
        return fail(EACCES);
    }
    switch (request) {
    case DRMEMU_VERSION:
        return get_version(d, (struct drm_version *)arg, &t);
    case DRMEMU_GET_CAP:
        return get_cap(d, (struct drm_get_cap *)arg, &t);
    case DRMEMU_SET_CLIENT_CAP:
        return set_client_cap(c, (struct drm_set_client_cap *)arg, &t);
    case DRMEMU_AUTH_MAGIC:
        return fail(EINVAL); // no client waits with a magic number (drmIsMaster asks with 0)
    case DRMEMU_GETRESOURCES:
        return get_resources(d, c, (struct drm_mode_card_res *)arg, &t);
    case DRMEMU_GETCRTC:
        return get_crtc(d, (struct drm_mode_crtc *)arg, &t);
    case DRMEMU_SETCRTC:
        return set_crtc(d, dir, n, (struct drm_mode_crtc *)arg, &t);
    case DRMEMU_GETENCODER:
        return get_encoder(d, (struct drm_mode_get_encoder *)arg, &t);
    case DRMEMU_GETCONNECTOR:
        return get_connector(d, (struct drm_mode_get_connector *)arg, &t);
    case DRMEMU_GETPROPERTY:
        return get_property((struct drm_mode_get_property *)arg, &t);
    case DRMEMU_ADDFB: {
        struct drm_mode_fb_cmd *r = (struct drm_mode_fb_cmd *)arg;
        add(&t, " width=%u height=%u pitch=%u bpp=%u depth=%u handle=%u", r->width, r->height,
            r->pitch, r->bpp, r->depth, r->handle);
        const DrmemuAnswer a = add_fb(d, c, r->width, r->height, legacy_format(r->bpp, r->depth),
                                      r->handle, r->pitch, 0, &r->fb_id);
        if (a.result == 0)
            add(&t, " fb_id=%u", r->fb_id);
        return a;
    }
    case DRMEMU_ADDFB2: {
        struct drm_mode_fb_cmd2 *r = (struct drm_mode_fb_cmd2 *)arg;
        char name[5];
        fourcc_text(r->pixel_format, name);
        add(&t, " width=%u height=%u format=%s handle=%u pitch=%u offset=%u", r->width, r->height,
            name, r->handles[0], r->pitches[0], r->offsets[0]);
        if (r->flags & ~(uint32_t)DRM_MODE_FB_INTERLACED)
            return fail(EINVAL);
        const DrmemuAnswer a = add_fb(d, c, r->width, r->height, r->pixel_format, r->handles[0],
                                      r->pitches[0], r->offsets[0], &r->fb_id);
        if (a.result == 0)
            add(&t, " fb_id=%u", r->fb_id);
        return a;
    }
    case DRMEMU_RMFB: {
        uint32_t id;
        memcpy(&id, arg, sizeof id);
        add(&t, " fb_id=%u", id);
        DrmemuFb *f = find_fb(d, id);
        if (!f || f->open != c->open)
            return fail(ENOENT);
        remove_fb(d, dir, n, f);
        return ok();
    }
    case DRMEMU_PAGE_FLIP:
        return page_flip(d, dir, n, c, (struct drm_mode_crtc_page_flip *)arg, &t);
    case DRMEMU_DIRTYFB:
        return dirty_fb(d, dir, n, (struct drm_mode_fb_dirty_cmd *)arg, &t);
    case DRMEMU_CREATE_DUMB:
        return create_dumb(d, dir, n, c, (struct drm_mode_create_dumb *)arg, &t);
    case DRMEMU_MAP_DUMB: {
        struct drm_mode_map_dumb *r = (struct drm_mode_map_dumb *)arg;
        add(&t, " handle=%u", r->handle);
        if (!find_buffer(d, c->open, r->handle))
            return fail(ENOENT);
        r->offset = (uint64_t)r->handle << DRMEMU_MAP_SHIFT;
        add(&t, " offset=%#" PRIx64, (uint64_t)r->offset);
        return ok();
    }
    case DRMEMU_DESTROY_DUMB: {
        struct drm_mode_destroy_dumb *r = (struct drm_mode_destroy_dumb *)arg;
        add(&t, " handle=%u", r->handle);
        DrmemuBuffer *b = find_buffer(d, c->open, r->handle);
        if (!b)
            return fail(EINVAL);
        b->released = 1;
        maybe_free_buffer(d, dir, n, b);
        return ok();
    }
    case DRMEMU_GETPLANERESOURCES: {
        struct drm_mode_get_plane_res *r = (struct drm_mode_get_plane_res *)arg;
        uint32_t ids[DRMEMU_MAX_PLANES], count = 0;
        // Without the universal-planes cap only overlay planes are listed.
        for (uint32_t p = 0; p < d->plane_count; p++)
            if (c->universal || d->planes[p].type == DRMEMU_PLANE_OVERLAY)
                ids[count++] = DRMEMU_PLANE_ID + p;
        if (!put_ids(r->plane_id_ptr, r->count_planes, ids, count))
            return fail(EFAULT);
        r->count_planes = count;
        add(&t, " planes=%u", count);
        return ok();
    }
    case DRMEMU_GETPLANE: {
        struct drm_mode_get_plane *r = (struct drm_mode_get_plane *)arg;
        add(&t, " plane_id=%u", r->plane_id);
        const int p = plane_index(d, r->plane_id);
        if (p < 0)
            return fail(ENOENT);
        const DrmemuPlane &plane = d->planes[p];
        r->crtc_id = r->fb_id = 0;
        for (uint32_t k = 0; k < d->crtc_count; k++)
            if (primary_plane(d, k) == p && d->crtcs[k].fb) {
                r->crtc_id = DRMEMU_CRTC_ID + k;
                r->fb_id = d->crtcs[k].fb;
            }
        r->possible_crtcs = plane.possible_crtcs;
        r->gamma_size = 0;
        if (r->count_format_types >= plane.format_count &&
            !put_ids(r->format_type_ptr, plane.format_count, plane.formats, plane.format_count))
            return fail(EFAULT);
        r->count_format_types = plane.format_count;
        return ok();
    }
    case DRMEMU_OBJ_GETPROPERTIES: {
        struct drm_mode_obj_get_properties *r = (struct drm_mode_obj_get_properties *)arg;
        add(&t, " obj_id=%u obj_type=%#x", r->obj_id, r->obj_type);
        const uint32_t id = r->obj_id, type = r->obj_type;
        const bool known =
            (crtc_index(d, id) >= 0 && (!type || type == DRM_MODE_OBJECT_CRTC)) ||
            (connector_index(d, id) >= 0 && (!type || type == DRM_MODE_OBJECT_CONNECTOR)) ||
            (plane_index(d, id) >= 0 && (!type || type == DRM_MODE_OBJECT_PLANE)) ||
            (encoder_index(d, id) >= 0 && (!type || type == DRM_MODE_OBJECT_ENCODER));
        if (!known)
            return fail(ENOENT);
        uint32_t props[4], count;
        uint64_t values[4];
        if (!object_properties(d, id, props, values, &count))
            return fail(EINVAL);
        const uint32_t copy = r->count_props < count ? r->count_props : count;
        if (copy && (!r->props_ptr || !r->prop_values_ptr))
            return fail(EFAULT);
        if (copy) {
            memcpy(user<uint32_t>(r->props_ptr), props, copy * sizeof *props);
            memcpy(user<uint64_t>(r->prop_values_ptr), values, copy * sizeof *values);
        }
        r->count_props = count;
        add(&t, " count_props=%u", count);
        return ok();
    }
    default:
        return fail(EINVAL);
    }
}
