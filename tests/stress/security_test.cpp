// What glimmer lets in: the FIFO's permissions, names it refuses to use, the
// files it opens (under strace), bytes that look like format directives, and
// a memcheck run (valgrind) over a few hundred commands.
#include "stress_rig.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct ModeCase {
    int umask;
    unsigned mode;
};

class FifoMode : public ::testing::TestWithParam<ModeCase> {};

TEST_P(FifoMode, ReadWriteForOwnerAndGroupUnderTheUmask)
{
    const ModeCase c = GetParam();
    StressRig rig;
    ASSERT_TRUE(rig.configure(FbemuConfig{}));
    GlimmerRun r = rig.run({"-n"});
    r.umask = c.umask;
    ASSERT_TRUE(glimmer_run_start(r, &rig.process));
    ASSERT_TRUE(rig.wait_ready());
    struct stat st;
    ASSERT_EQ(lstat(rig.fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, c.mode);
    ASSERT_TRUE(stress_send(rig.fifo, "QUIT\n"));
    EXPECT_EQ(glimmer_run_wait(&rig.process, STRESS_TIMEOUT_MS).code, 0);
}

INSTANTIATE_TEST_SUITE_P(Stress, FifoMode,
                         ::testing::Values(ModeCase{022, 0640}, ModeCase{0, 0660},
                                           ModeCase{077, 0600}, ModeCase{027, 0640}));

enum Squatter { LINK_TO_FIFO, DANGLING_LINK, REGULAR_FILE, DIRECTORY };

class FifoNameTaken : public ::testing::TestWithParam<Squatter> {};

// Whatever stands at the FIFO's name and is not a FIFO is refused before
// anything else happens: no console take-over, no framebuffer, status 255,
// and the thing is left as it was.
TEST_P(FifoNameTaken, RefusedAndLeftAlone)
{
    const Squatter kind = GetParam();
    StressRig rig;
    ASSERT_TRUE(rig.configure(FbemuConfig{}));
    const std::string target = rig.dir.path + "/elsewhere_fifo";
    switch (kind) {
    case LINK_TO_FIFO:
        ASSERT_EQ(mkfifo(target.c_str(), 0600), 0);
        ASSERT_EQ(symlink(target.c_str(), rig.fifo.c_str()), 0);
        break;
    case DANGLING_LINK:
        ASSERT_EQ(symlink(target.c_str(), rig.fifo.c_str()), 0);
        break;
    case REGULAR_FILE: {
        const int fd = open(rig.fifo.c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(stress_write_all(fd, "QUIT\n"));
        close(fd);
        break;
    }
    case DIRECTORY:
        ASSERT_EQ(mkdir(rig.fifo.c_str(), 0755), 0);
        break;
    }
    ASSERT_TRUE(rig.start());
    const GlimmerExit e = glimmer_run_wait(&rig.process, STRESS_TIMEOUT_MS);
    EXPECT_TRUE(e.exited && e.code == 255) << "signal " << e.signal << " code " << e.code;
    EXPECT_EQ(rig.err(), "Error glimmer_fifo exists and is not a FIFO; remove it first\n");
    EXPECT_EQ(rig.console_log(), std::vector<std::string>{});
    EXPECT_TRUE(rig.device_log().empty()) << "the framebuffer was opened";
    struct stat st;
    ASSERT_EQ(lstat(rig.fifo.c_str(), &st), 0);
    switch (kind) {
    case LINK_TO_FIFO:
        EXPECT_TRUE(S_ISLNK(st.st_mode));
        EXPECT_TRUE(lstat(target.c_str(), &st) == 0 && S_ISFIFO(st.st_mode));
        break;
    case DANGLING_LINK:
        EXPECT_TRUE(S_ISLNK(st.st_mode));
        EXPECT_NE(lstat(target.c_str(), &st), 0) << "something was created through the link";
        break;
    case REGULAR_FILE:
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(glimmer_read_file(rig.fifo), "QUIT\n");
        break;
    case DIRECTORY:
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        break;
    }
}

std::string squatter_name(const ::testing::TestParamInfo<Squatter> &p)
{
    static const char *const names[] = {"link_to_fifo", "dangling_link", "regular_file",
                                        "directory"};
    return names[p.param];
}

INSTANTIATE_TEST_SUITE_P(Stress, FifoNameTaken,
                         ::testing::Values(LINK_TO_FIFO, DANGLING_LINK, REGULAR_FILE, DIRECTORY),
                         squatter_name);

bool starts_with(const std::string &s, const std::string &prefix)
{
    return s.compare(0, prefix.size(), prefix) == 0;
}

TEST(OpenedFiles, OnlyDevicesFifoAndLibraries)
{
    if (access("/usr/bin/strace", X_OK) != 0)
        GTEST_SKIP() << "strace is not installed";
    StressRig rig;
    ASSERT_TRUE(rig.configure(FbemuConfig{}));
    const std::string trace = rig.dir.path + "/strace.txt";
    ASSERT_TRUE(rig.start_wrapped(
        {"/usr/bin/strace", "-f", "-qq", "-o", trace, "-e", "trace=open,openat,openat2,creat"}));
    ASSERT_TRUE(rig.wait_flips(1)) << rig.err();
    const int first_fd = rig.fifo_fd();
    ASSERT_GE(first_fd, 0);
    // Two writers in turn, the second once glimmer has opened the FIFO again.
    ASSERT_TRUE(stress_send(rig.fifo, "PROGRESS 10\nMSG one\n"));
    ASSERT_TRUE(rig.wait_reopened(first_fd));
    ASSERT_TRUE(stress_send(rig.fifo, "MSG two\nQUIT\n"));
    const GlimmerExit e = glimmer_run_wait(&rig.process, STRESS_TIMEOUT_MS);
    EXPECT_TRUE(e.exited && e.code == 0) << rig.err();
    const std::string text = glimmer_read_file(trace);
    ASSERT_FALSE(text.empty());

    // Emulated devices are files in the emulation's directory; the console
    // emulation hands out /dev/null descriptors for /dev/tty0 and /dev/ttyN
    // and reads the process's own /proc/PID/stat; the interposers themselves
    // are loaded from the build tree. Beside the FIFO, glimmer writes the
    // record of the terminal it holds (through a temporary name).
    const std::string build = glimmer_binary_path().substr(0, glimmer_binary_path().rfind('/'));
    std::vector<std::string> allowed = {"glimmer_fifo",
                                        rig.dir.path + "/fb0.",
                                        rig.dir.path + "/console.",
                                        "/etc/ld.so.cache",
                                        "/lib/",
                                        "/lib64/",
                                        "/usr/lib/",
                                        "/usr/lib64/",
                                        build + "/",
                                        "/dev/null",
                                        "glimmer.vt"};
    if (stress_sanitized()) {
        // The sanitizer runtime reads its own view of the process.
        allowed.push_back("/proc/");
        allowed.push_back("/sys/");
    }
    std::set<std::string> opened;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        // "PID openat(AT_FDCWD, \"path\", ...) = FD", or open/creat("path", ...)
        const size_t quote = line.find('"');
        const size_t end = quote == std::string::npos ? quote : line.find('"', quote + 1);
        if (end == std::string::npos || line.find('(') > quote)
            continue;
        const std::string path = line.substr(quote + 1, end - quote - 1);
        opened.insert(path);
        const std::string pid = line.substr(0, line.find(' '));
        bool ok = path == "/proc/" + pid + "/stat";
        for (const std::string &prefix : allowed)
            ok = ok || (prefix == "glimmer_fifo" ? path == prefix : starts_with(path, prefix));
        EXPECT_TRUE(ok) << "glimmer opened " << path << "\n  " << line;
    }
    EXPECT_EQ(opened.count("glimmer_fifo"), 1u) << "the trace misses the FIFO";
    EXPECT_EQ(opened.count(rig.dir.path + "/fb0.mem"), 1u) << "the trace misses the device";
    size_t fifo_opens = 0;
    for (size_t at = 0; (at = text.find("\"glimmer_fifo\"", at)) != std::string::npos; at++)
        fifo_opens++;
    EXPECT_GE(fifo_opens, 2u) << "the FIFO was not opened again after the first writer";
}

TEST(FormatDirectives, DrawnAsText)
{
    StressRig rig;
    ASSERT_TRUE(rig.configure(FbemuConfig{}));
    ASSERT_TRUE(rig.start());
    ASSERT_TRUE(rig.wait_ready());
    ASSERT_TRUE(stress_send(rig.fifo, "MSG %s%n%x%x%x%p%n%s%s%99999999d%n\n"
                                      "PROGRESS %n%s\n"
                                      "%s%n%s%n\n"));
    ASSERT_TRUE(rig.wait_flips(4));
    ASSERT_TRUE(rig.wait_waiting());
    EXPECT_EQ(rig.err(), "");
    EXPECT_EQ(rig.out(), "to back\n");
    ASSERT_TRUE(stress_send(rig.fifo, "QUIT\n"));
    const GlimmerExit e = glimmer_run_wait(&rig.process, STRESS_TIMEOUT_MS);
    EXPECT_TRUE(e.exited && e.code == 0);
    EXPECT_EQ(rig.flips(), 4u);
}

// "in use at exit: N bytes in M blocks" from memcheck's heap summary.
long bytes_in_use(const std::string &log)
{
    const std::string key = "in use at exit: ";
    const size_t at = log.find(key);
    if (at == std::string::npos)
        return -1;
    std::string digits;
    for (size_t i = at + key.size(); i < log.size() && (isdigit(log[i]) || log[i] == ','); i++)
        if (log[i] != ',')
            digits += log[i];
    return digits.empty() ? -1 : std::stol(digits);
}

TEST(Memcheck, HundredsOfCommandsWithoutErrorsOrLeaks)
{
    if (stress_sanitized())
        GTEST_SKIP() << "glimmer carries AddressSanitizer, which cannot run under valgrind";
    if (access("/usr/bin/valgrind", X_OK) != 0)
        GTEST_SKIP() << "valgrind is not installed";
    const int commands = stress_count(300, 20);
    StressRig rig;
    FbemuConfig small;
    small.xres = 320;
    small.yres = 240;
    ASSERT_TRUE(rig.configure(small));
    const std::string log = rig.dir.path + "/memcheck.txt";
    ASSERT_TRUE(rig.start_wrapped(
        {"/usr/bin/valgrind", "--error-exitcode=99", "--leak-check=full", "--show-leak-kinds=all",
         "--errors-for-leak-kinds=definite,indirect,possible", "--log-file=" + log}));
    ASSERT_TRUE(rig.wait_flips(1, 60000)) << glimmer_read_file(log);
    std::string batch;
    for (int i = 0; i < commands; i++) {
        batch += i % 3 == 0 ? "MSG memcheck " + std::to_string(i) + " \xc3\xa9\xff\n"
                            : "PROGRESS " + std::to_string(i % 120 - 10) + "\n";
        if (batch.size() > 3000 || i + 1 == commands) {
            ASSERT_TRUE(stress_send(rig.fifo, batch));
            batch.clear();
        }
    }
    ASSERT_TRUE(rig.wait_flips(1 + (uint32_t)commands, 120000)) << glimmer_read_file(log);
    ASSERT_TRUE(stress_send(rig.fifo, "QUIT\n"));
    const GlimmerExit e = glimmer_run_wait(&rig.process, 60000);
    const std::string report = glimmer_read_file(log);
    EXPECT_TRUE(e.exited) << report;
    EXPECT_EQ(e.code, 0) << report;
    EXPECT_EQ(rig.err(), "");
    EXPECT_NE(report.find("ERROR SUMMARY: 0 errors"), std::string::npos) << report;
    // The Framebuffer record is freed; the device mapping is no heap block.
    EXPECT_EQ(bytes_in_use(report), 0) << report;
    EXPECT_FALSE(rig.fifo_exists());
    EXPECT_EQ(rig.console_now(), rig.console_as_found(1));
}

} // namespace
