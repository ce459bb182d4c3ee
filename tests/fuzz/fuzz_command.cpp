// The command channel: any bytes, cut into reads of any length (a read of
// length 0 is the writer closing), through the line framing and the commands
// onto a screen drawn with the real layout. After every read nothing may
// have been written around the pages; at the end nothing may have been
// written into the padding of a line, and on a double-buffered screen both
// pages must hold the same picture (comparing them after every read would
// cost more than the rest of the run).
#include "fuzz_support.h"

#include "app/command.h"
#include "app/layout.h"
#include "fb/mem_output.h"

#include <algorithm>
#include <cstring>

static void check_pages(const MemFb &m)
{
    fuzz_check_bounds(m);
    if (m.fb.double_buffered &&
        memcmp(m.fb.draw_page, m.fb.shown_page, (size_t)m.fb.stride * m.fb.real_height) != 0)
        fuzz_fail("the pages differ after a flip");
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput in = {data, size};
    const std::unique_ptr<MemFb> screen = fuzz_screen(in, 1030, true);
    Framebuffer *fb = &screen->fb;
    MemOutput mem(screen.get());
    Output *out = mem.output();
    // The start-up scene decodes the whole splash picture, which costs more
    // than all the rest of a run; the picture decoder has a target of its
    // own, so only a byte of 1 starts from that scene, any other value from a
    // white screen.
    if (in.byte() == 1) {
        glimmer_command_draw_initial_scene(out);
    } else {
        glimmer_fb_fill_rect(fb, 0, 0, fb->width, fb->height, 255, 255, 255);
        glimmer_output_flip(out, true);
    }
    check_pages(*screen);

    const std::unique_ptr<CommandReader> reader(new CommandReader);
    reader->kept = 0;
    CommandResult result = COMMAND_CONTINUE;
    while (in.size > 0 && result != COMMAND_QUIT) {
        size_t n = in.u16() % (COMMAND_BUFFER_SIZE + 1);
        n = std::min({n, (size_t)COMMAND_BUFFER_SIZE - reader->kept, in.size});
        memcpy(reader->buffer + reader->kept, in.data, n);
        in.data += n;
        in.size -= n;
        result = glimmer_command_feed(out, reader.get(), n, n == 0);
        if (!screen->guards_intact())
            fuzz_fail("bytes around the pages were written");
    }
    if (result != COMMAND_QUIT) // the last writer closes
        (void)glimmer_command_feed(out, reader.get(), 0, true);
    check_pages(*screen);
    return 0;
}
