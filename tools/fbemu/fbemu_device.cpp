// The emulated framebuffer driver: configuration and state files, and the
// answers to the five framebuffer requests.
#include "fbemu_device.h"
#include "../common/config_words.h"
#include "../common/errno_names.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static const char *const REQUEST_NAMES[FBEMU_REQUEST_COUNT] = {
    "FBIOGET_VSCREENINFO", "FBIOPUT_VSCREENINFO", "FBIOGET_FSCREENINFO",
    "FBIOPAN_DISPLAY",     "FBIO_WAITFORVSYNC",
};

const char *fbemu_request_name(int request)
{
    return request >= 0 && request < FBEMU_REQUEST_COUNT ? REQUEST_NAMES[request] : nullptr;
}

int fbemu_request_from_name(const char *name)
{
    for (int i = 0; i < FBEMU_REQUEST_COUNT; i++)
        if (strcmp(name, REQUEST_NAMES[i]) == 0)
            return i;
    return -1;
}

unsigned long fbemu_request_code(int request)
{
    switch (request) {
    case FBEMU_GET_VAR:
        return FBIOGET_VSCREENINFO;
    case FBEMU_PUT_VAR:
        return FBIOPUT_VSCREENINFO;
    case FBEMU_GET_FIX:
        return FBIOGET_FSCREENINFO;
    case FBEMU_PAN:
        return FBIOPAN_DISPLAY;
    case FBEMU_VSYNC:
        return FBIO_WAITFORVSYNC;
    default:
        return 0;
    }
}

int fbemu_request_from_code(unsigned long code)
{
    for (int i = 0; i < FBEMU_REQUEST_COUNT; i++)
        if (fbemu_request_code(i) == code)
            return i;
    return -1;
}

static const ErrnoName ERRNO_NAMES[] = {
    {EPERM, "EPERM"},           {ENOENT, "ENOENT"},       {EINTR, "EINTR"},   {EIO, "EIO"},
    {ENXIO, "ENXIO"},           {EBADF, "EBADF"},         {EAGAIN, "EAGAIN"}, {ENOMEM, "ENOMEM"},
    {EACCES, "EACCES"},         {EFAULT, "EFAULT"},       {EBUSY, "EBUSY"},   {ENODEV, "ENODEV"},
    {EINVAL, "EINVAL"},         {ENOTTY, "ENOTTY"},       {ENOSPC, "ENOSPC"}, {ENOSYS, "ENOSYS"},
    {EOPNOTSUPP, "EOPNOTSUPP"}, {ETIMEDOUT, "ETIMEDOUT"},
};

const char *fbemu_errno_name(int err, char *buf, size_t len)
{
    return errno_name_in(ERRNO_NAMES, err, buf, len);
}

int fbemu_errno_from_name(const char *name)
{
    return errno_from_name_in(ERRNO_NAMES, name);
}

uint32_t fbemu_page_offset(const FbemuDevice *d)
{
    return d->smem_start % (uint32_t)getpagesize();
}

uint32_t glimmer_fbemu_crc32(const uint8_t *data, size_t len, uint32_t crc)
{
    static uint32_t table[256];
    if (!table[1])
        for (uint32_t i = 0; i < 256; i++) {
            uint32_t c = i;
            for (int k = 0; k < 8; k++)
                c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            table[i] = c;
        }
    crc = ~crc;
    for (size_t i = 0; i < len; i++)
        crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

void fbemu_default_fields(uint32_t bpp, FbemuField *red, FbemuField *green, FbemuField *blue,
                          FbemuField *transp)
{
    *transp = {0, 0};
    switch (bpp) {
    case 16:
        *red = {11, 5};
        *green = {5, 6};
        *blue = {0, 5};
        break;
    case 24:
        *red = {16, 8};
        *green = {8, 8};
        *blue = {0, 8};
        break;
    case 32:
        *red = {16, 8};
        *green = {8, 8};
        *blue = {0, 8};
        *transp = {24, 8};
        break;
    default: // palette indices
        *red = *green = *blue = {0, bpp};
        break;
    }
}

static uint32_t follow_line_length(const FbemuDevice *d)
{
    return d->xres * (d->bits_per_pixel / 8);
}

// ---- configuration text -------------------------------------------------

static bool signed_number(const char *text, int *out)
{
    char *end;
    errno = 0;
    const long v = strtol(text, &end, 0);
    if (end == text || *end || errno || v < INT32_MIN || v > INT32_MAX)
        return false;
    *out = (int)v;
    return true;
}

struct Seen {
    bool xres_virtual, yres_virtual, line_length, line_length_follows, smem_len;
};

static bool add_refusal(FbemuDevice *d, const char *request, uint32_t nth, int err, int result)
{
    const int r = fbemu_request_from_name(request);
    if (r < 0 || d->refusal_count == FBEMU_MAX_REFUSALS)
        return false;
    d->refusals[d->refusal_count++] = {r, nth, err, result};
    return true;
}

static bool parse_line(FbemuDevice *d, Seen *seen, char **w, int n)
{
    const char *key = w[0];
    uint32_t v = 0;
    struct Scalar {
        const char *key;
        uint32_t *field;
        bool *seen;
    };
    const Scalar scalars[] = {
        {"xres", &d->xres, nullptr},
        {"yres", &d->yres, nullptr},
        {"xres_virtual", &d->xres_virtual, &seen->xres_virtual},
        {"yres_virtual", &d->yres_virtual, &seen->yres_virtual},
        {"xoffset", &d->xoffset, nullptr},
        {"yoffset", &d->yoffset, nullptr},
        {"bits_per_pixel", &d->bits_per_pixel, nullptr},
        {"line_length", &d->line_length, &seen->line_length},
        {"smem_len", &d->smem_len, &seen->smem_len},
        {"smem_start", &d->smem_start, nullptr},
        {"pans", &d->pans, nullptr},
        {"flips", &d->flips, nullptr},
        {"vsyncs", &d->vsyncs, nullptr},
        {"opens", &d->opens, nullptr},
        {"closes", &d->closes, nullptr},
    };
    for (const Scalar &s : scalars) {
        if (strcmp(key, s.key) != 0)
            continue;
        if (n != 2 || !config_number(w[1], s.field))
            return false;
        if (s.seen)
            *s.seen = true;
        return true;
    }
    struct Flag {
        const char *key;
        int *field;
    };
    const Flag flags[] = {
        {"line_length_follows", &d->line_length_follows},
        {"mappable", &d->mappable},
        {"put_double", &d->put_double},
        {"put_keep_bitfields", &d->put_keep_bitfields},
        {"put_check_memory", &d->put_check_memory},
        {"put_unchecked", &d->put_unchecked},
    };
    for (const Flag &f : flags) {
        if (strcmp(key, f.key) != 0)
            continue;
        if (n != 2 || !config_number(w[1], &v) || v > 1)
            return false;
        *f.field = (int)v;
        if (f.field == &d->line_length_follows)
            seen->line_length_follows = true;
        return true;
    }
    struct Bitfield {
        const char *key;
        FbemuField *field;
    };
    const Bitfield fields[] = {
        {"red", &d->red}, {"green", &d->green}, {"blue", &d->blue}, {"transp", &d->transp}};
    for (const Bitfield &f : fields) {
        if (strcmp(key, f.key) != 0)
            continue;
        return n == 3 && config_number(w[1], &f.field->offset) &&
               config_number(w[2], &f.field->length);
    }
    if (strcmp(key, "put_depths") == 0) {
        d->put_depths = 0;
        for (int i = 1; i < n; i++) {
            if (!config_number(w[i], &v) || v == 0 || v > 32)
                return false;
            d->put_depths |= (uint64_t)1 << v;
        }
        return true;
    }
    int value = 0;
    if (strcmp(key, "refuse") == 0) { // refuse REQUEST ERRNO
        const int err = n == 3 ? fbemu_errno_from_name(w[2]) : -1;
        return err > 0 && add_refusal(d, w[1], 0, err, -1);
    }
    if (strcmp(key, "refuse_nth") == 0) { // refuse_nth REQUEST N ERRNO
        const int err = n == 4 ? fbemu_errno_from_name(w[3]) : -1;
        return err > 0 && config_number(w[2], &v) && v > 0 && add_refusal(d, w[1], v, err, -1);
    }
    if (strcmp(key, "answer") == 0) // answer REQUEST VALUE
        return n == 3 && signed_number(w[2], &value) && value != -1 &&
               add_refusal(d, w[1], 0, 0, value);
    if (strcmp(key, "answer_nth") == 0) // answer_nth REQUEST N VALUE
        return n == 4 && config_number(w[2], &v) && v > 0 && signed_number(w[3], &value) &&
               value != -1 && add_refusal(d, w[1], v, 0, value);
    if (strcmp(key, "calls") == 0) { // calls REQUEST N
        const int r = n == 3 ? fbemu_request_from_name(w[1]) : -1;
        return r >= 0 && config_number(w[2], &d->calls[r]);
    }
    return false;
}

bool fbemu_device_parse(FbemuDevice *d, const char *text, char *err, size_t err_len)
{
    memset(d, 0, sizeof *d);
    d->xres = 1024;
    d->yres = 768;
    d->bits_per_pixel = 32;
    d->red = {16, 8};
    d->green = {8, 8};
    d->blue = {0, 8};
    d->put_depths = (uint64_t)1 << 16 | (uint64_t)1 << 24 | (uint64_t)1 << 32;
    d->put_double = 1;
    d->put_check_memory = 1;
    d->mappable = 1;

    Seen seen = {};
    if (!config_read_lines(text, err, err_len,
                           [d, &seen](char **w, int n) { return parse_line(d, &seen, w, n); }))
        return false;

    if (!seen.xres_virtual)
        d->xres_virtual = d->xres;
    if (!seen.yres_virtual)
        d->yres_virtual = d->yres;
    if (!seen.line_length_follows)
        d->line_length_follows = !seen.line_length;
    if (!seen.line_length)
        d->line_length = follow_line_length(d);
    if (!seen.smem_len) {
        // Room for two pages at the widest of the current and 32 bpp lines.
        const uint64_t row = d->line_length > d->xres * 4 ? d->line_length : d->xres * 4;
        const uint64_t lines = d->yres_virtual > 2 * d->yres ? d->yres_virtual : 2 * d->yres;
        const uint64_t bytes = fbemu_page_offset(d) + row * lines;
        d->smem_len = bytes > UINT32_MAX ? UINT32_MAX : (uint32_t)bytes;
    }
    return true;
}

// Appends to a text buffer; remembers when it ran out of room.
struct Text {
    char *buf;
    size_t len, used;
    bool overflow;
};

__attribute__((format(printf, 2, 3))) static void add(Text *t, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    const size_t room = t->used < t->len ? t->len - t->used : 0;
    const int n = vsnprintf(t->buf + t->used, room, format, ap);
    va_end(ap);
    if (n < 0 || (size_t)n >= room)
        t->overflow = true;
    else
        t->used += (size_t)n;
}

int fbemu_device_format(const FbemuDevice *d, char *buf, size_t len)
{
    Text t = {buf, len, 0, false};
    add(&t, "xres %" PRIu32 "\nyres %" PRIu32 "\n", d->xres, d->yres);
    add(&t, "xres_virtual %" PRIu32 "\nyres_virtual %" PRIu32 "\n", d->xres_virtual,
        d->yres_virtual);
    add(&t, "xoffset %" PRIu32 "\nyoffset %" PRIu32 "\n", d->xoffset, d->yoffset);
    add(&t, "bits_per_pixel %" PRIu32 "\n", d->bits_per_pixel);
    add(&t, "red %" PRIu32 " %" PRIu32 "\n", d->red.offset, d->red.length);
    add(&t, "green %" PRIu32 " %" PRIu32 "\n", d->green.offset, d->green.length);
    add(&t, "blue %" PRIu32 " %" PRIu32 "\n", d->blue.offset, d->blue.length);
    add(&t, "transp %" PRIu32 " %" PRIu32 "\n", d->transp.offset, d->transp.length);
    add(&t, "line_length %" PRIu32 "\nline_length_follows %d\n", d->line_length,
        d->line_length_follows);
    add(&t, "smem_len %" PRIu32 "\nsmem_start %" PRIu32 "\n", d->smem_len, d->smem_start);
    add(&t, "mappable %d\n", d->mappable);
    add(&t, "put_depths");
    for (int depth = 1; depth <= 32; depth++)
        if (d->put_depths >> depth & 1)
            add(&t, " %d", depth);
    add(&t, "\nput_double %d\nput_keep_bitfields %d\nput_check_memory %d\nput_unchecked %d\n",
        d->put_double, d->put_keep_bitfields, d->put_check_memory, d->put_unchecked);
    char name[16];
    for (int i = 0; i < d->refusal_count; i++) {
        const FbemuRefusal &r = d->refusals[i];
        const char *request = fbemu_request_name(r.request);
        if (r.result == -1 && r.nth == 0)
            add(&t, "refuse %s %s\n", request, fbemu_errno_name(r.err, name, sizeof name));
        else if (r.result == -1)
            add(&t, "refuse_nth %s %" PRIu32 " %s\n", request, r.nth,
                fbemu_errno_name(r.err, name, sizeof name));
        else if (r.nth == 0)
            add(&t, "answer %s %d\n", request, r.result);
        else
            add(&t, "answer_nth %s %" PRIu32 " %d\n", request, r.nth, r.result);
    }
    for (int i = 0; i < FBEMU_REQUEST_COUNT; i++)
        add(&t, "calls %s %" PRIu32 "\n", fbemu_request_name(i), d->calls[i]);
    add(&t, "pans %" PRIu32 "\nflips %" PRIu32 "\nvsyncs %" PRIu32 "\n", d->pans, d->flips,
        d->vsyncs);
    add(&t, "opens %" PRIu32 "\ncloses %" PRIu32 "\n", d->opens, d->closes);
    return t.overflow ? -1 : (int)t.used;
}

// ---- files ---------------------------------------------------------------

bool fbemu_path(char *buf, size_t len, const char *dir, int n, const char *suffix)
{
    const int written = snprintf(buf, len, "%s/fb%d.%s", dir, n, suffix);
    return written > 0 && (size_t)written < len;
}

// Reads a whole small file into buf, NUL-terminated.
static bool read_text(const char *path, char *buf, size_t len)
{
    const int fd = openat(AT_FDCWD, path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    size_t used = 0;
    for (;;) {
        if (used + 1 >= len) {
            close(fd);
            return false;
        }
        const ssize_t n = read(fd, buf + used, len - 1 - used);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            close(fd);
            return false;
        }
        if (n == 0)
            break;
        used += (size_t)n;
    }
    close(fd);
    buf[used] = '\0';
    return true;
}

enum { TEXT_SIZE = 8192 };

bool fbemu_device_load(const char *dir, int n, FbemuDevice *d)
{
    char path[4096], text[TEXT_SIZE], err[128];
    if (n < 0 || n >= FBEMU_MAX_DEVICES)
        return false;
    if (fbemu_path(path, sizeof path, dir, n, "state") && read_text(path, text, sizeof text) &&
        fbemu_device_parse(d, text, err, sizeof err))
        return true;
    return fbemu_path(path, sizeof path, dir, n, "conf") && read_text(path, text, sizeof text) &&
           fbemu_device_parse(d, text, err, sizeof err);
}

bool fbemu_device_save(const char *dir, int n, const FbemuDevice *d)
{
    char path[4096], aside[4200], text[TEXT_SIZE];
    const int len = fbemu_device_format(d, text, sizeof text);
    if (len < 0 || !fbemu_path(path, sizeof path, dir, n, "state"))
        return false;
    snprintf(aside, sizeof aside, "%s.%d", path, (int)getpid());
    const int fd = openat(AT_FDCWD, aside, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    bool ok = write(fd, text, (size_t)len) == len;
    ok = close(fd) == 0 && ok;
    if (ok && rename(aside, path) == 0)
        return true;
    unlink(aside);
    return false;
}

// ---- the driver ----------------------------------------------------------

static void describe_var(Text *t, const struct fb_var_screeninfo *v)
{
    add(t,
        " xres=%u yres=%u xres_virtual=%u yres_virtual=%u xoffset=%u yoffset=%u"
        " bits_per_pixel=%u red=%u/%u green=%u/%u blue=%u/%u transp=%u/%u activate=%u",
        v->xres, v->yres, v->xres_virtual, v->yres_virtual, v->xoffset, v->yoffset,
        v->bits_per_pixel, v->red.offset, v->red.length, v->green.offset, v->green.length,
        v->blue.offset, v->blue.length, v->transp.offset, v->transp.length, v->activate);
}

static void set_field(struct fb_bitfield *to, FbemuField from)
{
    to->offset = from.offset;
    to->length = from.length;
    to->msb_right = 0;
}

static FbemuField field_of(const struct fb_bitfield &f)
{
    return {f.offset, f.length};
}

static void fill_var(const FbemuDevice *d, struct fb_var_screeninfo *v)
{
    memset(v, 0, sizeof *v);
    v->xres = d->xres;
    v->yres = d->yres;
    v->xres_virtual = d->xres_virtual;
    v->yres_virtual = d->yres_virtual;
    v->xoffset = d->xoffset;
    v->yoffset = d->yoffset;
    v->bits_per_pixel = d->bits_per_pixel;
    set_field(&v->red, d->red);
    set_field(&v->green, d->green);
    set_field(&v->blue, d->blue);
    set_field(&v->transp, d->transp);
    // Timing values as a 60 Hz mode would have them; nobody should change them.
    v->height = v->width = UINT32_MAX;
    v->pixclock = 15384;
    v->left_margin = 160;
    v->right_margin = 24;
    v->upper_margin = 29;
    v->lower_margin = 3;
    v->hsync_len = 136;
    v->vsync_len = 6;
}

static void fill_fix(const FbemuDevice *d, struct fb_fix_screeninfo *f)
{
    memset(f, 0, sizeof *f);
    strncpy(f->id, "fbemu", sizeof f->id - 1);
    f->smem_start = d->smem_start;
    f->smem_len = d->smem_len;
    f->type = FB_TYPE_PACKED_PIXELS;
    f->visual = d->bits_per_pixel <= 8 ? FB_VISUAL_PSEUDOCOLOR : FB_VISUAL_TRUECOLOR;
    f->ypanstep = 1;
    f->line_length = d->line_length;
    f->accel = FB_ACCEL_NONE;
}

static FbemuAnswer refused(int err)
{
    return {-1, err};
}

// The driver's check of a new mode, as FBIOPUT_VSCREENINFO makes it. On
// success the device takes the mode and the request is overwritten with it.
static FbemuAnswer put_var(FbemuDevice *d, struct fb_var_screeninfo *v)
{
    if (d->put_unchecked) {
        fill_var(d, v);
        return {0, 0};
    }
    FbemuDevice next = *d;
    const uint32_t bpp = v->bits_per_pixel;
    if (bpp != d->bits_per_pixel) {
        if (bpp == 0 || bpp > 32 || !(d->put_depths >> bpp & 1))
            return refused(EINVAL);
        next.bits_per_pixel = bpp;
        if (next.line_length_follows)
            next.line_length = follow_line_length(&next);
    }
    if (d->put_keep_bitfields) {
        if (bpp != d->bits_per_pixel)
            fbemu_default_fields(bpp, &next.red, &next.green, &next.blue, &next.transp);
    } else {
        next.red = field_of(v->red);
        next.green = field_of(v->green);
        next.blue = field_of(v->blue);
        next.transp = field_of(v->transp);
    }
    // The mode itself (xres, yres) is the driver's; the virtual width follows it.
    next.xres_virtual = d->xres;
    next.yres_virtual = v->yres_virtual < d->yres ? d->yres : v->yres_virtual;
    if (next.yres_virtual > d->yres && !d->put_double)
        return refused(EINVAL);
    if (d->put_check_memory &&
        (uint64_t)fbemu_page_offset(d) + (uint64_t)next.line_length * next.yres_virtual >
            d->smem_len)
        return refused(EINVAL);
    next.xoffset = 0;
    next.yoffset = v->yoffset + d->yres <= next.yres_virtual ? v->yoffset : 0;
    *d = next;
    fill_var(d, v);
    return {0, 0};
}

static FbemuAnswer pan(FbemuDevice *d, const struct fb_var_screeninfo *v)
{
    if ((uint64_t)v->xoffset + d->xres > d->xres_virtual ||
        (uint64_t)v->yoffset + d->yres > d->yres_virtual)
        return refused(EINVAL);
    d->pans++;
    if (v->yoffset != d->yoffset)
        d->flips++;
    d->xoffset = v->xoffset;
    d->yoffset = v->yoffset;
    return {0, 0};
}

FbemuAnswer fbemu_device_request(FbemuDevice *d, int request, void *arg, char *desc,
                                 size_t desc_len)
{
    Text t = {desc, desc_len, 0, false};
    if (desc_len)
        desc[0] = '\0';
    if (request < 0 || request >= FBEMU_REQUEST_COUNT)
        return refused(ENOTTY);
    const uint32_t call = ++d->calls[request];

    // What the caller asks for, before the driver looks at it.
    if (arg && request == FBEMU_PUT_VAR)
        describe_var(&t, (const struct fb_var_screeninfo *)arg);
    if (arg && request == FBEMU_PAN) {
        const struct fb_var_screeninfo *v = (const struct fb_var_screeninfo *)arg;
        add(&t, " xoffset=%u yoffset=%u", v->xoffset, v->yoffset);
    }
    if (arg && request == FBEMU_VSYNC) {
        uint32_t display;
        memcpy(&display, arg, sizeof display);
        add(&t, " display=%u", display);
    }
    if (!arg)
        return refused(EFAULT);

    for (int i = 0; i < d->refusal_count; i++) {
        const FbemuRefusal &r = d->refusals[i];
        if (r.request == request && (r.nth == 0 || r.nth == call))
            return {r.result, r.result == -1 ? r.err : 0};
    }

    switch (request) {
    case FBEMU_GET_VAR:
        fill_var(d, (struct fb_var_screeninfo *)arg);
        describe_var(&t, (const struct fb_var_screeninfo *)arg);
        return {0, 0};
    case FBEMU_PUT_VAR:
        return put_var(d, (struct fb_var_screeninfo *)arg);
    case FBEMU_GET_FIX: {
        struct fb_fix_screeninfo *f = (struct fb_fix_screeninfo *)arg;
        fill_fix(d, f);
        add(&t, " smem_start=%lu smem_len=%u line_length=%u ypanstep=%u", f->smem_start,
            f->smem_len, f->line_length, (unsigned)f->ypanstep);
        return {0, 0};
    }
    case FBEMU_PAN:
        return pan(d, (const struct fb_var_screeninfo *)arg);
    case FBEMU_VSYNC: {
        uint32_t display;
        memcpy(&display, arg, sizeof display);
        if (display != 0) // one display only
            return refused(EINVAL);
        d->vsyncs++;
        return {0, 0};
    }
    default:
        return refused(ENOTTY);
    }
}
