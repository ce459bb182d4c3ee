// Configuration, state, log and captures of the emulated DRM cards.
#include "../common/whole_file.h"
#include "drmemu.h"

#include <drm_fourcc.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

std::string glimmer_drmemu_preset(const std::string &name)
{
    // Each offers what the kernel's driver of the same device offers.
    if (name == "bochs")
        return "driver bochs-drm\npreferred_depth 24\ndirty none\n"
               "connector Virtual-1 connected 1280x800* 1024x768 800x600\n"
               "plane primary XR24 BX24\n";
    if (name == "virtio")
        return "driver virtio_gpu\npreferred_depth 0\ndirty required\nunknown_format ENOENT\n"
               "connector Virtual-1 connected 1280x800* 1024x768 800x600\n"
               "plane primary XR24\nplane cursor crtcs=0x1 AR24\n";
    if (name == "virtio2")
        return "driver virtio_gpu\npreferred_depth 0\ndirty required\nunknown_format ENOENT\n"
               "crtcs 2\n"
               "connector Virtual-1 connected crtcs=0x1 1280x800* 1024x768 800x600\n"
               "connector Virtual-2 connected crtcs=0x2 1024x768* 800x600\n"
               "plane primary XR24\nplane primary XR24\n"
               "plane cursor crtcs=0x1 AR24\nplane cursor crtcs=0x2 AR24\n";
    if (name == "cirrus")
        return "driver cirrus\npreferred_depth 16\ndirty required\n"
               "connector VGA-1 connected 1024x768* 800x600 640x480\n"
               "plane primary RG16 RG24 XR24\n";
    return "";
}

static std::string card_file(const std::string &dir, int n, const char *suffix)
{
    char path[4096];
    return drmemu_path(path, sizeof path, dir.c_str(), n, suffix) ? path : "";
}

bool glimmer_drmemu_write_config(const std::string &dir, int n, const std::string &text,
                                 std::string *why)
{
    DrmemuDevice d;
    char err[160];
    if (!drmemu_device_parse(&d, text.c_str(), err, sizeof err)) {
        if (why)
            *why = err;
        return false;
    }
    unlink(card_file(dir, n, "state").c_str());
    unlink(card_file(dir, n, "log").c_str());
    std::ofstream out(card_file(dir, n, "conf"), std::ios::trunc);
    out << text;
    if (!out.flush()) {
        if (why)
            *why = "cannot write " + card_file(dir, n, "conf");
        return false;
    }
    return true;
}

bool glimmer_drmemu_read_state(const std::string &dir, int n, DrmemuDevice *state)
{
    return drmemu_device_load(dir.c_str(), n, state);
}

std::vector<FbemuLogEntry> glimmer_drmemu_read_log(const std::string &dir, int n)
{
    std::string text;
    return read_whole_file(card_file(dir, n, "log"), &text) ? glimmer_fbemu_parse_log(text)
                                                            : std::vector<FbemuLogEntry>();
}

std::string glimmer_drmemu_describe(const DrmemuDevice &d)
{
    std::ostringstream s;
    s << "driver " << d.driver << "\nmaster " << d.master << "\n";
    for (const DrmemuOpen &o : d.opens)
        if (o.id)
            s << "open " << o.id << " pid=" << o.pid << "\n";
    for (uint32_t i = 0; i < d.connector_count; i++) {
        const DrmemuConnector &c = d.connectors[i];
        s << "connector " << DRMEMU_CONNECTOR_ID + i << " " << c.name
          << " crtc=" << (c.crtc ? DRMEMU_CRTC_ID + c.crtc - 1 : 0) << "\n";
    }
    for (uint32_t k = 0; k < d.crtc_count; k++) {
        const DrmemuCrtc &c = d.crtcs[k];
        s << "crtc " << DRMEMU_CRTC_ID + k << " fb=" << c.fb << " mode=" << c.mode.hdisplay << "x"
          << c.mode.vdisplay << " x=" << c.x << " y=" << c.y
          << " pending=" << (c.pending_open ? 1 : 0) << "\n";
    }
    for (const DrmemuFb &f : d.fbs)
        if (f.id)
            s << "fb " << f.id << " open=" << f.open << " handle=" << f.handle << " " << f.width
              << "x" << f.height << " pitch=" << f.pitch << "\n";
    for (const DrmemuBuffer &b : d.buffers)
        if (b.handle)
            s << "buffer " << b.handle << " open=" << b.open << " " << b.width << "x" << b.height
              << " bpp=" << b.bpp << " pitch=" << b.pitch << " size=" << b.size
              << (b.released ? " released" : "") << "\n";
    for (int r = 0; r < DRMEMU_REQUEST_COUNT; r++)
        if (d.calls[r])
            s << "calls " << drmemu_request_name(r) << " " << d.calls[r] << "\n";
    s << "flips " << d.flips << "\ndirties " << d.dirties << "\ncloses " << d.closes << "\n";
    return s.str();
}

// One pixel of a framebuffer format as 8-bit channels.
static FbemuRgb decode(uint32_t format, const uint8_t *p)
{
    if (format == DRM_FORMAT_RGB565) {
        const uint32_t v = (uint32_t)p[0] | (uint32_t)p[1] << 8;
        const uint32_t r = v >> 11, g = v >> 5 & 63, b = v & 31;
        return {(uint8_t)(r << 3 | r >> 2), (uint8_t)(g << 2 | g >> 4), (uint8_t)(b << 3 | b >> 2)};
    }
    if (format == DRM_FORMAT_BGRX8888)
        return {p[1], p[2], p[3]}; // blue in the highest byte
    return {p[2], p[1], p[0]};     // XRGB8888, ARGB8888, RGB888: blue in the lowest byte
}

bool glimmer_drmemu_capture(const std::string &dir, int n, int head, FbemuImage *image,
                            std::string *why)
{
    std::string ignored;
    std::string &reason = why ? *why : ignored;
    DrmemuDevice d;
    if (!glimmer_drmemu_read_state(dir, n, &d)) {
        reason = "no card " + std::to_string(n);
        return false;
    }
    if (head < 0 || (uint32_t)head >= d.connector_count) {
        reason = "no head " + std::to_string(head);
        return false;
    }
    const uint32_t crtc = d.connectors[head].crtc;
    const DrmemuCrtc *c = crtc ? &d.crtcs[crtc - 1] : nullptr;
    const DrmemuFb *f = nullptr;
    for (const DrmemuFb &fb : d.fbs)
        if (c && fb.id && fb.id == c->fb)
            f = &fb;
    if (!f) {
        reason = "head " + std::to_string(head) + " shows nothing";
        return false;
    }
    std::string bytes;
    const std::string source =
        d.dirty == DRMEMU_DIRTY_REQUIRED
            ? card_file(dir, n, ("-crtc" + std::to_string(crtc - 1) + ".scan").c_str())
            : card_file(dir, n, ("-buf" + std::to_string(f->handle)).c_str());
    if (!read_whole_file(source, &bytes)) {
        reason = "cannot read " + source;
        return false;
    }
    const uint32_t cpp = drmemu_format_cpp(f->format);
    image->width = c->mode.hdisplay;
    image->height = c->mode.vdisplay;
    image->pixels.assign((size_t)image->width * (size_t)image->height, FbemuRgb{0, 0, 0});
    for (uint32_t y = 0; y < c->mode.vdisplay; y++)
        for (uint32_t x = 0; x < c->mode.hdisplay; x++) {
            const size_t at =
                (size_t)f->offset + (size_t)(c->y + y) * f->pitch + (size_t)(c->x + x) * cpp;
            if (at + cpp <= bytes.size())
                image->pixels[(size_t)y * image->width + x] =
                    decode(f->format, (const uint8_t *)bytes.data() + at);
        }
    return true;
}

bool glimmer_drmemu_save_capture_png(const std::string &dir, int n, int head,
                                     const std::string &path, std::string *why)
{
    FbemuImage image;
    if (!glimmer_drmemu_capture(dir, n, head, &image, why))
        return false;
    if (glimmer_fbemu_save_png(path, image))
        return true;
    if (why)
        *why = "cannot write " + path;
    return false;
}
