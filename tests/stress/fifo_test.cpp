// The FIFO under attack: removed or replaced while glimmer runs, held open
// for ever, a hundred writers at once, writers killed in the middle of a line.
#include "stress_rig.h"

#include <fcntl.h>
#include <poll.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <random>
#include <cerrno>
#include <string>
#include <thread>
#include <vector>

namespace {

enum Replacement { REMOVED, REGULAR_FILE, SYMLINK_TO_FIFO, DIRECTORY };

const char BAIT[] = "QUIT\nPROGRESS 99\n";

class FifoReplaced : public ::testing::TestWithParam<Replacement> {};

TEST_P(FifoReplaced, ReplacementNeverReadNorRemoved)
{
    const Replacement kind = GetParam();
    StressRig rig;
    ASSERT_TRUE(rig.configure(FbemuConfig{}));
    ASSERT_TRUE(rig.start());
    ASSERT_TRUE(rig.wait_ready()) << rig.err();

    // A writer that opened the FIFO before it was replaced keeps being served.
    const int writer = stress_open_writer(rig.fifo);
    ASSERT_GE(writer, 0);
    ASSERT_TRUE(stress_write_all(writer, "PROGRESS 10\n"));
    ASSERT_TRUE(rig.wait_flips(2));

    const std::string target = rig.dir.path + "/other_fifo";
    ASSERT_EQ(unlink(rig.fifo.c_str()), 0);
    switch (kind) {
    case REMOVED:
        break;
    case REGULAR_FILE: {
        const int fd = open(rig.fifo.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(stress_write_all(fd, BAIT));
        close(fd);
        break;
    }
    case SYMLINK_TO_FIFO:
        ASSERT_EQ(mkfifo(target.c_str(), 0600), 0);
        ASSERT_EQ(symlink(target.c_str(), rig.fifo.c_str()), 0);
        break;
    case DIRECTORY:
        ASSERT_EQ(mkdir(rig.fifo.c_str(), 0755), 0);
        break;
    }
    ASSERT_TRUE(stress_write_all(writer, "PROGRESS 20\n"));
    ASSERT_TRUE(rig.wait_flips(3));
    // The last writer leaves: glimmer reopens by name and must refuse
    // whatever stands there now, waiting without a FIFO.
    close(writer);
    long nfds = -1;
    ASSERT_TRUE(glimmer_run_wait_until(
        [&] { return rig.waiting(&nfds) && nfds == 0; }, STRESS_TIMEOUT_MS))
        << "still watching descriptors: " << nfds;
    EXPECT_EQ(rig.flips(), 3u) << "something was read from the replacement";
    if (kind == SYMLINK_TO_FIFO) {
        // Nobody reads the FIFO the link points at.
        const int fd = open(target.c_str(), O_WRONLY | O_NONBLOCK);
        EXPECT_EQ(fd, -1);
        EXPECT_EQ(errno, ENXIO);
        if (fd >= 0)
            close(fd);
    }

    ASSERT_TRUE(glimmer_run_signal(rig.process, SIGTERM));
    const GlimmerExit e = glimmer_run_wait(&rig.process, STRESS_TIMEOUT_MS);
    EXPECT_TRUE(e.exited && e.code == 0) << "signal " << e.signal;
    EXPECT_EQ(rig.err(), "");
    EXPECT_EQ(rig.flips(), 3u);
    EXPECT_EQ(rig.console_now(), rig.console_as_found(1));
    struct stat st;
    const bool present = lstat(rig.fifo.c_str(), &st) == 0;
    switch (kind) {
    case REMOVED:
        EXPECT_FALSE(present);
        break;
    case REGULAR_FILE:
        ASSERT_TRUE(present && S_ISREG(st.st_mode));
        EXPECT_EQ(glimmer_read_file(rig.fifo), BAIT);
        break;
    case SYMLINK_TO_FIFO:
        EXPECT_TRUE(present && S_ISLNK(st.st_mode));
        EXPECT_TRUE(lstat(target.c_str(), &st) == 0 && S_ISFIFO(st.st_mode));
        break;
    case DIRECTORY:
        EXPECT_TRUE(present && S_ISDIR(st.st_mode));
        break;
    }
}

std::string replacement_name(const ::testing::TestParamInfo<Replacement> &p)
{
    static const char *const names[] = {"removed", "regular_file", "symlink_to_fifo",
                                        "directory"};
    return names[p.param];
}

INSTANTIATE_TEST_SUITE_P(Stress, FifoReplaced,
                         ::testing::Values(REMOVED, REGULAR_FILE, SYMLINK_TO_FIFO, DIRECTORY),
                         replacement_name);

// One writer opens the FIFO and never closes it; glimmer still serves others
// and still ends on their QUIT, or on SIGTERM.
TEST(FifoHeldOpen, OtherWritersServedAndQuitOrSignalEnds)
{
    for (const bool by_signal : {false, true}) {
        SCOPED_TRACE(by_signal ? "SIGTERM" : "QUIT");
        StressRig rig;
        ASSERT_TRUE(rig.configure(FbemuConfig{}));
        ASSERT_TRUE(rig.start());
        ASSERT_TRUE(rig.wait_ready()) << rig.err();
        const int holder = stress_open_writer(rig.fifo);
        ASSERT_GE(holder, 0);
        ASSERT_TRUE(stress_write_all(holder, "PROGRESS 10\n"));
        for (int i = 0; i < 20; i++)
            ASSERT_TRUE(stress_send(rig.fifo, "MSG second writer\nPROGRESS 70\n"));
        EXPECT_TRUE(rig.wait_flips(42));
        if (by_signal) {
            ASSERT_TRUE(glimmer_run_signal(rig.process, SIGTERM));
        } else {
            ASSERT_TRUE(stress_send(rig.fifo, "QUIT\n"));
        }
        const GlimmerExit e = glimmer_run_wait(&rig.process, STRESS_TIMEOUT_MS);
        close(holder);
        EXPECT_TRUE(e.exited && e.code == 0) << "signal " << e.signal;
        EXPECT_EQ(rig.flips(), 42u);
        EXPECT_EQ(rig.err(), "");
        EXPECT_FALSE(rig.fifo_exists());
        EXPECT_EQ(rig.console_now(), rig.console_as_found(1));
    }
}

TEST(FifoWriters, HundredAtOnce)
{
    const int writers = 100, lines_each = 10;
    StressRig rig;
    ASSERT_TRUE(rig.configure(FbemuConfig{}));
    ASSERT_TRUE(rig.start());
    ASSERT_TRUE(rig.wait_ready()) << rig.err();
    std::atomic<int> ready{0}, delivered{0};
    std::vector<std::thread> threads;
    for (int w = 0; w < writers; w++)
        threads.emplace_back([&, w] {
            std::string bytes;
            for (int i = 0; i < lines_each; i++)
                bytes += "PROGRESS " + std::to_string((w + i) % 100) + "\n";
            const int fd = stress_open_writer(rig.fifo);
            ready++;
            while (ready.load() < writers) // all open, then all write
                std::this_thread::yield();
            if (fd >= 0 && stress_write_all(fd, bytes))
                delivered += lines_each;
            if (fd >= 0)
                close(fd);
        });
    for (std::thread &t : threads)
        t.join();
    ASSERT_EQ(delivered.load(), writers * lines_each);
    ASSERT_TRUE(stress_send(rig.fifo, "QUIT\n"));
    const GlimmerExit e = glimmer_run_wait(&rig.process, STRESS_TIMEOUT_MS);
    EXPECT_TRUE(e.exited && e.code == 0);
    EXPECT_EQ(rig.flips(), 1u + (uint32_t)(writers * lines_each));
    EXPECT_EQ(rig.err(), "");
}

// A child that writes `bytes` into the FIFO and then waits to be killed.
// Returns once the bytes are in the FIFO (or -1), so that the kill cannot
// come before the write.
pid_t partial_writer(const std::string &fifo, const std::string &bytes)
{
    int written[2];
    if (pipe(written) != 0)
        return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        close(written[0]);
        int fd = -1;
        for (int i = 0; i < 20000 && fd < 0; i++) {
            fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
            if (fd < 0)
                usleep(1000);
        }
        if (fd < 0 || write(fd, bytes.data(), bytes.size()) != (ssize_t)bytes.size())
            _exit(1);
        (void)!write(written[1], "w", 1);
        for (;;)
            pause();
    }
    close(written[1]);
    struct pollfd p = {written[0], POLLIN, 0};
    char c;
    const bool ok = pid > 0 && poll(&p, 1, STRESS_TIMEOUT_MS) == 1 && read(written[0], &c, 1) == 1;
    close(written[0]);
    return ok ? pid : -1;
}

struct DyingCase {
    const char *name;
    bool full_read; // the partial line ends a write that fills the receive area
    bool held;      // another writer keeps the FIFO open meanwhile
};

class WriterDies : public ::testing::TestWithParam<DyingCase> {};

// "PROGRESS 4" without its newline, then the writer is killed; the next
// writer's "2\n" must not turn it into "PROGRESS 42".
TEST_P(WriterDies, PartialLineStandsAlone)
{
    const DyingCase c = GetParam();
    StressRig rig;
    ASSERT_TRUE(rig.configure(FbemuConfig{}));
    ASSERT_TRUE(rig.start({"-n"}));
    ASSERT_TRUE(rig.wait_ready()) << rig.err();
    const int holder = c.held ? stress_open_writer(rig.fifo) : -1;
    if (c.held) {
        ASSERT_GE(holder, 0);
    }

    std::string bytes, head;
    uint32_t lines = 0;
    if (c.full_read) {
        // Whole lines up to byte 2038, then the 10 bytes of the partial line.
        while (head.size() < 2038 - 250) {
            head += "MSG " + std::string(195, 'h') + "\n";
            lines++;
        }
        head += "MSG " + std::string(2038 - head.size() - 5, 'h') + "\n";
        lines++;
    }
    bytes = head + "PROGRESS 4";
    ASSERT_EQ(bytes.size(), c.full_read ? 2048u : 10u);
    const pid_t child = partial_writer(rig.fifo, bytes);
    ASSERT_GT(child, 0);
    ASSERT_TRUE(rig.wait_flips(1 + lines));
    ASSERT_TRUE(rig.wait_waiting());
    ASSERT_EQ(kill(child, SIGKILL), 0);
    int status;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer failed: " << status;
    // The partial line is carried out by the time the writer is gone.
    EXPECT_TRUE(rig.wait_flips(2 + lines, 2000));
    ASSERT_TRUE(rig.wait_waiting());
    const uint32_t after_death = rig.flips();
    EXPECT_EQ(after_death, 2 + lines) << "the partial line is still held back";

    if (c.held) {
        ASSERT_TRUE(stress_write_all(holder, "2\n"));
    } else {
        ASSERT_TRUE(stress_send(rig.fifo, "2\n"));
    }
    ASSERT_TRUE(rig.wait_flips(after_death + 1));
    ASSERT_TRUE(rig.wait_waiting());
    EXPECT_EQ(rig.flips(), 3 + lines) << "\"2\" was merged into the partial line";
    FbemuImage shown;
    ASSERT_TRUE(glimmer_fbemu_decode_shown(rig.dir.path, 0, &shown));
    if (holder >= 0)
        close(holder);
    ASSERT_TRUE(stress_send(rig.fifo, "QUIT\n"));
    EXPECT_EQ(glimmer_run_wait(&rig.process, STRESS_TIMEOUT_MS).code, 0);
    EXPECT_EQ(rig.err(), "");

    // The bar stands at 4, not at 42.
    StressRig reference;
    ASSERT_TRUE(reference.configure(FbemuConfig{}));
    ASSERT_TRUE(reference.start({"-n"}));
    ASSERT_TRUE(reference.wait_ready());
    ASSERT_TRUE(stress_send(reference.fifo, head + "PROGRESS 4\n2\n"));
    ASSERT_TRUE(reference.wait_flips(3 + lines));
    ASSERT_TRUE(reference.wait_waiting());
    FbemuImage expected;
    ASSERT_TRUE(glimmer_fbemu_decode_shown(reference.dir.path, 0, &expected));
    ASSERT_TRUE(stress_send(reference.fifo, "QUIT\n"));
    EXPECT_EQ(glimmer_run_wait(&reference.process, STRESS_TIMEOUT_MS).code, 0);
    EXPECT_TRUE(shown.pixels == expected.pixels);
}

INSTANTIATE_TEST_SUITE_P(Stress, WriterDies,
                         ::testing::Values(DyingCase{"short_read_alone", false, false},
                                           DyingCase{"short_read_held", false, true},
                                           DyingCase{"full_read_alone", true, false},
                                           DyingCase{"full_read_held", true, true}),
                         [](const ::testing::TestParamInfo<DyingCase> &p) {
                             return std::string(p.param.name);
                         });

} // namespace

namespace {

// The last writer closes and, a moment later, the next one opens, writes a
// line and closes. Whenever glimmer sees the end of file it replaces its
// descriptor; a line that goes into the FIFO in that moment must still be
// read, never dropped with the old descriptor.
TEST(FifoReopen, LineWrittenAsTheLastWriterLeavesIsNotLost)
{
    const int rounds = stress_count(2000, 50);
    StressRig rig;
    ASSERT_TRUE(rig.configure(FbemuConfig{}));
    ASSERT_TRUE(rig.start({"-n"}));
    ASSERT_TRUE(rig.wait_ready()) << rig.err();
    std::mt19937 rng(99);
    std::uniform_int_distribution<int> delay_ns(0, 150000);
    uint32_t sent = 0;
    int refused = 0;
    for (int i = 0; i < rounds; i++) {
        const int first = stress_open_writer(rig.fifo);
        ASSERT_GE(first, 0);
        ASSERT_TRUE(stress_write_all(first, "PROGRESS " + std::to_string(i % 100) + "\n"));
        sent++;
        // Let glimmer take the line and wait again, then leave.
        ASSERT_TRUE(glimmer_run_wait_until([&] { return rig.waiting(nullptr, true); },
                                           STRESS_TIMEOUT_MS));
        close(first);
        const auto until = std::chrono::steady_clock::now() + std::chrono::nanoseconds(delay_ns(rng));
        while (std::chrono::steady_clock::now() < until) {
        }
        const int second = stress_open_writer(rig.fifo);
        ASSERT_GE(second, 0);
        if (stress_write_all(second, "MSG round " + std::to_string(i) + "\n"))
            sent++;
        else
            refused++; // EPIPE: glimmer closed its end between our open and write
        close(second);
    }
    ASSERT_TRUE(stress_send(rig.fifo, "QUIT\n"));
    const GlimmerExit e = glimmer_run_wait(&rig.process, STRESS_TIMEOUT_MS);
    EXPECT_TRUE(e.exited && e.code == 0) << "the QUIT was lost";
    EXPECT_EQ(rig.flips(), 1 + sent) << sent << " lines written";
    EXPECT_EQ(refused, 0) << "writes that found the reader gone after a successful open";
    printf("%d rounds: %u lines written, %d refused with EPIPE, %u flips\n", rounds, sent,
           refused, rig.flips());
}

} // namespace
