// glimmer-preview against glimmer itself: the preview of a scene equals, byte
// for byte, the PNG of what glimmer shows on an emulated device of the same
// size, rotation, depth and scale after the same commands.
#include "stress_rig.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>

#ifndef GLIMMER_PREVIEW
#error "GLIMMER_PREVIEW must name the glimmer-preview binary"
#endif

namespace {

struct Scene {
    uint32_t width, height;
    const char *scale; // for -s and --scale; empty: left to the theme
};

const Scene scenes[] = {{800, 480, ""}, {1280, 800, "3"}, {480, 272, "2"}};

std::string scene_name(const testing::TestParamInfo<std::tuple<Scene, int, int>> &p)
{
    const auto [scene, angle, depth] = p.param;
    return std::to_string(scene.width) + "x" + std::to_string(scene.height) + "_a" +
           std::to_string(angle) + "_" + std::to_string(depth) + "bpp" +
           (*scene.scale ? std::string("_scale_") + scene.scale : "");
}

// Runs the preview; its exit status, or -1 when it could not be run.
int run_preview(const std::vector<std::string> &args)
{
    const pid_t pid = fork();
    if (pid == 0) {
        std::vector<char *> argv = {const_cast<char *>(GLIMMER_PREVIEW)};
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(GLIMMER_PREVIEW, argv.data());
        _exit(127);
    }
    int status;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

class Preview : public testing::TestWithParam<std::tuple<Scene, int, int>> {};

TEST_P(Preview, EqualsTheEmulatedScreen)
{
    const auto [scene, angle, depth] = GetParam();
    const std::string message = "Preview " + std::to_string(angle);
    StressRig rig;
    FbemuConfig config;
    config.xres = scene.width;
    config.yres = scene.height;
    config.bits_per_pixel = (uint32_t)depth;
    fbemu_default_fields(config.bits_per_pixel, &config.red, &config.green, &config.blue,
                         &config.transp);
    ASSERT_TRUE(rig.configure(config));
    std::vector<std::string> args = {"-n", "-a", std::to_string(angle)};
    if (*scene.scale)
        args.insert(args.end(), {"-s", scene.scale});
    ASSERT_TRUE(rig.start(args));
    ASSERT_TRUE(rig.wait_ready());
    ASSERT_TRUE(stress_send(rig.fifo, "PROGRESS 40\nMSG " + message + "\n"));
    ASSERT_TRUE(rig.wait_flips(3));
    ASSERT_TRUE(rig.wait_waiting());
    FbemuImage shown;
    ASSERT_TRUE(glimmer_fbemu_decode_shown(rig.dir.path, 0, &shown));
    ASSERT_TRUE(stress_send(rig.fifo, "QUIT\n"));
    EXPECT_EQ(glimmer_run_wait(&rig.process, STRESS_TIMEOUT_MS).code, 0);

    const std::string out = rig.dir.path + "/preview.png";
    std::vector<std::string> preview_args = {
        "--size",     std::to_string(scene.width) + "x" + std::to_string(scene.height),
        "--angle",    std::to_string(angle),
        "--depth",    std::to_string(depth),
        "--progress", "40",
        "--message",  message};
    if (*scene.scale)
        preview_args.insert(preview_args.end(), {"--scale", scene.scale});
    preview_args.push_back(out);
    ASSERT_EQ(run_preview(preview_args), 0);
    std::ifstream in(out, std::ios::binary);
    const std::vector<uint8_t> preview((std::istreambuf_iterator<char>(in)),
                                       std::istreambuf_iterator<char>());
    const std::vector<uint8_t> capture = glimmer_fbemu_png(shown);
    ASSERT_EQ(preview.size(), capture.size());
    size_t first = 0;
    while (first < preview.size() && preview[first] == capture[first])
        first++;
    EXPECT_EQ(first, preview.size()) << "the files differ from byte " << first;
}

INSTANTIATE_TEST_SUITE_P(Scenes, Preview,
                         testing::Combine(testing::ValuesIn(scenes),
                                          testing::Values(0, 90, 180, 270),
                                          testing::Values(16, 32)),
                         scene_name);

} // namespace
