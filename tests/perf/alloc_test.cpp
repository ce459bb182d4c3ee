// The command loop allocates nothing: every command is parsed in the receive
// area, drawn straight into the page and flipped, whatever it says and
// however the writers come and go.
#include "counting_alloc.h"
#include "fb/mem_output.h"

#include "app/command.h"
#include "app/layout.h"
#include "assets/assets.h"
#include "assets/theme.h"
#include "glimmer_run.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

// The allocator called through pointers the compiler cannot see through, so
// that each allocation is really made.
void *(*volatile call_malloc)(size_t) = malloc;
void *(*volatile call_calloc)(size_t, size_t) = calloc;
void *(*volatile call_realloc)(void *, size_t) = realloc;
char *(*volatile call_strdup)(const char *) = strdup;

// The counter must see what it is meant to catch, or its zero below proves
// nothing.
TEST(CountingAllocator, SeesEachKindOfAllocation)
{
    struct Case {
        const char *what;
        void (*make)();
    };
    const Case cases[] = {
        {"malloc", [] { free(call_malloc(24)); }},
        {"calloc", [] { free(call_calloc(3, 8)); }},
        {"realloc", [] { free(call_realloc(nullptr, 40)); }},
        {"operator new",
         [] {
             char *volatile p = new char[64];
             delete[] p;
         }},
        {"inside the C library", [] { free(call_strdup("a copy")); }},
    };
    for (const Case &c : cases) {
        counting_alloc_start();
        c.make();
        EXPECT_GE(counting_alloc_stop(), 1) << c.what;
    }
    counting_alloc_start();
    EXPECT_EQ(counting_alloc_stop(), 0) << "nothing allocated, nothing counted";
}

// Whether the counter sees allocations at all: under a tool that brings its
// own allocator (valgrind) it does not, and a zero would prove nothing.
bool counter_is_blind()
{
    counting_alloc_start();
    free(call_malloc(16));
    return counting_alloc_stop() == 0;
}

#define SKIP_IF_COUNTER_IS_BLIND()                                                                 \
    if (counter_is_blind())                                                                        \
    GTEST_SKIP() << "the allocation counter sees nothing in this process"

// Sends stderr to /dev/null while alive: the flip reports the refused device
// requests of a record that has no device behind it.
struct QuietStderr {
    int saved;
    QuietStderr()
    {
        fflush(stderr);
        saved = dup(2);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 2);
        close(null);
    }
    ~QuietStderr()
    {
        dup2(saved, 2);
        close(saved);
    }
};

// A double-buffered screen whose device requests reach /dev/null and fail,
// as they do on a driver without vertical-sync support: the flip's error
// reports are part of the loop too.
struct Screen {
    MemFb m{800, 480, 32, FB_FORMAT_RGB888, 0, 0, true};
    MemOutput out{&m, open("/dev/null", O_RDWR)};
    Screen() { glimmer_layout_set_scale(1); }
    ~Screen()
    {
        close(out.dev.fd);
        glimmer_layout_set_scale(THEME_SCALE);
    }
    uint32_t shown_bar_pixel(int column) const
    {
        // The bar's interior on 800 x 480 starts 4 pixels into the frame,
        // which is centred and stands at the theme's share of the height.
        const int left = (800 - bar_frame_image.width) / 2 + 4;
        const int top =
            480 - 480 * (THEME_BAR_POSITION_DEN - THEME_BAR_POSITION_NUM) / THEME_BAR_POSITION_DEN;
        uint32_t v;
        memcpy(&v, m.fb.shown_page + (size_t)m.fb.stride * (size_t)(top + 10) + 4 * (left + column),
               4);
        return v;
    }
};

const uint32_t BAR_FILLED =
    (uint32_t)THEME_BAR_FILL.r << 16 | (uint32_t)THEME_BAR_FILL.g << 8 | THEME_BAR_FILL.b;
const uint32_t BAR_EMPTY =
    (uint32_t)THEME_BAR_EMPTY.r << 16 | (uint32_t)THEME_BAR_EMPTY.g << 8 | THEME_BAR_EMPTY.b;

TEST(CommandLoop, AllocatesNothingForAnyCommand)
{
    SKIP_IF_COUNTER_IS_BLIND();
    Screen s;
    {
        QuietStderr quiet;
        glimmer_command_draw_initial_scene(s.out.output());
    }
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    ASSERT_EQ(fcntl(p[0], F_SETFL, O_NONBLOCK), 0);
    // Every kind of line: good and bad values, long and empty messages,
    // bytes the text decoder rejects, unknown words, blank lines, a line cut
    // across two reads (the 2048-byte area filled exactly), then QUIT.
    std::string input = "PROGRESS 10\nMSG Installing updates, please wait\nPROGRESS -50\n"
                        "MSG caf\xe9 \x80\xff\nPROGRESS x\nPROGRESS 99999999999\nMSG\n"
                        "NOPE 1\n\n\n   PROGRESS 30\nMSG " +
                        std::string(300, 'W') + "\nMSG a\nb\n";
    input += "MSG " + std::string(2048 - input.size() - 4 + 20, 'z') + "\n";
    input += "PROGRESS 60\nQUIT\nPROGRESS 5\n";
    ASSERT_EQ(write(p[1], input.data(), input.size()), (ssize_t)input.size());
    sigset_t mask;
    sigprocmask(SIG_SETMASK, nullptr, &mask);

    long allocations;
    int result;
    {
        QuietStderr quiet;
        counting_alloc_start();
        result = glimmer_command_loop(s.out.output(), p[0], &mask);
        allocations = counting_alloc_stop();
    }
    close(p[1]);
    EXPECT_EQ(result, 0) << "QUIT ends the loop";
    EXPECT_EQ(allocations, 0);
    // The loop really ran the commands: 60 per cent of 222 is 133 pixels,
    // and the PROGRESS 5 behind QUIT was not carried out.
    EXPECT_EQ(s.shown_bar_pixel(132), BAR_FILLED);
    EXPECT_EQ(s.shown_bar_pixel(133), BAR_EMPTY);
}

// The loop on the real FIFO: a writer sends commands and goes away, the loop
// sees the end of input, reopens the FIFO and waits for the next writer.
TEST(CommandLoop, AllocatesNothingWhenWritersComeAndGo)
{
    SKIP_IF_COUNTER_IS_BLIND();
    char dir[] = "/tmp/glimmer_alloc_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir), 0);
    ASSERT_EQ(mkfifo(GLIMMER_FIFO_NAME, 0600), 0);
    const int fd = glimmer_command_open_fifo();
    ASSERT_GE(fd, 0);
    const int first = open(GLIMMER_FIFO_NAME, O_WRONLY);
    ASSERT_GE(first, 0);
    const char one[] = "PROGRESS 20\nMSG first writer\n";
    ASSERT_EQ(write(first, one, sizeof one - 1), (ssize_t)(sizeof one - 1));
    close(first);

    // The second writer comes once the loop has met the end of the first
    // one's input and opened the FIFO again.
    std::thread second([fd] {
        EXPECT_TRUE(glimmer_run_wait_until(
            [&] {
                const int now = glimmer_run_fifo_fd(getpid(), GLIMMER_FIFO_NAME);
                return now >= 0 && now != fd;
            },
            20000))
            << "the FIFO was not opened again";
        const int w = open(GLIMMER_FIFO_NAME, O_WRONLY);
        const char two[] = "PROGRESS 90\nQUIT\n";
        if (w >= 0) {
            (void)!write(w, two, sizeof two - 1);
            close(w);
        }
    });

    Screen s;
    sigset_t mask;
    sigprocmask(SIG_SETMASK, nullptr, &mask);
    long allocations;
    int result;
    {
        QuietStderr quiet;
        counting_alloc_start();
        result = glimmer_command_loop(s.out.output(), fd, &mask);
        allocations = counting_alloc_stop();
    }
    second.join();
    unlink(GLIMMER_FIFO_NAME);
    ASSERT_EQ(chdir(cwd), 0);
    rmdir(dir);

    EXPECT_EQ(result, 0);
    EXPECT_EQ(allocations, 0);
    // 90 per cent of 222 is 199 pixels: the second writer's command arrived.
    EXPECT_EQ(s.shown_bar_pixel(198), BAR_FILLED);
    EXPECT_EQ(s.shown_bar_pixel(199), BAR_EMPTY);
}

} // namespace
