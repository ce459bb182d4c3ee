// glimmer-write, run as a process against FIFOs in a temporary directory.
#include "app/command.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

// The longest line the client sends, newline included.
constexpr size_t LINE_LIMIT =
    PIPE_BUF < COMMAND_BUFFER_SIZE ? (size_t)PIPE_BUF : (size_t)COMMAND_BUFFER_SIZE;

long elapsed_ms(Clock::time_point since)
{
    return (long)std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since)
        .count();
}

void sleep_ms(long ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::string read_all(int fd)
{
    std::string out;
    char buf[4096];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0)
            out.append(buf, (size_t)n);
        else if (n < 0 && errno == EINTR)
            continue;
        else
            return out;
    }
}

struct ClientRun {
    int status = -1; // exit status, or -1 when it did not exit normally
    std::string out, err;
    long ms = 0;
};

// Runs the client (under the emulator in a cross build) with GLIMMER_FIFO_DIR
// set to `dir`, or unset when `dir` is null.
ClientRun run_client(const std::vector<std::string> &args, const char *dir,
                     const std::function<void(pid_t)> &started = {})
{
    std::vector<std::string> argv_s;
    const std::string emulator = GLIMMER_CLIENT_EMULATOR;
    for (size_t pos = 0; pos < emulator.size();) {
        size_t bar = emulator.find('|', pos);
        if (bar == std::string::npos)
            bar = emulator.size();
        argv_s.push_back(emulator.substr(pos, bar - pos));
        pos = bar + 1;
    }
    argv_s.push_back(GLIMMER_CLIENT_PATH);
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &a : argv_s)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    std::vector<std::string> env_s;
    for (char **e = environ; *e; e++)
        if (strncmp(*e, "GLIMMER_FIFO_DIR=", 17) != 0)
            env_s.push_back(*e);
    if (dir)
        env_s.push_back(std::string("GLIMMER_FIFO_DIR=") + dir);
    std::vector<char *> envp;
    for (auto &e : env_s)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    int out_pipe[2], err_pipe[2];
    ClientRun run;
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << strerror(errno);
        return run;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
    const auto start = Clock::now();
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (rc != 0) {
        ADD_FAILURE() << "posix_spawn " << argv[0] << ": " << strerror(rc);
        close(out_pipe[0]);
        close(err_pipe[0]);
        return run;
    }
    if (started)
        started(pid);
    // The outputs are small; stdout is drained first, stderr cannot fill up meanwhile.
    run.out = read_all(out_pipe[0]);
    run.err = read_all(err_pipe[0]);
    close(out_pipe[0]);
    close(err_pipe[0]);
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    run.ms = elapsed_ms(start);
    if (WIFEXITED(wstatus))
        run.status = WEXITSTATUS(wstatus);
    return run;
}

// Waits until the process sleeps between two tries (or has ended): the
// client sleeps only after a try that found no reader.
void wait_until_retrying(pid_t pid)
{
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < deadline) {
        std::ifstream wchan("/proc/" + std::to_string(pid) + "/wchan");
        std::string where;
        if (!std::getline(wchan, where) || where.find("nanosleep") != std::string::npos)
            return;
        sleep_ms(1);
    }
}

// What a process start costs here (large under an emulator); the timing
// bounds below are widened by it.
long start_overhead_ms()
{
    static long overhead = -1;
    if (overhead < 0) {
        overhead = LONG_MAX;
        for (int i = 0; i < 3; i++)
            overhead = std::min(overhead, run_client({"--help"}, nullptr).ms);
    }
    return overhead;
}

// Reads the FIFO on its own thread, like glimmer: waits for readability and,
// with `reopen`, closes and reopens the FIFO at every end of file.
class FifoReader {
  public:
    FifoReader(std::string path, long delay_ms = 0, bool create = false, bool reopen = false)
        : path_(std::move(path)), thread_([=, this] { serve(delay_ms, create, reopen); })
    {}
    ~FifoReader() { finish(); }

    // Stops after taking what is still in the FIFO; returns everything read.
    std::string finish()
    {
        if (thread_.joinable()) {
            stop_ = true;
            thread_.join();
        }
        return data_;
    }

    int opened() const { return opened_; }

  private:
    void serve(long delay_ms, bool create, bool reopen)
    {
        sleep_ms(delay_ms);
        if (create && mkfifo(path_.c_str(), 0600) != 0)
            return;
        int fd = open(path_.c_str(), O_RDONLY | O_NONBLOCK);
        if (fd < 0)
            return;
        opened_++;
        char buf[8192];
        for (;;) {
            const bool last_round = stop_;
            struct pollfd pfd = {fd, POLLIN, 0};
            const int ready = poll(&pfd, 1, last_round ? 0 : 10);
            if (ready <= 0) {
                if (last_round)
                    break;
                continue;
            }
            const ssize_t n = read(fd, buf, sizeof buf);
            if (n > 0) {
                data_.append(buf, (size_t)n);
                continue;
            }
            if (n == 0 && reopen) {
                close(fd);
                fd = open(path_.c_str(), O_RDONLY | O_NONBLOCK);
                if (fd < 0)
                    return;
                opened_++;
            } else if (last_round) {
                break;
            } else if (n == 0) {
                sleep_ms(2); // writers gone, nothing to do until the next one
            }
        }
        close(fd);
    }

    std::string path_;
    std::string data_;
    std::atomic<bool> stop_{false};
    std::atomic<int> opened_{0};
    std::thread thread_;
};

class ClientTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/glimmer-client-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        fifo_ = dir_ + "/" GLIMMER_FIFO_NAME;
    }
    void TearDown() override
    {
        const std::string cmd = "rm -rf '" + dir_ + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }

    void make_fifo() { ASSERT_EQ(mkfifo(fifo_.c_str(), 0600), 0) << strerror(errno); }

    // Every name in the directory, so a test can see nothing was created.
    std::vector<std::string> entries() const
    {
        const std::string cmd = "ls -A '" + dir_ + "'";
        std::vector<std::string> names;
        FILE *ls = popen(cmd.c_str(), "r");
        char name[PATH_MAX];
        while (ls && fgets(name, sizeof name, ls)) {
            name[strcspn(name, "\n")] = '\0';
            names.push_back(name);
        }
        if (ls)
            pclose(ls);
        return names;
    }

    std::string dir_, fifo_;
};

struct DeliveryCase {
    const char *name;
    std::vector<std::string> args;
    const char *line;
};

TEST_F(ClientTest, WritesExactlyOneLineForEachCommand)
{
    const DeliveryCase cases[] = {
        {"progress", {"PROGRESS", "50"}, "PROGRESS 50\n"},
        {"negative progress", {"PROGRESS", "-5"}, "PROGRESS -5\n"},
        {"message in one word", {"MSG", "Installing updates"}, "MSG Installing updates\n"},
        {"message in two words", {"MSG", "Installing", "updates"}, "MSG Installing updates\n"},
        {"inner spaces kept", {"MSG", " two  spaces"}, "MSG  two  spaces\n"},
        {"message after --", {"--", "MSG", "-n"}, "MSG -n\n"},
        {"message with wait", {"--wait", "1", "MSG", "a", "b", "c"}, "MSG a b c\n"},
        {"quit", {"QUIT"}, "QUIT\n"},
    };
    make_fifo();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        FifoReader reader(fifo_);
        const ClientRun run = run_client(c.args, dir_.c_str());
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(reader.finish(), c.line);
    }
}

TEST_F(ClientTest, MissingFifoFailsWithoutCreatingAnything)
{
    const ClientRun run = run_client({"PROGRESS", "50"}, dir_.c_str());
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("does not exist"), std::string::npos) << run.err;
    EXPECT_TRUE(entries().empty());
}

enum Impostor { REGULAR_FILE, DIRECTORY, SYMLINK_TO_FIFO, DANGLING_SYMLINK };

TEST_F(ClientTest, RefusesAnythingButAFifoAndLeavesItAlone)
{
    struct Case {
        const char *name;
        Impostor kind;
        mode_t type;
    };
    const Case cases[] = {
        {"regular file", REGULAR_FILE, S_IFREG},
        {"directory", DIRECTORY, S_IFDIR},
        {"symlink to a read FIFO", SYMLINK_TO_FIFO, S_IFLNK},
        {"dangling symlink", DANGLING_SYMLINK, S_IFLNK},
    };
    const std::string target = dir_ + "/real_fifo";
    ASSERT_EQ(mkfifo(target.c_str(), 0600), 0);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        switch (c.kind) {
        case REGULAR_FILE: {
            FILE *f = fopen(fifo_.c_str(), "w");
            ASSERT_NE(f, nullptr);
            fputs("PROGRESS 1\n", f);
            fclose(f);
            break;
        }
        case DIRECTORY:
            ASSERT_EQ(mkdir(fifo_.c_str(), 0700), 0);
            break;
        case SYMLINK_TO_FIFO:
            ASSERT_EQ(symlink(target.c_str(), fifo_.c_str()), 0);
            break;
        case DANGLING_SYMLINK:
            ASSERT_EQ(symlink("nowhere", fifo_.c_str()), 0);
            break;
        }
        // A reader on the link's target: following the link would reach it.
        FifoReader reader(target);
        const ClientRun run = run_client({"MSG", "hello"}, dir_.c_str());
        EXPECT_EQ(run.status, 2);
        EXPECT_NE(run.err.find("not glimmer's FIFO"), std::string::npos) << run.err;
        EXPECT_EQ(reader.finish(), "");

        struct stat st;
        ASSERT_EQ(lstat(fifo_.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & S_IFMT, c.type);
        if (c.kind == REGULAR_FILE) {
            FILE *f = fopen(fifo_.c_str(), "r");
            ASSERT_NE(f, nullptr);
            char text[64] = {};
            EXPECT_EQ(fread(text, 1, sizeof text - 1, f), 11u);
            fclose(f);
            EXPECT_STREQ(text, "PROGRESS 1\n");
        }
        if (c.kind == DIRECTORY)
            ASSERT_EQ(rmdir(fifo_.c_str()), 0);
        else
            ASSERT_EQ(unlink(fifo_.c_str()), 0);
    }
}

TEST_F(ClientTest, NoReaderGivesUpAfterAShortRetry)
{
    make_fifo();
    const long overhead = start_overhead_ms();
    const ClientRun run = run_client({"QUIT"}, dir_.c_str());
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("no glimmer is reading"), std::string::npos) << run.err;
    EXPECT_GE(run.ms, 190);
    // Loose: a busy machine stretches the retry; what matters is that it ends.
    EXPECT_LE(run.ms, 1500 + 2 * overhead) << "the retry must be short";
}

TEST_F(ClientTest, ReaderAppearingWithinTheRetryIsReached)
{
    make_fifo();
    // The reader comes once the client, having found none, waits to try again.
    std::unique_ptr<FifoReader> reader;
    const ClientRun run = run_client({"PROGRESS", "75"}, dir_.c_str(), [&](pid_t pid) {
        wait_until_retrying(pid);
        reader = std::make_unique<FifoReader>(fifo_);
    });
    EXPECT_EQ(run.status, 0) << run.err;
    ASSERT_TRUE(reader);
    EXPECT_EQ(reader->finish(), "PROGRESS 75\n");
}

TEST_F(ClientTest, WaitOptionWaitsForTheFifoToAppear)
{
    FifoReader reader(fifo_, 300, /*create=*/true);
    const ClientRun run = run_client({"--wait", "5", "MSG", "booting"}, dir_.c_str());
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_GE(run.ms, 290);
    EXPECT_EQ(reader.finish(), "MSG booting\n");
}

TEST_F(ClientTest, WaitOptionGivesUpAtItsLimit)
{
    struct Case {
        const char *name;
        bool fifo;
    };
    const Case cases[] = {{"no FIFO", false}, {"FIFO without reader", true}};
    const long overhead = start_overhead_ms();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.fifo)
            make_fifo();
        const ClientRun run = run_client({"--wait=0.6", "QUIT"}, dir_.c_str());
        EXPECT_EQ(run.status, 2);
        EXPECT_GE(run.ms, 590);
        EXPECT_LE(run.ms, 2500 + 2 * overhead) << "--wait must end near its limit";
        EXPECT_EQ(entries().size(), c.fifo ? 1u : 0u);
    }
}

TEST_F(ClientTest, LongestCommandPassesOneMoreByteIsRefused)
{
    make_fifo();
    // "MSG " + text + "\n" fills the limit exactly.
    const std::string text(LINE_LIMIT - 5, 'x');
    {
        FifoReader reader(fifo_);
        const ClientRun run = run_client({"MSG", text}, dir_.c_str());
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(reader.finish(), "MSG " + text + "\n");
    }
    const std::vector<std::vector<std::string>> too_long = {
        {"MSG", text + "y"},
        {"MSG", text, "y"}, // the joining space overflows
        {"MSG", std::string(3 * LINE_LIMIT, 'z')},
    };
    for (const auto &args : too_long) {
        FifoReader reader(fifo_);
        const ClientRun run = run_client(args, dir_.c_str());
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.err.find("too long"), std::string::npos) << run.err;
        EXPECT_EQ(reader.finish(), "");
    }
}

TEST_F(ClientTest, UsageErrorsWriteNothing)
{
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"progress", "5"},
        {"quit"},
        {"HELLO"},
        {"PROGRESS"},
        {"PROGRESS", "5", "6"},
        {"PROGRESS", "abc"},
        {"PROGRESS", "5x"},
        {"PROGRESS", ""},
        {"PROGRESS", " 5"},
        {"PROGRESS", "99999999999"},
        {"MSG"},
        {"MSG", "one\nQUIT"},
        {"QUIT", "now"},
        {"--wait"},
        {"--wait", "-1", "QUIT"},
        {"--wait", "soon", "QUIT"},
        {"--wait", "nan", "QUIT"},
        {"--wait="},
        {"--bogus", "QUIT"},
        {"-x", "QUIT"},
    };
    make_fifo();
    for (const auto &args : cases) {
        std::string shown;
        for (const auto &a : args)
            shown += "[" + a + "]";
        SCOPED_TRACE(shown);
        FifoReader reader(fifo_);
        const ClientRun run = run_client(args, dir_.c_str());
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.err, "");
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(reader.finish(), "");
    }
}

TEST_F(ClientTest, HelpDocumentsCommandsAndExitStatuses)
{
    const ClientRun run = run_client({"--help"}, dir_.c_str());
    EXPECT_EQ(run.status, 0);
    for (const char *word : {"PROGRESS", "MSG", "QUIT", "--wait", "GLIMMER_FIFO_DIR", "Exit status",
                             "  0 ", "  1 ", "  2 "})
        EXPECT_NE(run.out.find(word), std::string::npos) << word;
    EXPECT_TRUE(entries().empty());
}

// Writers that run at the same time never interleave their lines.
TEST_F(ClientTest, ConcurrentClientsDeliverWholeLines)
{
    make_fifo();
    FifoReader reader(fifo_);
    const int clients = 6;
    std::vector<std::string> texts;
    for (int i = 0; i < clients; i++)
        texts.emplace_back(LINE_LIMIT - 5, (char)('a' + i));
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int i = 0; i < clients; i++)
        threads.emplace_back([&, i] {
            if (run_client({"MSG", texts[(size_t)i]}, dir_.c_str()).status != 0)
                failures++;
        });
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(failures, 0);
    const std::string data = reader.finish();
    ASSERT_EQ(data.size(), clients * LINE_LIMIT);
    std::vector<bool> seen(clients, false);
    for (size_t at = 0; at < data.size(); at += LINE_LIMIT) {
        const std::string line = data.substr(at, LINE_LIMIT);
        const int who = line[4] - 'a';
        ASSERT_GE(who, 0);
        ASSERT_LT(who, clients);
        EXPECT_EQ(line, "MSG " + texts[(size_t)who] + "\n");
        seen[(size_t)who] = true;
    }
    for (int i = 0; i < clients; i++)
        EXPECT_TRUE(seen[(size_t)i]) << i;
}

// A reader that closes and reopens after every writer, as glimmer does: a
// quick series of clients lands in its reopen gap, yet every line arrives.
TEST_F(ClientTest, SuccessiveClientsSurviveTheReopenGap)
{
    make_fifo();
    FifoReader reader(fifo_, 0, false, /*reopen=*/true);
    std::string expected;
    for (int i = 0; i <= 40; i++) {
        const std::string value = std::to_string(i);
        const ClientRun run = run_client({"PROGRESS", value}, dir_.c_str());
        EXPECT_EQ(run.status, 0) << run.err;
        expected += "PROGRESS " + value + "\n";
    }
    const std::string data = reader.finish();
    EXPECT_EQ(data, expected);
    EXPECT_GT(reader.opened(), 1);
}

// The worst case of that gap: the reader closes its end after the line went
// in but before reading it, and opens again 50 ms later. The client keeps
// its end open meanwhile, so the FIFO, and the line in it, survive.
TEST_F(ClientTest, LineOutlivesAReaderClosingBeforeItReads)
{
    make_fifo();
    std::string data;
    std::atomic<bool> reader_open{false};
    std::thread reader([&] {
        int fd = open(fifo_.c_str(), O_RDONLY | O_NONBLOCK);
        reader_open = true;
        if (fd < 0)
            return;
        struct pollfd pfd = {fd, POLLIN, 0};
        const int ready = poll(&pfd, 1, 5000);
        close(fd);
        if (ready != 1)
            return;
        sleep_ms(50);
        fd = open(fifo_.c_str(), O_RDONLY | O_NONBLOCK);
        char buf[256];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0)
            data.assign(buf, (size_t)n);
        close(fd);
    });
    while (!reader_open) // the reader opens first
        std::this_thread::yield();
    const ClientRun run = run_client({"MSG", "kept"}, dir_.c_str());
    reader.join();
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(data, "MSG kept\n");
}

} // namespace
