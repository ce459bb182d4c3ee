// Two pages on a double-buffered device: after every command both pages hold
// the same picture, so whichever is shown carries everything drawn so far.
#include "stress_rig.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// The picture after `lines` on a device without panning, where every command
// lands on the one page that is shown.
FbemuImage single_page_after(const std::vector<std::string> &lines)
{
    FbemuImage image;
    StressRig rig;
    EXPECT_TRUE(rig.configure(FbemuConfig{}.refuse(FBEMU_PAN, EINVAL)));
    EXPECT_TRUE(rig.start({"-n"}));
    EXPECT_TRUE(rig.wait_ready());
    for (const std::string &line : lines) {
        EXPECT_TRUE(stress_send(rig.fifo, line));
        EXPECT_TRUE(rig.wait_waiting());
    }
    EXPECT_TRUE(glimmer_fbemu_decode_page(rig.dir.path, 0, 0, &image));
    EXPECT_TRUE(stress_send(rig.fifo, "QUIT\n"));
    EXPECT_EQ(glimmer_run_wait(&rig.process, STRESS_TIMEOUT_MS).code, 0);
    EXPECT_EQ(rig.err(), "FBIOPAN_DISPLAY not supported, double buffering disabled\n");
    return image;
}

TEST(Pages, BothPagesInStepAfterEveryCommand)
{
    const std::vector<std::string> commands = {"PROGRESS 30\n", "MSG hello\n", "PROGRESS 60\n"};
    StressRig rig;
    ASSERT_TRUE(rig.configure(FbemuConfig{}));
    ASSERT_TRUE(rig.start());
    ASSERT_TRUE(rig.wait_ready()) << rig.err();
    ASSERT_EQ(rig.flips(), 1u);

    const FbemuDevice d = rig.device();
    ASSERT_EQ(d.yres_virtual, 2 * d.yres) << "the device must have two pages";
    const size_t page_bytes = (size_t)d.line_length * d.yres;
    for (size_t i = 0; i < commands.size(); i++) {
        SCOPED_TRACE(commands[i]);
        ASSERT_TRUE(stress_send(rig.fifo, commands[i]));
        ASSERT_TRUE(rig.wait_flips(2 + (uint32_t)i));
        ASSERT_TRUE(rig.wait_waiting());
        EXPECT_EQ(rig.flips(), 2 + (uint32_t)i);
        std::vector<uint8_t> memory;
        ASSERT_TRUE(glimmer_fbemu_read_memory(rig.dir.path, 0, &memory));
        ASSERT_GE(memory.size(), 2 * page_bytes);
        EXPECT_TRUE(std::equal(memory.begin(), memory.begin() + (ptrdiff_t)page_bytes,
                               memory.begin() + (ptrdiff_t)page_bytes))
            << "the two pages differ";
    }
    // Four flips from "to back": the first page is on display again.
    EXPECT_EQ(rig.device().yoffset, 0u);
    FbemuImage shown;
    ASSERT_TRUE(glimmer_fbemu_decode_shown(rig.dir.path, 0, &shown));
    ASSERT_TRUE(stress_send(rig.fifo, "QUIT\n"));
    const GlimmerExit e = glimmer_run_wait(&rig.process, STRESS_TIMEOUT_MS);
    EXPECT_TRUE(e.exited && e.code == 0);
    EXPECT_EQ(rig.err(), "");
    EXPECT_EQ(rig.out(), "to back\n");

    // The bar at 60 and the message hello, as drawn on a single page.
    const FbemuImage expected = single_page_after(commands);
    ASSERT_EQ(shown.pixels.size(), expected.pixels.size());
    EXPECT_TRUE(shown.pixels == expected.pixels);
    // Neither a missing message nor the older bar would pass unnoticed.
    EXPECT_FALSE(single_page_after({"PROGRESS 30\n", "PROGRESS 60\n"}).pixels == expected.pixels);
    EXPECT_FALSE(single_page_after({"MSG hello\n", "PROGRESS 30\n"}).pixels == expected.pixels);
}

} // namespace
