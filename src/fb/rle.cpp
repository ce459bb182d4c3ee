// Run-length encoded pictures, decoded straight onto the drawing page.
//
// A stream is a sequence of runs, each opened by a header byte h: 0x00 and
// 0x80 end the stream, 0x01..0x7F are followed by h pixels of their own,
// 0x81..0xFF by one pixel repeated h - 0x80 times. A pixel is bytes_per_pixel
// bytes: red, green, blue and, from 4 bytes on, an alpha byte where 0 leaves
// the screen as it was. Runs may cross the end of a row.
#include "fb/pixel.h"

namespace {

// Where the decoder stands in the picture.
struct Cursor {
    int64_t column, row, per_row;
};

// Logical bounds of the pixels drawn, for the damage.
struct Bounds {
    int64_t left, top, right, bottom;

    void add(const Bounds &b)
    {
        left = b.left < left ? b.left : left;
        top = b.top < top ? b.top : top;
        right = b.right > right ? b.right : right;
        bottom = b.bottom > bottom ? b.bottom : bottom;
    }
};
constexpr Bounds NO_BOUNDS = {INT64_MAX, INT64_MAX, INT64_MIN, INT64_MIN};

// Writes the decoded pixels straight into the page, a pixel or a span at a
// time: on an upright or upside-down screen picture rows are device lines.
struct DirectSink {
    Framebuffer *fb;
    FbAxes axes;
    int x, y;
    int64_t width; // the picture's
    Bounds drawn;  // single pixels only; spans add their own damage

    void pixel(int64_t column, int64_t row, const FbPen &pen)
    {
        if (column >= width)
            return;
        const int64_t sx = x + column, sy = y + row;
        if (sx < 0 || sx >= fb->width || sy < 0 || sy >= fb->height)
            return;
        fb_store(fb->draw_page + axes.origin + axes.step_x * sx + axes.step_y * sy, pen);
        drawn.add({sx, sy, sx + 1, sy + 1});
    }

    void span(int64_t column, int64_t row, int64_t n, const FbPen &pen)
    {
        if (column >= width)
            return;
        const int64_t end = column + n < width ? column + n : width;
        fb_fill_pen(fb, x + column, y + row, end - column, 1, pen);
    }

    void finish() {}
};

constexpr int64_t BAND_BYTES = 65536;  // decoded pixels of one band
constexpr int64_t BAND_ROWS = 16;      // rows per band at most: one mask bit each
constexpr int64_t BAND_COLUMNS = 2048; // wider pictures are drawn directly

// On a screen turned by 90 or 270 degrees a picture row is a device column,
// so pixels stored as they are decoded land a device line apart each, and
// the lines being written do not stay in the cache. This sink decodes a band
// of picture rows into a buffer, then writes each device line's piece of the
// band (one pixel from every band row) at once. B is the bytes per pixel,
// fixed so that every store is one move.
template <int B> struct BandSink {
    Framebuffer *fb;
    FbAxes axes; // step_y is +B or -B
    int x, y;
    int64_t col0, col1; // picture columns on the screen
    int rows;           // rows per band
    int64_t first_row;  // picture row of the band's first row
    int64_t count;      // pixels in the band; each is decoded once
    Bounds drawn;
    // Per band row, the columns it holds a pixel in; only read for a band
    // with holes (transparent pixels, the screen's or the stream's end).
    uint64_t held[BAND_ROWS][BAND_COLUMNS / 64];
    alignas(16) uint8_t px[BAND_BYTES]; // band rows of col1 - col0 pixels

    // Moves the band down so that it holds `row`, writing out the old one.
    void reach(int64_t row)
    {
        if (row < first_row + rows)
            return;
        flush();
        first_row = row;
    }

    bool row_visible(int64_t row) const
    {
        const int64_t sy = y + row;
        return sy >= 0 && sy < fb->height;
    }

    void pixel(int64_t column, int64_t row, const FbPen &pen)
    {
        if (column < col0 || column >= col1 || !row_visible(row))
            return;
        reach(row);
        const int64_t r = row - first_row, i = column - col0;
        memcpy(px + (r * (col1 - col0) + i) * B, pen.b, B);
        held[r][i / 64] |= 1ull << (i % 64);
        count++;
    }

    void span(int64_t column, int64_t row, int64_t n, const FbPen &pen)
    {
        const int64_t from = (column > col0 ? column : col0) - col0;
        const int64_t to = (column + n < col1 ? column + n : col1) - col0;
        if (from >= to || !row_visible(row))
            return;
        reach(row);
        const int64_t r = row - first_row;
        uint8_t *p = px + (r * (col1 - col0) + from) * B;
        for (int64_t i = from; i < to; i++, p += B)
            memcpy(p, pen.b, B);
        uint64_t *h = held[r];
        for (int64_t i = from; i < to;) {
            const int64_t w = i / 64, bit = i % 64;
            const int64_t n_bits = to - i < 64 - bit ? to - i : 64 - bit;
            h[w] |= (n_bits == 64 ? ~0ull : ((1ull << n_bits) - 1)) << bit;
            i += n_bits;
        }
        count += to - from;
    }

    // Writes the band into the device lines it crosses. Band row r goes to
    // position r along the line (step_y = +B) or rows - 1 - r (step_y = -B);
    // only the addresses of pixels held are formed.
    void flush()
    {
        if (count == 0)
            return;
        count = 0;
        const int64_t cols = col1 - col0;
        const ptrdiff_t pitch = (ptrdiff_t)cols * B; // from one band row to the next
        const ptrdiff_t along = axes.step_y;         // the same, on the screen
        const ptrdiff_t start = axes.origin + axes.step_y * (y + first_row);
        int64_t left = cols, right = -1, top = rows, bottom = -1;
        uint64_t word[BAND_ROWS];  // held bits of 64 columns, per band row
        uint64_t all = 0, any = 0; // of those columns: held in every row, in some row
        for (int64_t i = 0; i < cols; i++) {
            const int64_t bit = i % 64;
            if (bit == 0) {
                all = ~0ull;
                any = 0;
                for (int r = 0; r < rows; r++) {
                    word[r] = held[r][i / 64];
                    held[r][i / 64] = 0;
                    all &= word[r];
                    any |= word[r];
                }
            }
            if (!(any >> bit & 1))
                continue;
            if (i < left)
                left = i;
            right = i;
            uint8_t *to = fb->draw_page + (start + axes.step_x * (x + col0 + i));
            const uint8_t *from = px + i * B;
            if (all >> bit & 1) {
                for (int r = 0; r < rows; r++, from += pitch, to += along)
                    memcpy(to, from, B);
                top = 0;
                bottom = rows - 1;
                continue;
            }
            for (int r = 0; r < rows; r++, from += pitch, to += along) {
                if (!(word[r] >> bit & 1))
                    continue;
                memcpy(to, from, B);
                if (r < top)
                    top = r;
                if (r > bottom)
                    bottom = r;
            }
        }
        if (right < 0)
            return;
        drawn.add({x + col0 + left, y + first_row + top, x + col0 + right + 1,
                   y + first_row + bottom + 1});
    }

    void finish() { flush(); }
};

// Each picture pixel becomes a scale x scale square and a run of one colour
// one fill per row it touches; the fill clips and records the damage.
struct ScaledSink {
    Framebuffer *fb;
    int x, y;
    int64_t width; // the picture's
    int64_t scale;

    void span(int64_t column, int64_t row, int64_t n, const FbPen &pen)
    {
        if (column >= width)
            return;
        const int64_t end = column + n < width ? column + n : width;
        fb_fill_pen(fb, x + column * scale, y + row * scale, (end - column) * scale, scale, pen);
    }

    void pixel(int64_t column, int64_t row, const FbPen &pen) { span(column, row, 1, pen); }

    void finish() {}
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

// Walks the stream and hands every pixel to the sink: opaque ones as single
// pixels or as spans of one colour within a row.
template <typename Sink>
static void decode(const Framebuffer *fb, const RleImage *img, int32_t limit, Sink *sink)
{
    const int64_t bpp = img->bytes_per_pixel;
    Cursor c = {0, 0, 1};
    if (img->rowstride > bpp)
        c.per_row = (img->rowstride + bpp - 1) / bpp;
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
            const uint8_t *p = data + at + 1;
            const bool opaque = bpp < 4 || p[3] != 0;
            const FbPen pen = fb_pen(fb, p[0], p[1], p[2]);
            for (int64_t n = h - 0x80; n > 0;) {
                int64_t span = c.per_row - c.column;
                if (span > n)
                    span = n;
                if (opaque)
                    sink->span(c.column, c.row, span, pen);
                n -= span;
                advance(&c, span);
            }
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
            const uint8_t *p = data + at;
            if (bpp < 4 || p[3] != 0)
                sink->pixel(c.column, c.row, fb_pen(fb, p[0], p[1], p[2]));
            at += bpp;
            advance(&c, 1);
            done = at >= limit;
        }
        if (done)
            break;
    }
    sink->finish();
}

// The read limit is the decoded size, as a 32-bit product.
static int32_t read_limit(const RleImage *img)
{
    return (int32_t)((uint32_t)img->height * (uint32_t)img->rowstride);
}

static void add_bounds(Framebuffer *fb, const Bounds &b)
{
    if (b.left < b.right)
        fb_damage_add(
            fb, fb_device_rect(fb, FbRect{(int)b.left, (int)b.top, (int)b.right, (int)b.bottom}));
}

// Decodes a band at a time: for a screen on its side, and a picture narrow
// enough for two rows at least to fit in a band.
template <int B>
static bool draw_banded(Framebuffer *fb, int x, int y, const RleImage *img, int32_t limit,
                        const FbAxes &axes, int64_t col0, int64_t col1)
{
    const int64_t cols = col1 - col0;
    if ((axes.step_y != B && axes.step_y != -B) || cols > BAND_COLUMNS)
        return false;
    const int64_t fit = BAND_BYTES / (cols * B);
    BandSink<B> sink;
    sink.fb = fb;
    sink.axes = axes;
    sink.x = x;
    sink.y = y;
    sink.col0 = col0;
    sink.col1 = col1;
    sink.rows = (int)(fit < BAND_ROWS ? fit : BAND_ROWS);
    sink.first_row = 0;
    sink.count = 0;
    sink.drawn = NO_BOUNDS;
    for (int s = 0; s < sink.rows; s++)
        memset(sink.held[s], 0, sizeof sink.held[s][0] * (size_t)((cols + 63) / 64));
    decode(fb, img, limit, &sink);
    add_bounds(fb, sink.drawn);
    return true;
}

void glimmer_fb_draw_rle(Framebuffer *fb, int x, int y, const RleImage *img)
{
    const int32_t limit = read_limit(img);
    if (img->bytes_per_pixel < 3 || limit <= 0)
        return;
    const FbAxes axes = fb_axes(fb);
    // Picture columns that can reach the screen.
    const int64_t col0 = x < 0 ? -(int64_t)x : 0;
    const int64_t right = (int64_t)fb->width - x;
    const int64_t col1 = img->width < right ? img->width : right;
    if (col0 >= col1)
        return;

    bool done = false;
    if (fb->bpp == 32)
        done = draw_banded<4>(fb, x, y, img, limit, axes, col0, col1);
    else if (fb->bpp == 24)
        done = draw_banded<3>(fb, x, y, img, limit, axes, col0, col1);
    else if (fb->bpp == 16)
        done = draw_banded<2>(fb, x, y, img, limit, axes, col0, col1);
    else
        return; // nothing is written at other depths
    if (done)
        return;
    DirectSink sink = {fb, axes, x, y, img->width, NO_BOUNDS};
    decode(fb, img, limit, &sink);
    add_bounds(fb, sink.drawn);
}

void glimmer_fb_draw_rle_scaled(Framebuffer *fb, int x, int y, const RleImage *img, int scale)
{
    if (scale == 1) {
        glimmer_fb_draw_rle(fb, x, y, img);
        return;
    }
    const int32_t limit = read_limit(img);
    if (img->bytes_per_pixel < 3 || limit <= 0 || scale < 1)
        return;
    ScaledSink sink = {fb, x, y, img->width, scale};
    decode(fb, img, limit, &sink);
}
