// Set-up, teardown and flip run in-process against the emulated device
// (libglimmer_fbemu preloaded): each test gets its own device directory.
#pragma once

#include "fbdev/fbdev.h"
#include "fbemu.h"
#include "glimmer_run.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

struct Captured {
    std::string out, err;
};

static inline std::string read_all(FILE *f)
{
    std::string s;
    rewind(f);
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        s.append(buf, n);
    return s;
}

// Runs f with standard output and error going to files; returns both byte for byte.
template <class F> Captured captured(F &&f)
{
    fflush(stdout);
    fflush(stderr);
    FILE *out = tmpfile(), *err = tmpfile();
    const int saved_out = dup(1), saved_err = dup(2);
    if (!out || !err || saved_out < 0 || saved_err < 0)
        abort();
    dup2(fileno(out), 1);
    dup2(fileno(err), 2);
    f();
    fflush(stdout);
    fflush(stderr);
    dup2(saved_out, 1);
    dup2(saved_err, 2);
    close(saved_out);
    close(saved_err);
    Captured o = {read_all(out), read_all(err)};
    fclose(out);
    fclose(err);
    return o;
}

// A small healthy device: 64 x 48 at 32 bpp, RGB888.
static inline FbemuConfig small_device()
{
    FbemuConfig c;
    c.xres = 64;
    c.yres = 48;
    return c;
}

// "What perror writes" for a message and an errno value.
static inline std::string error_style(const std::string &text, int err)
{
    return text + ": " + strerror(err) + "\n";
}

class FbDeviceTest : public ::testing::Test {
  protected:
    TempDir dir;
    FbdevOutput *dev = nullptr;
    Framebuffer *fb = nullptr; // the device's one head

    void SetUp() override
    {
        // Without the interposer the tests would reach for the real device.
        const char *preload = getenv("LD_PRELOAD");
        ASSERT_TRUE(preload && strstr(preload, "glimmer_fbemu")) << "run with LD_PRELOAD";
        setenv("GLIMMER_EMU_DIR", dir.path.c_str(), 1);
    }

    void TearDown() override
    {
        close_fb();
        unsetenv("GLIMMER_EMU_DIR");
    }

    void close_fb()
    {
        if (!dev)
            return;
        uint8_t *mapping = dev->mapping;
        const size_t size = dev->mapping_size;
        glimmer_fbdev_close(&dev->output);
        dev = nullptr;
        fb = nullptr;
        // glimmer_fbdev_close leaves the mapping to the end of the process.
        if (mapping)
            munmap(mapping, size);
    }

    void configure(const FbemuConfig &c, int n = 0)
    {
        ASSERT_TRUE(glimmer_fbemu_write_config(dir.path, n, c));
    }

    Captured open_fb(int angle = 0, int n = 0)
    {
        return captured([&] {
            const OutputOptions options = {n, glimmer_fb_rotation_from_degrees(angle), true, false};
            // Only the fbdev output opens on these devices.
            dev = (FbdevOutput *)glimmer_output_open(&options);
            fb = dev ? &dev->head : nullptr;
            // What the start leaves for after the first picture, without drawing.
            if (dev && glimmer_output_finish(&dev->output) == OUTPUT_FAILED) {
                close_fb();
            }
        });
    }

    Captured flip(int sync)
    {
        return captured([&] { glimmer_fbdev_flip(&dev->output, sync); });
    }

    FbemuDevice state(int n = 0)
    {
        FbemuDevice s;
        memset(&s, 0, sizeof s);
        EXPECT_TRUE(glimmer_fbemu_read_state(dir.path, n, &s));
        return s;
    }

    std::vector<FbemuLogEntry> log(const std::string &name = "", int n = 0)
    {
        const std::vector<FbemuLogEntry> all = glimmer_fbemu_read_log(dir.path, n);
        return name.empty() ? all : glimmer_fbemu_log_of(all, name);
    }

    // Every open of the device was matched by a close.
    void expect_descriptor_closed(int n = 0)
    {
        const FbemuDevice s = state(n);
        EXPECT_EQ(s.opens, 1u);
        EXPECT_EQ(s.closes, s.opens);
        const std::vector<FbemuLogEntry> all = log("", n);
        ASSERT_FALSE(all.empty());
        EXPECT_EQ(all.back().name, "close");
        EXPECT_EQ(all.back().value("fd"), all.front().line.substr(all.front().line.rfind(' ') + 1));
    }
};
