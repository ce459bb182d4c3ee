// How fast glimmer draws, measured against what the memory allows.
//
// Every case has a limit: a memset (for what is filled) or memcpy (for what is
// copied) of the same bytes in the same memory, measured in the same run.
// After the runs a table gives each case's time as a ratio to its limit, next
// to the straightforward per-pixel version of the same work (the plain pixel
// rule the differential tests check the fast paths against).
#include "mem_output.h"

#include "app/command.h"
#include "app/layout.h"
#include "assets/assets.h"
#include "assets/theme.h"
#include "fb/font.h"
#include "fb/framebuffer.h"
#include "output/output.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

extern int bench_flip_fd; // bench_ioctl.cpp

namespace {

enum { SCREEN_W = 1920, SCREEN_H = 1080 };

// 60 characters, as a status line might read.
const char MESSAGE_60[] = "Installing system update 3 of 7: please keep the power on...";
static_assert(sizeof MESSAGE_60 - 1 == 60, "the message case draws 60 characters");

// What a case is judged by. A case with a limit is reported as a ratio to
// it; target_ratio (when > 0) is the largest ratio that meets the goal, and
// target_us (when > 0) an absolute time goal.
struct Case {
    std::string name;
    std::string limit;
    double target_ratio;
    double target_us;
};

std::vector<Case> &cases()
{
    static std::vector<Case> list;
    return list;
}

// A double-buffered 1920x1080 record over plain memory whose flips reach the
// stand-in ioctl (an open /dev/null takes the pan).
static int flip_fd()
{
    if (bench_flip_fd < 0)
        bench_flip_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
    return bench_flip_fd;
}

struct Screen {
    MemFb m;
    MemOutput out;
    explicit Screen(int bpp, int angle = 0, bool two_pages = false)
        : m(SCREEN_W, SCREEN_H, bpp, bpp == 16 ? FB_FORMAT_RGB565 : FB_FORMAT_RGB888, angle, 0,
            two_pages),
          out(&m, flip_fd())
    {}
    Framebuffer *fb() { return &m.fb; }
    Output *output() { return out.output(); }
    size_t page() const { return m.page_size(); }
};

int picture_left(const Framebuffer *fb)
{
    return (fb->width - splash_image.width) / 2;
}
int picture_top(const Framebuffer *fb)
{
    return ((fb->height * 5) / 6 - splash_image.height) / 2;
}
int bar_top(const Framebuffer *fb)
{
    return fb->height - fb->height / 6;
}

void add(const std::string &name, const std::string &limit, double target_ratio = 0,
         double target_us = 0)
{
    cases().push_back({name, limit, target_ratio, target_us});
}

double fastest(const std::vector<double> &v)
{
    return v.empty() ? 0 : *std::min_element(v.begin(), v.end());
}

// Times are the thread's processor time (user and system), which other work
// on a busy machine does not inflate the way it inflates wall time; with
// repetitions each case is also summarised by its fastest repetition.
template <typename F> void reg(const std::string &name, F body)
{
    benchmark::RegisterBenchmark(name.c_str(), body)
        ->Unit(benchmark::kMicrosecond)
        ->ComputeStatistics("min", fastest);
}

// Full-screen fills, every depth and angle; the limit is a memset of the page.
void register_fills()
{
    for (int bpp : {16, 24, 32}) {
        const std::string depth = std::to_string(bpp) + "bpp";
        const std::string limit = "limit/memset_page/" + depth;
        reg(limit, [bpp](benchmark::State &st) {
            Screen s(bpp);
            for (auto _ : st) {
                memset(s.m.fb.draw_page, 0x5A, s.page());
                benchmark::ClobberMemory();
            }
        });
        for (int angle : {0, 90, 180, 270}) {
            const std::string name = "fill/" + depth + "/a" + std::to_string(angle);
            reg(name, [bpp, angle](benchmark::State &st) {
                Screen s(bpp, angle);
                uint8_t v = 0;
                for (auto _ : st) {
                    glimmer_fb_fill_rect(s.fb(), 0, 0, s.m.fb.width, s.m.fb.height, v, 255, 7);
                    v++;
                    benchmark::ClobberMemory();
                }
            });
            add(name, limit, bpp == 24 ? 3.0 : 1.5);
            reg(name + "/per_pixel", [bpp, angle](benchmark::State &st) {
                Screen s(bpp, angle);
                uint8_t v = 0;
                for (auto _ : st) {
                    reference_fill_rect(s.fb(), 0, 0, s.m.fb.width, s.m.fb.height, v, 255, 7);
                    v++;
                    benchmark::ClobberMemory();
                }
            });
            add(name + "/per_pixel", limit);
        }
    }
    // The pixel rule itself, called once per pixel.
    reg("fill/32bpp/a0/put_pixel_loop", [](benchmark::State &st) {
        Screen s(32);
        uint8_t v = 0;
        for (auto _ : st) {
            for (int y = 0; y < SCREEN_H; y++)
                for (int x = 0; x < SCREEN_W; x++)
                    glimmer_fb_put_pixel(s.fb(), x, y, v, 255, 7);
            v++;
            benchmark::ClobberMemory();
        }
    });
    add("fill/32bpp/a0/put_pixel_loop", "limit/memset_page/32bpp");
}

// The splash picture at its place in the scene; the limit copies the same
// 800x480 rectangle, already decoded, row by row into the page.
void register_picture()
{
    for (int angle : {0, 90, 180, 270}) {
        const std::string a = "/a" + std::to_string(angle);
        const std::string limit = "limit/memcpy_picture_rect" + a;
        reg(limit, [angle](benchmark::State &st) {
            Screen s(32, angle);
            const size_t row = (size_t)splash_image.width * 4;
            std::vector<uint8_t> decoded(row * (size_t)splash_image.height, 0x33);
            // The device rectangle the picture covers: 800x480 upright,
            // 480x800 on its side.
            const bool side = angle == 90 || angle == 270;
            const int dw = side ? splash_image.height : splash_image.width;
            const int dh = side ? splash_image.width : splash_image.height;
            uint8_t *to = s.m.fb.draw_page + (size_t)s.m.fb.stride * 100 + 4 * 200;
            for (auto _ : st) {
                for (int y = 0; y < dh; y++)
                    memcpy(to + (size_t)s.m.fb.stride * (size_t)y,
                           decoded.data() + (size_t)y * (size_t)dw * 4, (size_t)dw * 4);
                benchmark::ClobberMemory();
            }
        });
        reg("splash" + a, [angle](benchmark::State &st) {
            Screen s(32, angle);
            for (auto _ : st) {
                glimmer_fb_draw_rle(s.fb(), picture_left(s.fb()), picture_top(s.fb()),
                                    &splash_image);
                benchmark::ClobberMemory();
            }
        });
        add("splash" + a, limit);
        reg("splash" + a + "/per_pixel", [angle](benchmark::State &st) {
            Screen s(32, angle);
            for (auto _ : st) {
                reference_draw_rle(s.fb(), picture_left(s.fb()), picture_top(s.fb()),
                                   &splash_image);
                benchmark::ClobberMemory();
            }
        });
        add("splash" + a + "/per_pixel", limit);
    }
}

// A 60-character message: the full-width band cleared and the text drawn.
// The limit is a memset of the band's bytes.
void register_message()
{
    for (int angle : {0, 90}) {
        const std::string a = "/a" + std::to_string(angle);
        const std::string limit = "limit/memset_band" + a;
        reg(limit, [angle](benchmark::State &st) {
            Screen s(32, angle);
            const size_t bytes = (size_t)s.m.fb.width * 4 * (size_t)radon_font.height;
            for (auto _ : st) {
                memset(s.m.fb.draw_page + (size_t)s.m.fb.stride * 500, 0x5A, bytes);
                benchmark::ClobberMemory();
            }
        });
        reg("message60" + a, [angle](benchmark::State &st) {
            Screen s(32, angle);
            for (auto _ : st) {
                glimmer_draw_message(s.fb(), MESSAGE_60);
                benchmark::ClobberMemory();
            }
        });
        add("message60" + a, limit);
        reg("message60" + a + "/per_pixel", [angle](benchmark::State &st) {
            Screen s(32, angle);
            Framebuffer *fb = s.fb();
            for (auto _ : st) {
                int w, h;
                glimmer_fb_measure_text(&w, &h, &radon_font, MESSAGE_60);
                reference_fill_rect(fb, 0, bar_top(fb) - h, fb->width, h, 255, 255, 255);
                reference_draw_text(fb, (fb->width - w) / 2, bar_top(fb) - h, 109, 109, 112,
                                    &radon_font, MESSAGE_60);
                benchmark::ClobberMemory();
            }
        });
        add("message60" + a + "/per_pixel", limit);
    }
    // Three times as large: a fill for each run of ink, against a memset of
    // the band's bytes at that height.
    reg("limit/memset_band/scale3", [](benchmark::State &st) {
        Screen s(32);
        const size_t bytes = (size_t)s.m.fb.width * 4 * (size_t)radon_font.height * 3;
        for (auto _ : st) {
            memset(s.m.fb.draw_page + (size_t)s.m.fb.stride * 500, 0x5A, bytes);
            benchmark::ClobberMemory();
        }
    });
    reg("message60/a0/scale3", [](benchmark::State &st) {
        Screen s(32);
        glimmer_layout_set_scale(3);
        for (auto _ : st) {
            glimmer_draw_message(s.fb(), MESSAGE_60);
            benchmark::ClobberMemory();
        }
        glimmer_layout_set_scale(THEME_SCALE);
    });
    add("message60/a0/scale3", "limit/memset_band/scale3");
}

// The whole initial scene on a double-buffered screen, its closing flip with
// the copy of the page included. The limit is one memset and one memcpy of a
// page.
void register_scene()
{
    reg("limit/memset+memcpy_page", [](benchmark::State &st) {
        Screen s(32, 0, true);
        for (auto _ : st) {
            memset(s.m.fb.draw_page, 0x5A, s.page());
            memcpy(s.m.fb.shown_page, s.m.fb.draw_page, s.page());
            benchmark::ClobberMemory();
        }
    });
    for (int angle : {0, 90, 180, 270}) {
        const std::string name = angle == 0 ? "scene" : "scene/a" + std::to_string(angle);
        reg(name, [angle](benchmark::State &st) {
            Screen s(32, angle, true);
            for (auto _ : st) {
                glimmer_command_draw_initial_scene(s.output());
                benchmark::ClobberMemory();
            }
        });
        add(name, "limit/memset+memcpy_page", 2.0);
    }
    reg("scene/per_pixel", [](benchmark::State &st) {
        Screen s(32, 0, true);
        Framebuffer *fb = s.fb();
        const int W = fb->width, H = fb->height, bl = (W - 230) / 2, bt = bar_top(fb);
        for (auto _ : st) {
            reference_fill_rect(fb, 0, 0, W, H, 255, 255, 255);
            reference_draw_rle(fb, picture_left(fb), picture_top(fb), &splash_image);
            reference_draw_rle(fb, bl, bt, &bar_frame_image);
            reference_fill_rect(fb, bl + 4, bt + 4, 222, 20, 236, 236, 225);
            reference_fill_rect(fb, 0, bt - 12, W, 12, 255, 255, 255);
            glimmer_output_flip(s.output(), true);
            benchmark::ClobberMemory();
        }
    });
    add("scene/per_pixel", "limit/memset+memcpy_page");
}

// One "PROGRESS" command: parse, draw, flip (vertical-sync wait left out, the
// pan a real system call) and bring the other page up to date. The limit
// fills the bar's interior and copies it to the other page.
void register_progress()
{
    reg("limit/bar_memset+memcpy", [](benchmark::State &st) {
        Screen s(32, 0, true);
        const size_t row = 222 * 4;
        uint8_t *at = s.m.fb.draw_page + (size_t)s.m.fb.stride * 904 + 4 * 849;
        uint8_t *other = s.m.fb.shown_page + (size_t)s.m.fb.stride * 904 + 4 * 849;
        for (auto _ : st) {
            for (int y = 0; y < 20; y++)
                memset(at + (size_t)s.m.fb.stride * (size_t)y, 0x5A, row);
            for (int y = 0; y < 20; y++)
                memcpy(other + (size_t)s.m.fb.stride * (size_t)y,
                       at + (size_t)s.m.fb.stride * (size_t)y, row);
            benchmark::ClobberMemory();
        }
    });
    // Lines with values spread over the bar, so that each flip moves it.
    static char lines[8][16];
    static size_t lengths[8];
    const int values[8] = {3, 97, 50, -40, 12, 100, -100, 71};
    for (int i = 0; i < 8; i++)
        lengths[i] = (size_t)snprintf(lines[i], sizeof lines[i], "PROGRESS %d", values[i]);

    reg("progress/run_line", [](benchmark::State &st) {
        Screen s(32, 0, true);
        glimmer_command_draw_initial_scene(s.output());
        unsigned i = 0;
        for (auto _ : st) {
            glimmer_command_run_line(s.output(), lines[i & 7], lengths[i & 7]);
            i++;
        }
    });
    add("progress/run_line", "limit/bar_memset+memcpy", 0, 20);

    // Through the whole loop: the line written into a pipe, the wait, the
    // read, the split into lines; a "QUIT" behind it returns from the loop.
    reg("progress/loop_via_pipe", [](benchmark::State &st) {
        Screen s(32, 0, true);
        glimmer_command_draw_initial_scene(s.output());
        int p[2];
        if (pipe(p) != 0) {
            st.SkipWithError("pipe");
            return;
        }
        (void)fcntl(p[0], F_SETFL, O_NONBLOCK);
        sigset_t mask;
        sigprocmask(SIG_SETMASK, nullptr, &mask);
        char text[8][32];
        size_t n[8];
        for (int i = 0; i < 8; i++) {
            memcpy(text[i], lines[i], lengths[i]);
            memcpy(text[i] + lengths[i], "\nQUIT\n", 6);
            n[i] = lengths[i] + 6;
        }
        unsigned i = 0;
        for (auto _ : st) {
            if (write(p[1], text[i & 7], n[i & 7]) != (ssize_t)n[i & 7]) {
                st.SkipWithError("write");
                break;
            }
            if (glimmer_command_loop(s.output(), p[0], &mask) != 0) {
                st.SkipWithError("loop");
                break;
            }
            i++;
        }
        close(p[0]);
        close(p[1]);
    });
    add("progress/loop_via_pipe", "limit/bar_memset+memcpy", 0, 20);

    reg("progress/per_pixel", [](benchmark::State &st) {
        Screen s(32, 0, true);
        Framebuffer *fb = s.fb();
        const int left = (fb->width - 230) / 2 + 4, top = bar_top(fb) + 4;
        unsigned i = 0;
        for (auto _ : st) {
            const int f = 222 * ((int)(i * 37) % 101) / 100;
            reference_fill_rect(fb, left + f, top, 222 - f, 20, 236, 236, 225);
            reference_fill_rect(fb, left, top, f, 20, 109, 109, 112);
            glimmer_output_flip(s.output(), false);
            i++;
        }
    });
    add("progress/per_pixel", "limit/bar_memset+memcpy");
}

// One "PROGRESS" command on the DRM output over an emulated card (run.sh
// preloads the DRM emulation): drawing on every head, a page flip per head,
// the wait for the flip events and the copy of the changed rectangle into
// each head's other buffer, at 1920x1080 on one head and on two. The
// emulator's work for each request is in the figures; two heads should cost
// at most twice one.
static Output *open_emulated_card(const std::string &dir, int heads)
{
    std::string conf = "crtcs " + std::to_string(heads) + "\n";
    for (int h = 1; h <= heads; h++)
        conf += "connector Virtual-" + std::to_string(h) + " connected 1920x1080*\n";
    for (int h = 1; h <= heads; h++)
        conf += "plane primary XR24\n";
    FILE *f = fopen((dir + "/card0.conf").c_str(), "w");
    if (!f)
        return nullptr;
    fputs(conf.c_str(), f);
    fclose(f);
    setenv("GLIMMER_EMU_DIR", dir.c_str(), 1);
    const OutputOptions options = {0, FB_ROTATE_0, false, true};
    return glimmer_output_open(&options);
}

void register_drm()
{
    for (const int heads : {1, 2}) {
        const std::string name = "progress/drm_" + std::to_string(heads) + "_head";
        reg(name, [heads](benchmark::State &st) {
            char dir[] = "/dev/shm/glimmer-bench-drm-XXXXXX";
            if (!mkdtemp(dir)) {
                st.SkipWithError("no directory for the emulated card");
                return;
            }
            Output *out = open_emulated_card(dir, heads);
            if (!out || out->head_count != heads) {
                st.SkipWithError("no emulated card: LD_PRELOAD libglimmer_drmemu.so");
            } else {
                glimmer_command_draw_initial_scene(out);
                static char line[] = "PROGRESS 50";
                int i = 0;
                for (auto _ : st) {
                    // Alternating values, so that each flip moves the bar.
                    line[9] = (i++ & 1) ? '7' : '3';
                    glimmer_command_run_line(out, line, sizeof line - 1);
                }
            }
            glimmer_output_close(out);
            std::filesystem::remove_all(dir);
        });
    }
    add("progress/drm_2_head", "progress/drm_1_head", 2.0);
}

// Prints the usual console output, then the table of ratios.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &r : runs) {
            if (r.error_occurred)
                continue;
            // With repetitions, judge by the fastest one.
            if (r.run_type == Run::RT_Aggregate && r.aggregate_name != "min")
                continue;
            const double us =
                r.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(r.time_unit) * 1e6;
            times_[r.run_name.function_name] = us;
        }
    }

    void Finalize() override
    {
        ConsoleReporter::Finalize();
        FILE *out = stdout;
        fflush(out);
        fprintf(out, "\n%-32s %12s %12s %8s %8s  %s\n", "case", "time (us)", "limit (us)", "ratio",
                "target", "verdict");
        for (const Case &c : cases()) {
            const auto t = times_.find(c.name), l = times_.find(c.limit);
            if (t == times_.end())
                continue;
            const double limit = l == times_.end() ? 0 : l->second;
            const double ratio = limit > 0 ? t->second / limit : 0;
            std::string target = "-", verdict = "";
            char buf[32];
            if (c.target_ratio > 0 && limit <= 0) {
                target = "limit?";
                verdict = "limit not run";
            } else if (c.target_ratio > 0) {
                snprintf(buf, sizeof buf, "<=%.1fx", c.target_ratio);
                target = buf;
                verdict = ratio <= c.target_ratio ? "met" : "MISSED";
            } else if (c.target_us > 0) {
                snprintf(buf, sizeof buf, "<%.0fus", c.target_us);
                target = buf;
                verdict = t->second < c.target_us ? "met" : "MISSED";
            }
            fprintf(out, "%-32s %12.2f %12.2f %7.2fx %8s  %s\n", c.name.c_str(), t->second, limit,
                    ratio, target.c_str(), verdict.c_str());
        }
        if (splash_image.size < 64)
            fprintf(out, "note: the built-in splash picture is a %zu-byte placeholder\n",
                    splash_image.size);
        fflush(out);
    }

  private:
    std::map<std::string, double> times_;
};

} // namespace

int main(int argc, char **argv)
{
    register_fills();
    register_picture();
    register_message();
    register_scene();
    register_progress();
    register_drm();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
