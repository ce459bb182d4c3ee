// Run-length encoded pictures, decoded straight onto the drawing page.
//
// A stream is a sequence of runs, each opened by a header byte h: 0x00 and
// 0x80 end the stream, 0x01..0x7F are followed by h pixels of their own,
// 0x81..0xFF by one pixel repeated h - 0x80 times. A pixel is bytes_per_pixel
// bytes: red, green, blue and, from 4 bytes on, an alpha byte where 0 leaves
// the screen as it was. Runs may cross the end of a row.
#include "fb/pixel.h"

namespace {

// Where the decoder stands in the picture, and the part of the screen its
// single pixels have touched.
struct Cursor {
    int64_t column, row, per_row;
    int64_t scale;                    // screen pixels a picture pixel spans each way
    int64_t left, top, right, bottom; // logical bounds of single pixels drawn
};

} // namespace

static void advance(Cursor *c, int64_t n)
{
    c->column += n;
    if (c->column >= c->per_row) {
        c->column = 0;
        c->row++;
    }
}

static void draw_single(Framebuffer *fb, const FbAxes &a, Cursor *c, int x, int y,
                        const RleImage *img, const uint8_t *p)
{
    if (img->bytes_per_pixel >= 4 && p[3] == 0)
        return;
    if (c->column >= img->width)
        return;
    if (c->scale > 1) {
        const FbPen pen = fb_pen(fb, p[0], p[1], p[2]);
        fb_fill_pen(fb, x + c->column * c->scale, y + c->row * c->scale, c->scale, c->scale, pen);
        return;
    }
    const int64_t sx = x + c->column, sy = y + c->row;
    if (sx < 0 || sx >= fb->width || sy < 0 || sy >= fb->height)
        return;
    const FbPen pen = fb_pen(fb, p[0], p[1], p[2]);
    if (pen.bytes == 0)
        return;
    fb_store(fb->draw_page + a.origin + a.step_x * sx + a.step_y * sy, pen);
    if (sx < c->left)
        c->left = sx;
    if (sx >= c->right)
        c->right = sx + 1;
    if (sy < c->top)
        c->top = sy;
    if (sy >= c->bottom)
        c->bottom = sy + 1;
}

// n copies of one pixel: a span fill for each row the run touches.
static void draw_repeat(Framebuffer *fb, Cursor *c, int x, int y, const RleImage *img,
                        const uint8_t *p, int64_t n)
{
    const bool opaque = img->bytes_per_pixel < 4 || p[3] != 0;
    const FbPen pen = fb_pen(fb, p[0], p[1], p[2]);
    while (n > 0) {
        int64_t span = c->per_row - c->column;
        if (span > n)
            span = n;
        if (opaque && c->column < img->width) {
            const int64_t end = c->column + span < img->width ? c->column + span : img->width;
            fb_fill_pen(fb, x + c->column * c->scale, y + c->row * c->scale,
                        (end - c->column) * c->scale, c->scale, pen);
        }
        n -= span;
        advance(c, span);
    }
}

void glimmer_fb_draw_rle(Framebuffer *fb, int x, int y, const RleImage *img)
{
    glimmer_fb_draw_rle_scaled(fb, x, y, img, 1);
}

// Each picture pixel becomes a scale x scale square; a repeat run becomes one
// fill per row it touches, so that only single pixels cost a fill each.
void glimmer_fb_draw_rle_scaled(Framebuffer *fb, int x, int y, const RleImage *img, int scale)
{
    const int64_t bpp = img->bytes_per_pixel;
    // The read limit is the decoded size, as a 32-bit product.
    const int32_t limit = (int32_t)((uint32_t)img->height * (uint32_t)img->rowstride);
    if (bpp < 3 || limit <= 0 || scale < 1)
        return;

    Cursor c = {0, 0, 1, scale, INT64_MAX, INT64_MAX, INT64_MIN, INT64_MIN};
    if (img->rowstride > bpp)
        c.per_row = (img->rowstride + bpp - 1) / bpp;
    const FbAxes axes = fb_axes(fb);
    const uint8_t *data = img->data;
    const int64_t size = (int64_t)img->size;
    int64_t at = 0;

    while (at < size) {
        const unsigned h = data[at];
        if (h == 0x00 || h == 0x80)
            break;
        if (h > 0x80) {
            if (at + 1 + bpp > size)
                break;
            draw_repeat(fb, &c, x, y, img, data + at + 1, h - 0x80);
            at += 1 + bpp;
            if (at >= limit)
                break;
            continue;
        }
        at++;
        bool done = false;
        for (unsigned i = 0; i < h && !done; i++) {
            if (at + bpp > size) {
                done = true;
                break;
            }
            draw_single(fb, axes, &c, x, y, img, data + at);
            at += bpp;
            advance(&c, 1);
            done = at >= limit;
        }
        if (done)
            break;
    }

    if (c.left < c.right)
        fb_damage_add(
            fb, fb_device_rect(fb, FbRect{(int)c.left, (int)c.top, (int)c.right, (int)c.bottom}));
}
