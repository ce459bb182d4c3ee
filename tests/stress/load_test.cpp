// Command load: many writers at once, lines cut by the 2048-byte receive
// area, and a long run of open-write-close cycles. Every non-empty line ends
// in exactly one flip, so the emulated device's flip count tells whether a
// line was lost, split or merged.
#include "stress_rig.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

// A command line with its newline: a PROGRESS value or a MSG of printable
// text (no newline, no NUL) of up to `max_text` bytes.
std::string random_line(std::mt19937 *rng, int max_text)
{
    std::uniform_int_distribution<int> kind(0, 1), value(-20, 120), length(0, max_text),
        letter(0x20, 0x7e);
    if (kind(*rng) == 0)
        return "PROGRESS " + std::to_string(value(*rng)) + "\n";
    std::string text;
    const int n = length(*rng);
    for (int i = 0; i < n; i++)
        text += (char)letter(*rng);
    return "MSG " + text + "\n";
}

// Groups whole lines into writes of at most `limit` bytes, several lines per
// write, sizes drawn at random.
std::vector<std::string> pack(const std::vector<std::string> &lines, size_t limit,
                              std::mt19937 *rng)
{
    std::uniform_int_distribution<size_t> target(1, limit);
    std::vector<std::string> writes;
    std::string current;
    size_t want = target(*rng);
    for (const std::string &line : lines) {
        if (!current.empty() &&
            (current.size() + line.size() > want || current.size() + line.size() > limit)) {
            writes.push_back(current);
            current.clear();
            want = target(*rng);
        }
        current += line;
    }
    if (!current.empty())
        writes.push_back(current);
    return writes;
}

struct WriterResult {
    int lines = 0;   // lines that went into the FIFO
    int refused = 0; // writes that found no reader (EPIPE) and were sent again
    bool failed = false;
};

// One writer: all its writes through one descriptor, or a new open for each.
void run_writer(const std::string &fifo, const std::vector<std::string> &writes,
                const std::vector<int> &line_counts, bool reopen_each, WriterResult *result)
{
    int fd = -1;
    for (size_t i = 0; i < writes.size(); i++) {
        for (int attempt = 0;; attempt++) {
            if (fd < 0)
                fd = stress_open_writer(fifo);
            if (fd < 0 || attempt > 100) {
                result->failed = true;
                return;
            }
            if (stress_write_all(fd, writes[i]))
                break;
            // A write within PIPE_BUF goes in whole or not at all: EPIPE
            // means nothing of it was taken, so send it again.
            if (errno != EPIPE) {
                result->failed = true;
                return;
            }
            result->refused++;
            close(fd);
            fd = -1;
        }
        result->lines += line_counts[i];
        if (reopen_each) {
            close(fd);
            fd = -1;
        }
    }
    if (fd >= 0)
        close(fd);
}

TEST(CommandLoad, TwentyConcurrentWritersLoseNoLine)
{
    const int writers = 20;
    const int per_writer = stress_count(250, 5);
    StressRig rig;
    ASSERT_TRUE(rig.configure(FbemuConfig{}));
    ASSERT_TRUE(rig.start());
    ASSERT_TRUE(rig.wait_ready()) << rig.err();
    const uint32_t before = rig.flips();
    ASSERT_EQ(before, 1u) << "the initial scene is flipped once";

    std::vector<std::vector<std::string>> writes(writers);
    std::vector<std::vector<int>> counts(writers);
    for (int w = 0; w < writers; w++) {
        std::mt19937 rng(1000 + w);
        std::vector<std::string> lines;
        for (int i = 0; i < per_writer; i++)
            lines.push_back(random_line(&rng, 300));
        writes[w] = pack(lines, 4096, &rng);
        for (const std::string &chunk : writes[w]) {
            int n = 0;
            for (char c : chunk)
                n += c == '\n';
            counts[w].push_back(n);
        }
    }

    const auto t0 = std::chrono::steady_clock::now();
    std::vector<WriterResult> results(writers);
    std::vector<std::thread> threads;
    for (int w = 0; w < writers; w++)
        threads.emplace_back(run_writer, rig.fifo, std::cref(writes[w]), std::cref(counts[w]),
                             w % 4 == 3, &results[w]);
    for (std::thread &t : threads)
        t.join();
    int sent = 0, refused = 0;
    for (const WriterResult &r : results) {
        EXPECT_FALSE(r.failed);
        sent += r.lines;
        refused += r.refused;
    }
    ASSERT_EQ(sent, writers * per_writer);
    ASSERT_TRUE(stress_send(rig.fifo, "QUIT\n"));
    const GlimmerExit e = glimmer_run_wait(&rig.process, STRESS_TIMEOUT_MS);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_TRUE(e.exited && e.code == 0) << "signal " << e.signal;
    EXPECT_EQ(rig.flips(), before + (uint32_t)sent) << "lines sent: " << sent;
    EXPECT_EQ(rig.err(), "");
    EXPECT_EQ(rig.console_now(), rig.console_as_found(1));
    EXPECT_FALSE(rig.fifo_exists());
    RecordProperty("lines", sent);
    RecordProperty("resent_after_epipe", refused);
    printf("%d lines from %d writers in %.2f s (%d writes sent again after EPIPE)\n", sent, writers,
           seconds, refused);
}

// Sends `lines` one write each and returns the page on display afterwards.
FbemuImage shown_after(const std::vector<std::string> &lines)
{
    FbemuImage image;
    StressRig rig;
    EXPECT_TRUE(rig.configure(FbemuConfig{}));
    EXPECT_TRUE(rig.start({"-n"}));
    EXPECT_TRUE(rig.wait_ready());
    for (const std::string &line : lines)
        EXPECT_TRUE(stress_send(rig.fifo, line));
    EXPECT_TRUE(rig.wait_flips(1 + (uint32_t)lines.size()));
    EXPECT_TRUE(rig.wait_waiting());
    EXPECT_TRUE(glimmer_fbemu_decode_shown(rig.dir.path, 0, &image));
    EXPECT_TRUE(stress_send(rig.fifo, "QUIT\n"));
    EXPECT_EQ(glimmer_run_wait(&rig.process, STRESS_TIMEOUT_MS).code, 0);
    return image;
}

TEST(CommandLoad, LineAcrossAFullReadIsKeptWhole)
{
    // 4096 bytes in one write: glimmer's first read takes 2048 of them and
    // cuts "PROGRESS 60" after "PRO"; the rest arrives with the next read.
    std::vector<std::string> lines = {"MSG " + std::string(2040, 'a') + "\n", "PROGRESS 60\n"};
    size_t used = lines[0].size() + lines[1].size();
    ASSERT_LT(lines[0].size(), 2048u);
    ASSERT_GT(used, 2048u);
    while (4096 - used > 300) {
        lines.push_back("MSG " + std::string(200, 'b') + "\n");
        used += lines.back().size();
    }
    lines.push_back("MSG " + std::string(4096 - used - 5, 'c') + "\n");
    std::string bytes;
    for (const std::string &l : lines)
        bytes += l;
    ASSERT_EQ(bytes.size(), 4096u);
    ASSERT_EQ(bytes.substr(2045, 3), "PRO");

    StressRig rig;
    ASSERT_TRUE(rig.configure(FbemuConfig{}));
    ASSERT_TRUE(rig.start({"-n"}));
    ASSERT_TRUE(rig.wait_ready());
    const int fd = stress_open_writer(rig.fifo);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), 4096);
    close(fd);
    const uint32_t expected = 1 + (uint32_t)lines.size();
    EXPECT_TRUE(rig.wait_flips(expected));
    ASSERT_TRUE(rig.wait_waiting());
    EXPECT_EQ(rig.flips(), expected) << "a line was split or lost";
    FbemuImage after_one_write;
    ASSERT_TRUE(glimmer_fbemu_decode_shown(rig.dir.path, 0, &after_one_write));
    ASSERT_TRUE(stress_send(rig.fifo, "QUIT\n"));
    EXPECT_EQ(glimmer_run_wait(&rig.process, STRESS_TIMEOUT_MS).code, 0);
    EXPECT_EQ(rig.err(), "");

    // The same lines one write each: the bar must stand at 60 all the same.
    const FbemuImage one_by_one = shown_after(lines);
    ASSERT_EQ(one_by_one.pixels.size(), after_one_write.pixels.size());
    EXPECT_TRUE(one_by_one.pixels == after_one_write.pixels);
    std::vector<std::string> cut = lines;
    cut[1] = "PROGRESS 6\n";
    EXPECT_FALSE(shown_after(cut).pixels == after_one_write.pixels)
        << "the bar at 6 and at 60 look alike: the comparison proves nothing";
}

TEST(CommandLoad, OpenWriteCloseCyclesLeakNothing)
{
    const int cycles = stress_count(100000, 100);
    // Every so often the writer lets glimmer see the end of file and reopen
    // the FIFO before it opens again, so that the reopen runs many times.
    const int reopen_every = 50;
    StressRig rig;
    ASSERT_TRUE(rig.configure(FbemuConfig{}));
    ASSERT_TRUE(rig.start());
    ASSERT_TRUE(rig.wait_ready()) << rig.err();
    const pid_t pid = rig.process.pid;
    const int fds_before = stress_fd_count(pid);
    const long rss_before = stress_rss_kib(pid);
    ASSERT_GT(fds_before, 0);
    ASSERT_GT(rss_before, 0);
    const uint32_t flips_before = rig.flips();

    const auto t0 = std::chrono::steady_clock::now();
    int sent = 0, refused = 0, no_reader = 0, reopens = 0;
    for (int i = 0; i < cycles; i++) {
        const std::string line = i % 100 == 7 ? "MSG cycle " + std::to_string(i) + "\n"
                                              : "PROGRESS " + std::to_string(i % 101) + "\n";
        int fd = -1;
        for (int attempt = 0; fd < 0; attempt++) {
            fd = open(rig.fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0 && errno == ENXIO && attempt < 1000000) {
                no_reader++; // between glimmer's close and its reopen
                std::this_thread::yield();
                continue;
            }
            ASSERT_GE(fd, 0) << "cycle " << i << ": " << strerror(errno);
        }
        (void)fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        if (!stress_write_all(fd, line)) {
            ASSERT_EQ(errno, EPIPE) << "cycle " << i;
            refused++; // the reader left between our open and the write
            close(fd);
            i--;
            continue;
        }
        sent++;
        if (i % reopen_every == 0) {
            // While this writer holds the FIFO, glimmer's descriptor stays.
            const int held = rig.fifo_fd();
            ASSERT_GE(held, 0) << "cycle " << i;
            close(fd);
            ASSERT_TRUE(rig.wait_reopened(held)) << "cycle " << i;
            reopens++;
        } else {
            close(fd);
        }
    }
    EXPECT_TRUE(rig.wait_flips(flips_before + (uint32_t)sent));
    ASSERT_TRUE(rig.wait_waiting());
    const int fds_after = stress_fd_count(pid);
    const long rss_after = stress_rss_kib(pid);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(rig.flips(), flips_before + (uint32_t)sent) << "lines sent: " << sent;
    EXPECT_EQ(fds_after, fds_before);
    EXPECT_LE(rss_after, rss_before + 512)
        << "resident memory grew from " << rss_before << " KiB to " << rss_after << " KiB";

    ASSERT_TRUE(stress_send(rig.fifo, "QUIT\n"));
    const GlimmerExit e = glimmer_run_wait(&rig.process, STRESS_TIMEOUT_MS);
    EXPECT_TRUE(e.exited && e.code == 0);
    EXPECT_EQ(rig.err(), "");
    EXPECT_EQ(rig.console_now(), rig.console_as_found(1));
    RecordProperty("cycles", sent);
    printf("%d cycles in %.1f s: %d forced reopens, %d opens found no reader, %d writes sent "
           "again after EPIPE; %d descriptors before and %d after; VmRSS %ld KiB before, %ld "
           "KiB after\n",
           sent, seconds, reopens, no_reader, refused, fds_before, fds_after, rss_before,
           rss_after);
}

} // namespace
