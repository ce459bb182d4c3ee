// Signals: SIGINT and SIGTERM while glimmer waits and while it draws, and a
// storm of SIGINT, SIGTERM and SIGUSR1 during a storm of commands. Whatever
// arrives, glimmer ends in order: status 0, FIFO removed, console given back.
#include "stress_rig.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

// How long an orderly end may take once a terminating signal is in.
const int SIGNAL_END_MS = 5000;

// Writes commands into the FIFO until told to stop, reopening whenever the
// reader goes; never blocks for long, so a dead or stuck glimmer cannot hang
// the test.
void storm_writer(const std::string *fifo, const std::atomic<bool> *stop, int seed,
                  std::atomic<long> *lines)
{
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> value(0, 100), count(1, 40);
    while (!stop->load()) {
        const int fd = open(fifo->c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            continue;
        }
        bool open_ok = true;
        while (open_ok && !stop->load()) {
            std::string chunk;
            const int n = count(rng);
            for (int i = 0; i < n; i++)
                chunk += i % 3 == 0 ? "MSG storm " + std::to_string(i) + "\n"
                                    : "PROGRESS " + std::to_string(value(rng)) + "\n";
            for (;;) {
                const ssize_t w = write(fd, chunk.data(), chunk.size());
                if (w == (ssize_t)chunk.size()) {
                    *lines += n;
                    break;
                }
                if (w < 0 && errno == EAGAIN && !stop->load()) {
                    struct pollfd p = {fd, POLLOUT, 0};
                    (void)poll(&p, 1, 10);
                    continue;
                }
                open_ok = false; // EPIPE: the reader is gone
                break;
            }
            if (n % 5 == 0)
                break; // close and open again now and then
        }
        close(fd);
    }
}

struct Storm {
    std::atomic<bool> stop{false};
    std::atomic<long> lines{0};
    std::vector<std::thread> threads;

    void start(const std::string *fifo, int writers, int seed)
    {
        for (int i = 0; i < writers; i++)
            threads.emplace_back(storm_writer, fifo, &stop, seed + i, &lines);
    }
    void finish()
    {
        stop = true;
        for (std::thread &t : threads)
            t.join();
        threads.clear();
    }
    ~Storm() { finish(); }
};

// Whether the process is on a processor right now (not waiting).
bool running(pid_t pid)
{
    const std::string stat = glimmer_read_file("/proc/" + std::to_string(pid) + "/stat");
    const size_t paren = stat.rfind(')');
    return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] == 'R';
}

struct SignalCase {
    int signo;
    bool console;
    bool while_drawing;
};

class Signals : public ::testing::TestWithParam<SignalCase> {};

TEST_P(Signals, EndInOrder)
{
    const SignalCase c = GetParam();
    StressRig rig;
    ASSERT_TRUE(rig.configure(FbemuConfig{}));
    ASSERT_TRUE(rig.start(c.console ? std::vector<std::string>{} : std::vector<std::string>{"-n"}));
    ASSERT_TRUE(rig.wait_ready()) << rig.err();
    Storm storm;
    if (c.while_drawing) {
        storm.start(&rig.fifo, 4, 7);
        ASSERT_TRUE(rig.wait_flips(200)) << "no command storm";
        // Hit it while it runs rather than waits.
        ASSERT_TRUE(glimmer_run_wait_until([&] { return running(rig.process.pid); },
                                           STRESS_TIMEOUT_MS));
    }
    ASSERT_TRUE(glimmer_run_signal(rig.process, c.signo));
    const GlimmerExit e = glimmer_run_wait(&rig.process, SIGNAL_END_MS);
    storm.finish();
    EXPECT_TRUE(e.exited) << "signal " << e.signal << (e.timed_out ? ", timed out" : "");
    EXPECT_EQ(e.code, 0);
    EXPECT_FALSE(rig.fifo_exists());
    EXPECT_EQ(rig.err(), "");
    EXPECT_EQ(rig.console_now(), rig.console_as_found(1));
    if (!c.console) {
        EXPECT_EQ(rig.console_log(), std::vector<std::string>{});
    }
}

INSTANTIATE_TEST_SUITE_P(
    Stress, Signals,
    ::testing::Values(SignalCase{SIGINT, true, false}, SignalCase{SIGTERM, true, false},
                      SignalCase{SIGINT, false, false}, SignalCase{SIGTERM, false, false},
                      SignalCase{SIGINT, true, true}, SignalCase{SIGTERM, true, true},
                      SignalCase{SIGINT, false, true}, SignalCase{SIGTERM, false, true}),
    [](const ::testing::TestParamInfo<SignalCase> &p) {
        return std::string(sigabbrev_np(p.param.signo)) +
               (p.param.console ? "_console" : "_no_console") +
               (p.param.while_drawing ? "_while_drawing" : "_while_waiting");
    });

// What the switch handler may say when a SIGUSR1 comes without a switch
// being asked for: the console refuses the release. (When a terminating
// signal is let in at the same wait and gives the terminal back first, the
// switch handler finds nothing held and says nothing.)
bool expected_report(const std::string &line)
{
    return line == "Error cannot switch away from console: Invalid argument";
}

TEST(SignalStorm, EveryRunEndsInOrder)
{
    const int runs = stress_count(50, 3);
    std::mt19937 rng(4242);
    long signals_sent = 0, lines_sent = 0;
    int ended_by[NSIG] = {};
    for (int run = 0; run < runs; run++) {
        SCOPED_TRACE("run " + std::to_string(run));
        StressRig rig;
        ASSERT_TRUE(rig.configure(FbemuConfig{}));
        ASSERT_TRUE(rig.start());
        // The handlers are in place before the FIFO is made: from then on any
        // of these signals must lead to an orderly end, even during start-up.
        ASSERT_TRUE(glimmer_run_wait_fifo(rig.fifo, STRESS_TIMEOUT_MS));
        Storm storm;
        storm.start(&rig.fifo, 3, run * 10);
        const int delay_us = std::uniform_int_distribution<int>(0, 30000)(rng);
        std::this_thread::sleep_for(std::chrono::microseconds(delay_us));

        const pid_t pid = rig.process.pid;
        std::atomic<bool> stop_signals{false};
        std::atomic<long> sent{0};
        int first = 0;
        std::thread signaller([&, seed = (int)rng()] {
            std::mt19937 r(seed);
            const int kinds[] = {SIGINT, SIGTERM, SIGUSR1};
            std::uniform_int_distribution<int> kind(0, 2), gap(0, 2000);
            // The child is not reaped before this thread stops, so pid
            // cannot name another process.
            while (!stop_signals.load()) {
                const int s = kinds[kind(r)];
                if (kill(pid, s) == 0 && sent++ == 0)
                    first = s;
                std::this_thread::sleep_for(std::chrono::microseconds(gap(r)));
            }
        });
        const bool ended = glimmer_run_wait_until([&] { return stress_is_zombie(pid); },
                                                  delay_us / 1000 + SIGNAL_END_MS);
        stop_signals = true;
        signaller.join();
        storm.finish();
        const GlimmerExit e = glimmer_run_wait(&rig.process, STRESS_TIMEOUT_MS);
        signals_sent += sent;
        lines_sent += storm.lines;
        ended_by[first]++;
        ASSERT_TRUE(ended) << "glimmer hangs";
        ASSERT_TRUE(e.exited) << "ended by signal " << e.signal;
        EXPECT_EQ(e.code, 0);
        EXPECT_FALSE(rig.fifo_exists());
        EXPECT_EQ(rig.console_now(), rig.console_as_found(1));
        std::istringstream err(rig.err());
        for (std::string line; std::getline(err, line);)
            EXPECT_TRUE(expected_report(line)) << "unexpected report: " << line;
        if (HasFailure())
            break;
    }
    printf("%d runs, %ld signals sent and %ld command lines written; first signal SIGINT %d, SIGTERM "
           "%d, SIGUSR1 %d times\n",
           runs, signals_sent, lines_sent, ended_by[SIGINT], ended_by[SIGTERM],
           ended_by[SIGUSR1]);
}

// SIGUSR1 is the terminal-switch signal. Without a terminal held ("-n") a
// stray one from another program is ignored: glimmer goes on serving and
// still ends in order.
TEST(StraySigusr1, WithoutTerminalIsIgnored)
{
    StressRig rig;
    ASSERT_TRUE(rig.configure(FbemuConfig{}));
    ASSERT_TRUE(rig.start({"-n"}));
    ASSERT_TRUE(rig.wait_ready());
    for (int i = 0; i < 3; i++)
        ASSERT_TRUE(glimmer_run_signal(rig.process, SIGUSR1));
    ASSERT_TRUE(stress_send(rig.fifo, "PROGRESS 5\nQUIT\n"));
    const GlimmerExit e = glimmer_run_wait(&rig.process, STRESS_TIMEOUT_MS);
    EXPECT_TRUE(e.exited && e.code == 0) << "signal " << e.signal;
    EXPECT_EQ(rig.flips(), 2u);
    EXPECT_EQ(rig.err(), "");
    EXPECT_FALSE(rig.fifo_exists());
}

// With a terminal held, a SIGUSR1 that no switch asked for is answered as a
// release (which the console refuses) and ends glimmer in order.
TEST(StraySigusr1, WithTerminalEndsInOrder)
{
    StressRig rig;
    ASSERT_TRUE(rig.configure(FbemuConfig{}));
    ASSERT_TRUE(rig.start());
    ASSERT_TRUE(rig.wait_ready());
    ASSERT_TRUE(glimmer_run_signal(rig.process, SIGUSR1));
    const GlimmerExit e = glimmer_run_wait(&rig.process, STRESS_TIMEOUT_MS);
    EXPECT_TRUE(e.exited && e.code == 0);
    EXPECT_EQ(rig.err(), "Error cannot switch away from console: Invalid argument\n");
    EXPECT_FALSE(rig.fifo_exists());
    EXPECT_EQ(rig.console_now(), rig.console_as_found(1));
}

} // namespace
