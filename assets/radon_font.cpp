// The built-in 8 x 12 font. Its glyphs are drawn as text in radon_glyphs.inc
// and the three tables are built from that text while compiling, so the text
// is the one place where a glyph is edited and no tool has to run first.
#include "assets/assets.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace
{

constexpr char GLYPH_TEXT[] =
#include "assets/radon_glyphs.inc"
    ;

enum {
    CELL_WIDTH = 8,
    CELL_HEIGHT = 12,
    GLYPH_COUNT = 190,
    BUCKET_COUNT = 256,
    LIST_LENGTH = 3, // key, row offset, and the 0 that closes the bucket's list
};

struct Tables {
    std::array<int32_t, BUCKET_COUNT> buckets;
    std::array<int32_t, LIST_LENGTH * GLYPH_COUNT> glyphs;
    std::array<uint32_t, CELL_HEIGHT * GLYPH_COUNT> rows;
};

// Not constexpr on purpose: reaching it while the tables are built stops the
// compiler at the call, whose argument says what is wrong with the text.
void glyph_text_error(const char *) {}

struct Reader {
    const char *text;
    size_t size, at;

    constexpr bool done() const
    {
        return at >= size;
    }
    // The next line, without its line end; at moves past it.
    constexpr size_t line(size_t *length)
    {
        const size_t start = at;
        while (at < size && text[at] != '\n')
            at++;
        *length = at - start;
        if (at < size)
            at++;
        return start;
    }
};

constexpr int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

constexpr Tables build_tables()
{
    Tables t{};
    // Code points without a glyph share the 0 that closes the last list.
    for (int32_t &b : t.buckets)
        b = LIST_LENGTH * GLYPH_COUNT - 1;

    Reader r = {GLYPH_TEXT, sizeof GLYPH_TEXT - 1, 0};
    int count = 0, previous = -1;
    while (!r.done()) {
        size_t n = 0;
        const size_t s = r.line(&n);
        if (n == 0 || (n >= 2 && r.text[s] == '/' && r.text[s + 1] == '/'))
            continue;
        // A glyph block: "0xHH" and an optional name, then the rows.
        if (n < 4 || r.text[s] != '0' || r.text[s + 1] != 'x')
            glyph_text_error("expected a code point such as 0x41");
        int code_point = 0;
        size_t i = s + 2;
        for (; i < s + n && hex_digit(r.text[i]) >= 0; i++)
            code_point = code_point * 16 + hex_digit(r.text[i]);
        if (i == s + 2 || (i < s + n && r.text[i] != ' '))
            glyph_text_error("malformed code point");
        if (code_point >= BUCKET_COUNT)
            glyph_text_error("code point beyond the font's 256 buckets");
        if (code_point <= previous)
            glyph_text_error("glyphs must come in ascending order of code point");
        if (count == GLYPH_COUNT)
            glyph_text_error("more glyphs than the tables hold");

        for (int row = 0; row < CELL_HEIGHT; row++) {
            const size_t rs = r.line(&n);
            if (n != CELL_WIDTH)
                glyph_text_error("a glyph row must be 8 characters of . and #");
            uint32_t word = 0;
            for (int c = 0; c < CELL_WIDTH; c++) {
                const char p = r.text[rs + (size_t)c];
                if (p == '#')
                    word |= 0x80000000u >> c;
                else if (p != '.')
                    glyph_text_error("a glyph row must be 8 characters of . and #");
            }
            t.rows[(size_t)(CELL_HEIGHT * count + row)] = word;
        }
        // Code points below 256 have no bits above the mask: the key is the width.
        t.glyphs[(size_t)(LIST_LENGTH * count)] = CELL_WIDTH;
        t.glyphs[(size_t)(LIST_LENGTH * count + 1)] = CELL_HEIGHT * count;
        t.glyphs[(size_t)(LIST_LENGTH * count + 2)] = 0;
        t.buckets[(size_t)code_point] = LIST_LENGTH * count;
        previous = code_point;
        count++;
    }
    if (count != GLYPH_COUNT)
        glyph_text_error("fewer glyphs than the tables hold");
    return t;
}

constexpr Tables TABLES = build_tables();

} // namespace

const BitmapFont radon_font = {
    "radon", CELL_HEIGHT, 0xFF, TABLES.buckets.data(), TABLES.glyphs.data(), TABLES.rows.data(),
};
