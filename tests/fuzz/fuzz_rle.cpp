// Run-length pictures: any stream, any picture values (negative and huge
// included), any position, on any screen, drawn both by glimmer_fb_draw_rle
// and by the per-pixel reference decoder. The stream is the rest of the input,
// so a read past its end is a read past libFuzzer's buffer.
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput in = {data, size}, again = in;
    const std::unique_ptr<MemFb> fast = fuzz_screen(in, 160, false);
    const std::unique_ptr<MemFb> slow = fuzz_screen(again, 160, false);
    RleImage image;
    image.width = in.number();
    image.height = in.number();
    image.bytes_per_pixel = in.number();
    image.rowstride = in.number();
    const int x = in.number(), y = in.number();
    image.data = in.data;
    image.size = in.size;

    const std::vector<uint8_t> before = fast->draw_page();
    glimmer_fb_draw_rle(&fast->fb, x, y, &image);
    reference_draw_rle(&slow->fb, x, y, &image);
    fuzz_check_bounds(*fast);
    fuzz_check_damage(*fast, before);
    fuzz_check_same(*fast, *slow);
    return 0;
}
