// The built glimmer binary from the outside: command line, FIFO set-up and
// removal, exit statuses and signals, on an emulated framebuffer. Every run
// passes "-n": the console is not this test's business.
#include "fbemu.h"
#include "glimmer_run.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace {

const int TIMEOUT_MS = 10000;
const char USAGE[] =
    "Usage: %s [-n|--no-console-switch][-a|--angle <0|90|180|270>][-f|--fbdev <0..9>]"
    "[-d|--drm][-s|--scale <1|2|3|auto>]\n";

std::string usage_for(const std::string &argv0)
{
    char buf[512];
    snprintf(buf, sizeof buf, USAGE, argv0.c_str());
    return buf;
}

bool exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

class Blackbox : public ::testing::Test {
  protected:
    TempDir dir;       // FIFO directory and emulated devices
    TempDir elsewhere; // working directory of the child
    GlimmerRun run;
    GlimmerProcess process;

    std::string fifo() const { return dir.path + "/glimmer_fifo"; }

    void SetUp() override
    {
        run.args = {"-n"};
        run.env = {"GLIMMER_FIFO_DIR=" + dir.path, "GLIMMER_EMU_DIR=" + dir.path};
        run.cwd = elsewhere.path;
    }

    // A small healthy device, double-buffered by request.
    void configure_device(int n = 0)
    {
        FbemuConfig c;
        c.xres = 320;
        c.yres = 240;
        ASSERT_TRUE(glimmer_fbemu_write_config(dir.path, n, c));
    }

    // Starts glimmer and waits until it serves the FIFO.
    void start_serving(const std::string &fifo_path)
    {
        ASSERT_TRUE(glimmer_run_start(run, &process));
        ASSERT_TRUE(glimmer_run_wait_fifo(fifo_path, TIMEOUT_MS))
            << "no FIFO; stderr: " << glimmer_run_stderr(process);
        // The initial scene has been flipped onto the screen once the first
        // vertical-sync wait is logged; by then the FIFO is open.
        ASSERT_TRUE(glimmer_run_wait_until(
            [&] {
                return !glimmer_fbemu_log_of(glimmer_fbemu_read_log(dir.path, 0),
                                             "FBIO_WAITFORVSYNC")
                            .empty();
            },
            TIMEOUT_MS));
    }

    GlimmerExit finish() { return glimmer_run_wait(&process, TIMEOUT_MS); }
};

// ---- command line ------------------------------------------------------------

struct UsageCase {
    const char *name;
    std::vector<std::string> args;
};

void PrintTo(const UsageCase &c, std::ostream *os)
{
    *os << c.name;
}

class Usage : public Blackbox, public ::testing::WithParamInterface<UsageCase> {};

TEST_P(Usage, IsRefusedBeforeAnythingIsCreated)
{
    configure_device();
    run.args = GetParam().args;
    run.argv0 = "/opt/splash/bin/glimmer-under-test";
    ASSERT_TRUE(glimmer_run_start(run, &process));
    const GlimmerExit e = finish();
    ASSERT_FALSE(e.timed_out);
    EXPECT_TRUE(e.exited);
    EXPECT_EQ(e.code, 255);
    EXPECT_EQ(glimmer_run_stderr(process), usage_for(run.argv0));
    EXPECT_EQ(glimmer_run_stdout(process), "");
    EXPECT_FALSE(exists(fifo()));
    EXPECT_FALSE(exists(elsewhere.path + "/glimmer_fifo"));
    EXPECT_TRUE(glimmer_fbemu_read_log(dir.path, 0).empty()) << "the device was opened";
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, Usage,
    ::testing::Values(
        UsageCase{"angle_last", {"-n", "-a"}}, UsageCase{"long_angle_last", {"-n", "--angle"}},
        UsageCase{"fbdev_last", {"-n", "--fbdev"}}, UsageCase{"short_fbdev_last", {"-n", "-f"}},
        UsageCase{"long_option_with_equals", {"-n", "--angle=90"}},
        UsageCase{"unknown_option", {"-n", "-x"}}, UsageCase{"joined_value", {"-n", "-a90"}},
        UsageCase{"positional", {"-n", "splash.png"}},
        UsageCase{"abbreviation", {"-n", "--no-console"}}, UsageCase{"help", {"-n", "--help"}},
        UsageCase{"empty_argument", {"-n", ""}}, UsageCase{"scale_last", {"-n", "-s"}},
        UsageCase{"scale_zero", {"-n", "--scale", "0"}}, UsageCase{"scale_four", {"-n", "-s", "4"}},
        UsageCase{"scale_word", {"-n", "-s", "big"}},
        UsageCase{"error_after_valid_options", {"-n", "-a", "90", "-f", "1", "-q"}}),
    [](const auto &p) { return std::string(p.param.name); });

struct AcceptedCase {
    const char *name;
    std::vector<std::string> args;
    int device; // which emulated device must be opened
};

void PrintTo(const AcceptedCase &c, std::ostream *os)
{
    *os << c.name;
}

class Accepted : public Blackbox, public ::testing::WithParamInterface<AcceptedCase> {};

TEST_P(Accepted, RunsUntilQuit)
{
    const AcceptedCase &c = GetParam();
    for (int n = 0; n < 10; n++)
        configure_device(n);
    run.args = c.args;
    ASSERT_TRUE(glimmer_run_start(run, &process));
    ASSERT_TRUE(glimmer_run_wait_fifo(fifo(), TIMEOUT_MS)) << glimmer_run_stderr(process);
    ASSERT_TRUE(glimmer_run_write_fifo(fifo(), "QUIT\n", TIMEOUT_MS));
    const GlimmerExit e = finish();
    ASSERT_FALSE(e.timed_out);
    EXPECT_TRUE(e.exited);
    EXPECT_EQ(e.code, 0);
    EXPECT_EQ(glimmer_run_stderr(process), "");
    for (int n = 0; n < 10; n++)
        EXPECT_EQ(glimmer_fbemu_log_of(glimmer_fbemu_read_log(dir.path, n), "open").size(),
                  n == c.device ? 1u : 0u)
            << "fb" << n;
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, Accepted,
    ::testing::Values(
        // "-n" after "-a" is the angle's value, not an option.
        AcceptedCase{"minus_n_as_angle_value", {"-n", "-a", "-n"}, 0},
        AcceptedCase{"minus_n_as_fbdev_value", {"-n", "-f", "-n"}, 0},
        AcceptedCase{"long_forms", {"--no-console-switch", "--angle", "270", "--fbdev", "3"}, 3},
        AcceptedCase{"last_value_counts", {"-n", "-f", "2", "-f", "5"}, 5},
        AcceptedCase{"number_read_as_far_as_it_goes", {"-n", "-f", "6x"}, 6},
        AcceptedCase{"fbdev_out_of_range", {"-n", "-f", "12"}, 0},
        AcceptedCase{"fbdev_not_a_number", {"-n", "-f", "abc"}, 0},
        AcceptedCase{"twice_no_console", {"-n", "-n", "-a", "-90"}, 0},
        AcceptedCase{"scale_forms", {"-n", "-s", "3", "--scale", "auto", "-f", "1"}, 1}),
    [](const auto &p) { return std::string(p.param.name); });

// ---- the FIFO --------------------------------------------------------------------

TEST_F(Blackbox, QuitEndsTheRunAndRemovesTheFifo)
{
    configure_device();
    start_serving(fifo());
    ASSERT_TRUE(glimmer_run_write_fifo(fifo(), "QUIT\n", TIMEOUT_MS));
    const GlimmerExit e = finish();
    ASSERT_FALSE(e.timed_out);
    EXPECT_TRUE(e.exited);
    EXPECT_EQ(e.code, 0);
    EXPECT_EQ(glimmer_run_stdout(process), "to back\n");
    EXPECT_EQ(glimmer_run_stderr(process), "");
    EXPECT_FALSE(exists(fifo()));
    // The device was closed on the way out.
    FbemuDevice s;
    ASSERT_TRUE(glimmer_fbemu_read_state(dir.path, 0, &s));
    EXPECT_EQ(s.opens, 1u);
    EXPECT_EQ(s.closes, 1u);
}

TEST_F(Blackbox, EmptyFifoDirectoryMeansTheStartDirectory)
{
    configure_device();
    run.env = {"GLIMMER_FIFO_DIR=", "GLIMMER_EMU_DIR=" + dir.path};
    const std::string here = elsewhere.path + "/glimmer_fifo";
    start_serving(here);
    EXPECT_FALSE(exists(fifo()));
    ASSERT_TRUE(glimmer_run_write_fifo(here, "QUIT\n", TIMEOUT_MS));
    const GlimmerExit e = finish();
    EXPECT_EQ(e.code, 0);
    EXPECT_FALSE(exists(here));
}

TEST_F(Blackbox, ExistingFifoIsReused)
{
    configure_device();
    ASSERT_EQ(mkfifo(fifo().c_str(), 0600), 0);
    struct stat before;
    ASSERT_EQ(stat(fifo().c_str(), &before), 0);
    start_serving(fifo());
    struct stat during;
    ASSERT_EQ(stat(fifo().c_str(), &during), 0);
    EXPECT_EQ(during.st_ino, before.st_ino);
    EXPECT_EQ(during.st_mode & 07777, 0600u);
    ASSERT_TRUE(glimmer_run_write_fifo(fifo(), "QUIT\n", TIMEOUT_MS));
    const GlimmerExit e = finish();
    EXPECT_EQ(e.code, 0);
    EXPECT_EQ(glimmer_run_stderr(process), "");
    EXPECT_FALSE(exists(fifo()));
}

struct ModeCase {
    int umask;
    mode_t mode;
};

void PrintTo(const ModeCase &c, std::ostream *os)
{
    *os << "umask " << std::oct << c.umask;
}

class FifoMode : public Blackbox, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(FifoMode, FollowsTheUmask)
{
    configure_device();
    run.umask = GetParam().umask;
    start_serving(fifo());
    struct stat st;
    ASSERT_EQ(lstat(fifo().c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, GetParam().mode);
    ASSERT_TRUE(glimmer_run_write_fifo(fifo(), "QUIT\n", TIMEOUT_MS));
    EXPECT_EQ(finish().code, 0);
}

INSTANTIATE_TEST_SUITE_P(Umasks, FifoMode,
                         ::testing::Values(ModeCase{022, 0640}, ModeCase{0, 0660},
                                           ModeCase{077, 0600}, ModeCase{0707, 0060}),
                         [](const auto &p) {
                             char name[16];
                             snprintf(name, sizeof name, "umask_%03o", (unsigned)p.param.umask);
                             return std::string(name);
                         });

// Something other than a FIFO under the name: refused and left alone.
struct SquatterCase {
    const char *name;
    void (*make)(const std::string &path, const std::string &dir);
};

void PrintTo(const SquatterCase &c, std::ostream *os)
{
    *os << c.name;
}

class NotAFifo : public Blackbox, public ::testing::WithParamInterface<SquatterCase> {};

struct FileShape {
    bool present;
    mode_t type;
    std::string content; // file content or link target
};

FileShape shape_of(const std::string &path)
{
    FileShape s{false, 0, ""};
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return s;
    s.present = true;
    s.type = st.st_mode & S_IFMT;
    if (S_ISREG(st.st_mode))
        s.content = glimmer_read_file(path);
    if (S_ISLNK(st.st_mode)) {
        char buf[4096];
        const ssize_t n = readlink(path.c_str(), buf, sizeof buf);
        if (n > 0)
            s.content.assign(buf, (size_t)n);
    }
    return s;
}

TEST_P(NotAFifo, IsRefusedAndLeftInPlace)
{
    configure_device();
    GetParam().make(fifo(), dir.path);
    const FileShape before = shape_of(fifo());
    ASSERT_TRUE(before.present);
    ASSERT_TRUE(glimmer_run_start(run, &process));
    const GlimmerExit e = finish();
    ASSERT_FALSE(e.timed_out);
    EXPECT_TRUE(e.exited);
    EXPECT_EQ(e.code, 255);
    EXPECT_EQ(glimmer_run_stderr(process),
              "Error glimmer_fifo exists and is not a FIFO; remove it first\n");
    EXPECT_EQ(glimmer_run_stdout(process), "");
    const FileShape after = shape_of(fifo());
    EXPECT_TRUE(after.present);
    EXPECT_EQ(after.type, before.type);
    EXPECT_EQ(after.content, before.content);
    EXPECT_TRUE(glimmer_fbemu_read_log(dir.path, 0).empty()) << "the device was opened";
}

INSTANTIATE_TEST_SUITE_P(
    Squatters, NotAFifo,
    ::testing::Values(SquatterCase{"regular_file",
                                   [](const std::string &path, const std::string &) {
                                       FILE *f = fopen(path.c_str(), "w");
                                       ASSERT_NE(f, nullptr);
                                       fputs("PROGRESS 10\nQUIT\n", f);
                                       fclose(f);
                                   }},
                      SquatterCase{"directory",
                                   [](const std::string &path, const std::string &) {
                                       ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
                                   }},
                      SquatterCase{"symlink_to_a_fifo",
                                   [](const std::string &path, const std::string &dir) {
                                       const std::string target = dir + "/real_fifo";
                                       ASSERT_EQ(mkfifo(target.c_str(), 0600), 0);
                                       ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
                                   }},
                      SquatterCase{"dangling_symlink",
                                   [](const std::string &path, const std::string &dir) {
                                       ASSERT_EQ(symlink((dir + "/nowhere").c_str(), path.c_str()),
                                                 0);
                                   }}),
    [](const auto &p) { return std::string(p.param.name); });

TEST_F(Blackbox, MissingFramebufferEndsTheRunAndRemovesTheFifo)
{
    // No device configured: /dev/fb0 does not exist.
    ASSERT_TRUE(glimmer_run_start(run, &process));
    const GlimmerExit e = finish();
    ASSERT_FALSE(e.timed_out);
    EXPECT_TRUE(e.exited);
    EXPECT_EQ(e.code, 255);
    EXPECT_EQ(glimmer_run_stderr(process),
              "Error opening /dev/fb0\nError opening /dev/dri/card0\n");
    EXPECT_EQ(glimmer_run_stdout(process), "");
    EXPECT_FALSE(exists(fifo()));
}

TEST_F(Blackbox, MissingFifoDirectoryFallsBackToTheStartDirectory)
{
    configure_device();
    run.env = {"GLIMMER_FIFO_DIR=" + dir.path + "/no/such/dir", "GLIMMER_EMU_DIR=" + dir.path};
    const std::string here = elsewhere.path + "/glimmer_fifo";
    start_serving(here);
    ASSERT_TRUE(glimmer_run_write_fifo(here, "QUIT\n", TIMEOUT_MS));
    EXPECT_EQ(finish().code, 0);
    EXPECT_FALSE(exists(here));
}

TEST_F(Blackbox, UncreatableFifoIsReported)
{
    // A FIFO directory that cannot be entered leaves the start directory;
    // there, in /proc, no FIFO can be made.
    configure_device();
    run.env = {"GLIMMER_FIFO_DIR=" + dir.path + "/missing", "GLIMMER_EMU_DIR=" + dir.path};
    run.cwd = "/proc";
    ASSERT_TRUE(glimmer_run_start(run, &process));
    const GlimmerExit e = finish();
    ASSERT_FALSE(e.timed_out);
    EXPECT_TRUE(e.exited);
    EXPECT_EQ(e.code, 255);
    EXPECT_EQ(glimmer_run_stderr(process), std::string("mkfifo: ") + strerror(ENOENT) + "\n");
    EXPECT_EQ(glimmer_run_stdout(process), "");
    EXPECT_TRUE(glimmer_fbemu_read_log(dir.path, 0).empty()) << "the device was opened";
}

// ---- signals -------------------------------------------------------------------------

struct SignalCase {
    const char *name;
    int signo;
};

void PrintTo(const SignalCase &c, std::ostream *os)
{
    *os << c.name;
}

class ExitSignal : public Blackbox, public ::testing::WithParamInterface<SignalCase> {};

TEST_P(ExitSignal, WhileWaitingEndsTheRunCleanly)
{
    configure_device();
    start_serving(fifo());
    ASSERT_TRUE(glimmer_run_signal(process, GetParam().signo));
    const GlimmerExit e = finish();
    ASSERT_FALSE(e.timed_out);
    EXPECT_TRUE(e.exited) << "ended by signal " << e.signal;
    EXPECT_EQ(e.code, 0);
    EXPECT_EQ(glimmer_run_stderr(process), "");
    EXPECT_FALSE(exists(fifo()));
    FbemuDevice s;
    ASSERT_TRUE(glimmer_fbemu_read_state(dir.path, 0, &s));
    EXPECT_EQ(s.closes, 1u);
}

INSTANTIATE_TEST_SUITE_P(Signals, ExitSignal,
                         ::testing::Values(SignalCase{"sigint", SIGINT},
                                           SignalCase{"sigterm", SIGTERM},
                                           SignalCase{"sighup", SIGHUP},
                                           SignalCase{"sigquit", SIGQUIT}),
                         [](const auto &p) { return std::string(p.param.name); });

TEST_F(Blackbox, SignalAfterCommandsStillEndsCleanly)
{
    configure_device();
    start_serving(fifo());
    ASSERT_TRUE(glimmer_run_write_fifo(fifo(), "PROGRESS 50\nMSG hello\n", TIMEOUT_MS));
    // Both commands flipped: two more vertical-sync waits after the first.
    ASSERT_TRUE(glimmer_run_wait_until(
        [&] {
            return glimmer_fbemu_log_of(glimmer_fbemu_read_log(dir.path, 0), "FBIO_WAITFORVSYNC")
                       .size() >= 3;
        },
        TIMEOUT_MS));
    ASSERT_TRUE(glimmer_run_signal(process, SIGINT));
    const GlimmerExit e = finish();
    EXPECT_TRUE(e.exited);
    EXPECT_EQ(e.code, 0);
    EXPECT_FALSE(exists(fifo()));
}

} // namespace
