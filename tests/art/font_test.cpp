// The built-in font: its tables, its cell design, and text measured and
// drawn with it.
#include "test_page.h"

#include "assets/assets.h"
#include "fb/font.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <set>
#include <string>

namespace
{

bool covered(unsigned cp)
{
    return (cp >= 0x20 && cp <= 0x7E) || (cp >= 0xA0 && cp <= 0xFE);
}

// Glyph number k of a covered code point, in ascending order.
int glyph_number(unsigned cp)
{
    return cp <= 0x7E ? (int)cp - 0x20 : 95 + (int)cp - 0xA0;
}

const uint32_t *rows_of(unsigned cp)
{
    return radon_font.row_words + 12 * glyph_number(cp);
}

std::vector<unsigned> all_glyphs()
{
    std::vector<unsigned> v;
    for (unsigned cp = 0; cp < 0x100; cp++)
        if (covered(cp))
            v.push_back(cp);
    return v;
}

bool row_inked(unsigned cp, int row)
{
    return rows_of(cp)[row] != 0;
}

bool column_inked(unsigned cp, int column)
{
    for (int r = 0; r < 12; r++)
        if (rows_of(cp)[r] & (0x80000000u >> column))
            return true;
    return false;
}

// First and last rows with ink; -1 for a blank glyph.
std::pair<int, int> ink_rows(unsigned cp)
{
    int first = -1, last = -1;
    for (int r = 0; r < 12; r++)
        if (row_inked(cp, r)) {
            if (first < 0)
                first = r;
            last = r;
        }
    return {first, last};
}

std::string pattern(uint32_t word)
{
    std::string s;
    for (int c = 0; c < 8; c++)
        s += word & (0x80000000u >> c) ? '#' : '.';
    return s;
}

TEST(RadonTables, RecordAndLayout)
{
    EXPECT_STREQ(radon_font.name, "radon");
    EXPECT_EQ(radon_font.height, 12);
    EXPECT_EQ(radon_font.bucket_mask, 0xFFu);
    int k = 0, empty = 0;
    for (unsigned cp = 0; cp < 256; cp++) {
        if (!covered(cp)) {
            EXPECT_EQ(radon_font.bucket_table[cp], 569) << cp;
            empty++;
            continue;
        }
        ASSERT_EQ(radon_font.bucket_table[cp], 3 * k) << cp;
        EXPECT_EQ(radon_font.glyph_table[3 * k], 8) << cp;
        EXPECT_EQ(radon_font.glyph_table[3 * k + 1], 12 * k) << cp;
        EXPECT_EQ(radon_font.glyph_table[3 * k + 2], 0) << cp;
        k++;
    }
    EXPECT_EQ(k, 190);
    EXPECT_EQ(empty, 66);
    EXPECT_EQ(radon_font.glyph_table[569], 0);
    for (int i = 0; i < 2280; i++)
        ASSERT_EQ(radon_font.row_words[i] & 0x00FFFFFFu, 0u) << "word " << i;
    EXPECT_EQ(rows_of('A'), radon_font.row_words + 396);
    EXPECT_EQ(rows_of('g'), radon_font.row_words + 852);
    EXPECT_EQ(rows_of(0xFE), radon_font.row_words + 2268);
}

TEST(RadonTables, LookupOfEveryCodePoint)
{
    for (unsigned cp = 0; cp < 0x200; cp++) {
        int width = -1;
        const uint32_t *rows = nullptr;
        const bool found = glimmer_font_find_glyph(&radon_font, (wchar_t)cp, &width, &rows);
        ASSERT_EQ(found, covered(cp)) << std::hex << cp;
        if (found) {
            EXPECT_EQ(width, 8) << cp;
            EXPECT_EQ(rows, rows_of(cp)) << cp;
        }
    }
}

TEST(RadonDesign, TwoGlyphsInFull)
{
    const uint32_t A[12] = {0,          0x7C000000, 0x82000000, 0x82000000, 0x82000000, 0x82000000,
                            0xBA000000, 0x82000000, 0x82000000, 0x82000000, 0,          0};
    const uint32_t g[12] = {0,          0,          0,          0,          0x3C000000, 0x42000000,
                            0x42000000, 0x42000000, 0x42000000, 0x3A000000, 0x02000000, 0x3C000000};
    for (int r = 0; r < 12; r++) {
        EXPECT_EQ(rows_of('A')[r], A[r]) << "A row " << r;
        EXPECT_EQ(rows_of('g')[r], g[r]) << "g row " << r;
    }
}

TEST(RadonDesign, SquaredWithCutCorners)
{
    for (unsigned cp : {'A', 'E', 'O', '0'})
        EXPECT_EQ(pattern(rows_of(cp)[1]), ".#####..") << (char)cp;
    auto has_row = [](unsigned cp, const char *want) {
        for (int r = 0; r < 12; r++)
            if (pattern(rows_of(cp)[r]) == want)
                return true;
        return false;
    };
    for (unsigned cp : {'A', 'H', '0'})
        EXPECT_TRUE(has_row(cp, "#.###.#.")) << (char)cp;
    for (unsigned cp : {'E', 'F'})
        EXPECT_TRUE(has_row(cp, "#.###...")) << (char)cp;
}

TEST(RadonDesign, BlankAndInkedGlyphs)
{
    for (unsigned cp : all_glyphs()) {
        const bool blank = ink_rows(cp).first < 0;
        EXPECT_EQ(blank, cp == 0x20 || cp == 0xA0) << std::hex << cp;
    }
}

TEST(RadonDesign, ColumnSevenOnlyWhereGlyphsJoin)
{
    const std::set<unsigned> wide = {0x5F, 0xB6, 0xBC, 0xBD, 0xBE, 0xC6};
    for (unsigned cp : all_glyphs())
        EXPECT_EQ(column_inked(cp, 7), wide.count(cp) == 1) << std::hex << cp;
}

TEST(RadonDesign, RowZero)
{
    std::set<unsigned> want = {'$',  0xA8, 0xAA, 0xAF, 0xB0, 0xB2, 0xB3,
                               0xB4, 0xB9, 0xBA, 0xBC, 0xBD, 0xBE};
    for (unsigned lo : {0xC0u, 0xE0u})
        for (unsigned cp = lo; cp < lo + 0x1E; cp++) {
            const unsigned i = cp - lo;
            // accented letters: A with marks, E, I, N, O, U, Y
            const bool accented = i <= 5 || (i >= 8 && i <= 15) || (i >= 0x11 && i <= 0x16) ||
                                  (i >= 0x19 && i <= 0x1D);
            if (accented && cp != 0xF1)
                want.insert(cp);
        }
    ASSERT_EQ(want.size(), 62u); // the dollar sign and 61 from 0xA0 up
    for (unsigned cp : all_glyphs())
        EXPECT_EQ(row_inked(cp, 0), want.count(cp) == 1) << std::hex << cp;
}

TEST(RadonDesign, RowsBelowTheBaseline)
{
    int row10 = 0, row11 = 0;
    for (unsigned cp : all_glyphs()) {
        row10 += row_inked(cp, 10);
        row11 += row_inked(cp, 11);
    }
    EXPECT_EQ(row10, 18);
    EXPECT_EQ(row11, 12);
    for (int r = 0; r < 12; r++)
        EXPECT_EQ(rows_of('_')[r], r == 10 ? 0xFF000000u : 0u) << r;
    for (unsigned cp : {'g', 'j', 'p', 'q', 'y'})
        EXPECT_TRUE(row_inked(cp, 11)) << (char)cp;
}

TEST(RadonDesign, DigitsAndCapitals)
{
    std::string letters = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    for (char ch : letters) {
        const unsigned cp = (unsigned char)ch;
        const auto rows = ink_rows(cp);
        EXPECT_EQ(rows.first, 1) << ch;
        EXPECT_EQ(rows.second, ch == 'Q' ? 10 : 9) << ch;
        EXPECT_TRUE(column_inked(cp, 0) || column_inked(cp, 1)) << ch;
        EXPECT_FALSE(column_inked(cp, 7)) << ch;
    }
}

TEST(RadonDesign, LowerCase)
{
    const std::string tall = "bdfhkltij", deep = "gjpqy";
    for (char ch = 'a'; ch <= 'z'; ch++) {
        const auto rows = ink_rows((unsigned char)ch);
        EXPECT_EQ(rows.first, tall.find(ch) != std::string::npos ? 2 : 4) << ch;
        EXPECT_EQ(rows.second, deep.find(ch) != std::string::npos ? 11 : 9) << ch;
        // Every letter stands on the baseline row.
        EXPECT_TRUE(row_inked((unsigned char)ch, 9)) << ch;
    }
}

// ---- measuring and drawing text ----

struct Measure {
    const char *text;
    int width, height;
};

TEST(RadonText, Measure)
{
    const Measure cases[] = {
        {"", 0, 12},
        {"AB", 16, 12},
        {"AB\nE", 16, 12},
        {"\n\n", 0, 24},
        {"A\tB", 16, 12},
        {"A\x7F"
         "B",
         16, 12},
        {"abc\nde\n", 24, 24},
        {" ", 8, 12},
        {"Battery low", 88, 12},
    };
    for (const Measure &m : cases) {
        int w = -1, h = -1;
        glimmer_fb_measure_text(&w, &h, &radon_font, m.text);
        EXPECT_EQ(w, m.width) << '"' << m.text << '"';
        EXPECT_EQ(h, m.height) << '"' << m.text << '"';
    }
}

// Draws every ink pixel of the glyphs at their cells, the straightforward way.
void reference_glyph(Framebuffer *fb, int x, int y, unsigned cp, uint8_t r, uint8_t g, uint8_t b)
{
    const uint32_t *rows = rows_of(cp);
    for (int row = 0; row < 12; row++)
        for (int c = 0; c < 8; c++)
            if (rows[row] & (0x80000000u >> c))
                glimmer_fb_put_pixel(fb, x + c, y + row, r, g, b);
}

struct Cell {
    unsigned cp;
    int dx, dy; // cell position relative to the text's origin
};

struct DrawCase {
    const char *name;
    const char *text;
    int x, y;
    std::vector<Cell> cells;
};

TEST(RadonText, DrawPlacesEachGlyph)
{
    const int W = 64, H = 40;
    const DrawCase cases[] = {
        {"empty", "", 5, 5, {}},
        {"AB", "AB", 5, 5, {{'A', 0, 0}, {'B', 8, 0}}},
        {"line break", "AB\nE", 5, 5, {{'A', 0, 0}, {'B', 8, 0}, {'E', 0, 12}}},
        {"two line breaks", "\n\nZ", 5, 2, {{'Z', 0, 24}}},
        {"tab takes no room", "A\tB", 5, 5, {{'A', 0, 0}, {'B', 8, 0}}},
        {"space moves the pen", "A B", 5, 5, {{'A', 0, 0}, {'B', 16, 0}}},
        {"clipped left", "AB", -3, 5, {{'A', 0, 0}, {'B', 8, 0}}},
        {"clipped right", "AB", W - 11, 5, {{'A', 0, 0}, {'B', 8, 0}}},
        {"clipped top", "Mg", 10, -5, {{'M', 0, 0}, {'g', 8, 0}}},
        {"clipped bottom", "Mg", 10, H - 7, {{'M', 0, 0}, {'g', 8, 0}}},
        {"off every edge",
         "WW\nWW",
         -4,
         -6,
         {{'W', 0, 0}, {'W', 8, 0}, {'W', 0, 12}, {'W', 8, 12}}},
        {"wholly off", "AB", W + 2, 0, {}},
    };
    for (const DrawCase &c : cases) {
        TestPage got(W, H), want(W, H);
        glimmer_fb_draw_text(got.fb.get(), c.x, c.y, 10, 20, 30, &radon_font, c.text);
        for (const Cell &cell : c.cells)
            reference_glyph(want.fb.get(), c.x + cell.dx, c.y + cell.dy, cell.cp, 10, 20, 30);
        EXPECT_TRUE(got.memory == want.memory) << c.name;
    }
    // Drawing something at all: the reference is not trivially empty.
    TestPage page(W, H);
    glimmer_fb_draw_text(page.fb.get(), 0, 0, 1, 2, 3, &radon_font, "A");
    EXPECT_EQ(page.device(1, 1), 0x010203u);
}

// Every glyph that text can reach in the C locale, drawn alone, shows exactly
// its row words.
TEST(RadonText, EveryAsciiGlyphDrawsItsRows)
{
    for (unsigned cp = 0x20; cp <= 0x7E; cp++) {
        TestPage page(12, 16);
        const char text[2] = {(char)cp, 0};
        glimmer_fb_draw_text(page.fb.get(), 2, 2, 255, 255, 255, &radon_font, text);
        for (int y = 0; y < 16; y++)
            for (int x = 0; x < 12; x++) {
                const int c = x - 2, r = y - 2;
                const bool ink =
                    c >= 0 && c < 8 && r >= 0 && r < 12 && (rows_of(cp)[r] & (0x80000000u >> c));
                ASSERT_EQ(page.device(x, y), ink ? 0xFFFFFFu : UNTOUCHED)
                    << std::hex << cp << std::dec << " at " << x << "," << y;
            }
    }
}

// In a UTF-8 locale text reaches the ISO 8859-1 glyphs, and a code point
// above 0xFF that shares a bucket with a glyph finds nothing.
class Utf8Text : public testing::Test
{
  protected:
    void SetUp() override
    {
        if (!setlocale(LC_CTYPE, "C.UTF-8"))
            GTEST_SKIP() << "no C.UTF-8 locale";
    }
    void TearDown() override
    {
        setlocale(LC_CTYPE, "C");
    }
};

TEST_F(Utf8Text, Latin1GlyphsDrawTheirRows)
{
    for (unsigned cp = 0xA0; cp <= 0xFE; cp++) {
        const char text[3] = {(char)(0xC0 | cp >> 6), (char)(0x80 | (cp & 0x3F)), 0};
        TestPage got(8, 12), want(8, 12);
        glimmer_fb_draw_text(got.fb.get(), 0, 0, 9, 9, 9, &radon_font, text);
        reference_glyph(want.fb.get(), 0, 0, cp, 9, 9, 9);
        ASSERT_TRUE(got.memory == want.memory) << std::hex << cp;
    }
}

TEST_F(Utf8Text, CodePointAboveTheTableIsSkipped)
{
    // U+0141 falls into the bucket of A.
    int w = -1, h = -1;
    glimmer_fb_measure_text(&w, &h, &radon_font,
                            "A\xC5\x81"
                            "B");
    EXPECT_EQ(w, 16);
    TestPage got(40, 12), want(40, 12);
    glimmer_fb_draw_text(got.fb.get(), 0, 0, 9, 9, 9, &radon_font,
                         "A\xC5\x81"
                         "B");
    reference_glyph(want.fb.get(), 0, 0, 'A', 9, 9, 9);
    reference_glyph(want.fb.get(), 8, 0, 'B', 9, 9, 9);
    EXPECT_TRUE(got.memory == want.memory);
}

// A byte the C locale's conversion rejects ends the text there.
TEST(RadonText, RejectedByteEndsTheText)
{
    unsigned rejected = 0;
    for (unsigned b = 0x80; b <= 0xFF && !rejected; b++) {
        const char s[2] = {(char)b, 0};
        wchar_t wc;
        (void)mbtowc(nullptr, nullptr, 0);
        if (mbtowc(&wc, s, 1) < 0)
            rejected = b;
    }
    if (!rejected)
        GTEST_SKIP() << "this C library's C locale accepts every byte";
    const char text[] = {'A', 'B', (char)rejected, 'C', 'D', 0};
    int w = -1, h = -1;
    glimmer_fb_measure_text(&w, &h, &radon_font, text);
    EXPECT_EQ(w, 16);
    TestPage got(48, 12), want(48, 12);
    glimmer_fb_draw_text(got.fb.get(), 0, 0, 9, 9, 9, &radon_font, text);
    reference_glyph(want.fb.get(), 0, 0, 'A', 9, 9, 9);
    reference_glyph(want.fb.get(), 8, 0, 'B', 9, 9, 9);
    EXPECT_TRUE(got.memory == want.memory);
}

} // namespace
