// The command channel: framing, words and arguments, reads cut at the end of
// the receive area, and the loop over a real FIFO. The layout is replaced by
// recorders at link time and the output by a recording one, so each test sees
// exactly which drawing calls, on which heads, and flips a stream of bytes
// causes.
#include "app/command.h"
#include "app/layout.h"
#include "glimmer_run.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

static std::vector<std::string> calls;
static std::vector<const Framebuffer *> drawn_on; // the head of each drawing call

void glimmer_draw_progress(Framebuffer *fb, int32_t value)
{
    calls.push_back("progress " + std::to_string(value));
    drawn_on.push_back(fb);
}

void glimmer_draw_message(Framebuffer *fb, const char *text)
{
    calls.push_back("message [" + std::string(text) + "]");
    drawn_on.push_back(fb);
}

void glimmer_draw_initial_scene(Framebuffer *fb)
{
    calls.push_back("scene");
    drawn_on.push_back(fb);
}

static bool record_flip(Output *, bool sync)
{
    calls.push_back("flip " + std::to_string(sync));
    return true;
}

static OutputFinish finish_answer = OUTPUT_FINISHED;

static OutputFinish record_finish(Output *)
{
    calls.push_back("finish");
    return finish_answer;
}

static const OutputOps recording_ops = {record_flip, nullptr, record_finish};
static Framebuffer head_a, head_b;
static Output one_head = {&recording_ops, 1, {&head_a}};

namespace {

using Calls = std::vector<std::string>;

// Feeds `data` as reads of at most `read_size` bytes (a full receive area at
// most), then end of input, as the loop does.
Calls feed(const std::string &data, size_t read_size = COMMAND_BUFFER_SIZE, bool *quit = nullptr)
{
    calls.clear();
    static CommandReader reader;
    reader.kept = 0;
    size_t at = 0;
    bool quitted = false;
    while (at < data.size() && !quitted) {
        const size_t room = COMMAND_BUFFER_SIZE - reader.kept;
        const size_t n = std::min({read_size, room, data.size() - at});
        memcpy(reader.buffer + reader.kept, data.data() + at, n);
        at += n;
        quitted = glimmer_command_feed(&one_head, &reader, n, false) == COMMAND_QUIT;
    }
    if (!quitted)
        quitted = glimmer_command_feed(&one_head, &reader, 0, true) == COMMAND_QUIT;
    if (quit)
        *quit = quitted;
    return calls;
}

struct ProtocolCase {
    const char *name;
    std::string bytes;
    Calls expected;
    bool quits;
};

const ProtocolCase protocol_cases[] = {
    {"progress_50", "PROGRESS 50\n", {"progress 50", "flip 0"}, false},
    {"two_lines_in_one_write",
     "PROGRESS 10\nMSG hello\n",
     {"progress 10", "flip 0", "message [hello]", "flip 0"},
     false},
    {"message_without_newline", "MSG two words", {"message [two words]", "flip 0"}, false},
    {"two_spaces_keep_one", "MSG  word\n", {"message [ word]", "flip 0"}, false},
    {"msg_alone", "MSG\n", {"flip 0"}, false},
    {"msg_trailing_space", "MSG \n", {"flip 0"}, false},
    {"progress_alone", "PROGRESS\n", {"flip 0"}, false},
    {"progress_no_digits_is_0", "PROGRESS abc\n", {"progress 0", "flip 0"}, false},
    {"progress_leading_blank_and_sign", "PROGRESS  -42x\n", {"progress -42", "flip 0"}, false},
    {"progress_saturates_high", "PROGRESS 99999999999\n", {"progress 2147483647", "flip 0"}, false},
    {"progress_saturates_low",
     "PROGRESS -99999999999\n",
     {"progress -2147483648", "flip 0"},
     false},
    {"lower_case_not_recognised",
     "progress 5\nquit\nmsg x\n",
     {"flip 0", "flip 0", "flip 0"},
     false},
    {"spaces_only", "    \n", {"flip 0"}, false},
    {"spaces_before_word", "   MSG x\n", {"message [x]", "flip 0"}, false},
    {"tab_is_part_of_the_word", "MSG\tx\n", {"flip 0"}, false},
    {"quit_ends_at_once", "MSG a\nQUIT\nMSG b\n", {"message [a]", "flip 0"}, true},
    {"spaces_before_quit", "  QUIT\n", {}, true},
    {"quit_with_words", "QUIT now please\n", {}, true},
    {"quit_with_carriage_return_is_unknown", "QUIT\r\n", {"flip 0"}, false},
    {"nul_separates_lines",
     std::string("MSG a\0PROGRESS 7\0", 17),
     {"message [a]", "flip 0", "progress 7", "flip 0"},
     false},
    {"nul_inside_a_line_ends_it",
     std::string("MSG ab\0cd\n", 10),
     {"message [ab]", "flip 0", "flip 0"},
     false},
    {"newlines_only", "\n\n\n", {}, false},
    {"empty_lines_skipped", "\n\nMSG x\n\n\0\n", {"message [x]", "flip 0"}, false},
};

class Protocol : public testing::TestWithParam<ProtocolCase> {};

TEST_P(Protocol, BytesBecomeDrawingCallsAndFlips)
{
    const ProtocolCase &c = GetParam();
    bool quit = false;
    EXPECT_EQ(feed(c.bytes, COMMAND_BUFFER_SIZE, &quit), c.expected);
    EXPECT_EQ(quit, c.quits);
}

INSTANTIATE_TEST_SUITE_P(Lines, Protocol, testing::ValuesIn(protocol_cases),
                         [](const auto &case_info) { return std::string(case_info.param.name); });

// Every command is drawn on every head, in head order, and the output is
// flipped once after all of them; so is the start-up scene, with sync.
TEST(Heads, EachCommandIsDrawnOnEveryHeadThenFlippedOnce)
{
    Output two_heads = {&recording_ops, 2, {&head_a, &head_b}};
    calls.clear();
    drawn_on.clear();
    glimmer_command_draw_initial_scene(&two_heads);
    char progress[] = "PROGRESS 7", message[] = "MSG hi", unknown[] = "NOPE 1";
    EXPECT_EQ(glimmer_command_run_line(&two_heads, progress, strlen(progress)), COMMAND_CONTINUE);
    EXPECT_EQ(glimmer_command_run_line(&two_heads, message, strlen(message)), COMMAND_CONTINUE);
    EXPECT_EQ(glimmer_command_run_line(&two_heads, unknown, strlen(unknown)), COMMAND_CONTINUE);
    EXPECT_EQ(calls, (Calls{"scene", "scene", "flip 1", "finish", "progress 7", "progress 7",
                            "flip 0", "message [hi]", "message [hi]", "flip 0", "flip 0"}));
    EXPECT_EQ(drawn_on, (std::vector<const Framebuffer *>{&head_a, &head_b, &head_a, &head_b,
                                                          &head_a, &head_b}));
}

// The output finishes its pages only once the first scene is shown; pages
// set up anew get the scene again, and a failure ends the start.
struct FinishCase {
    const char *name;
    OutputFinish answer;
    bool shown;
    Calls expected;
};

void PrintTo(const FinishCase &c, std::ostream *os)
{
    *os << c.name;
}

class Finish : public testing::TestWithParam<FinishCase> {};

TEST_P(Finish, ComesAfterTheFirstScene)
{
    Output one = {&recording_ops, 1, {&head_a}};
    calls.clear();
    finish_answer = GetParam().answer;
    EXPECT_EQ(glimmer_command_draw_initial_scene(&one), GetParam().shown);
    finish_answer = OUTPUT_FINISHED;
    EXPECT_EQ(calls, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, Finish,
    testing::Values(
        FinishCase{"finished", OUTPUT_FINISHED, true, {"scene", "flip 1", "finish"}},
        FinishCase{"redraw", OUTPUT_REDRAW, true, {"scene", "flip 1", "finish", "scene", "flip 1"}},
        FinishCase{"failed", OUTPUT_FAILED, false, {"scene", "flip 1", "finish"}}),
    [](const auto &case_info) { return std::string(case_info.param.name); });

TEST(Framing, LineCutByAFullReadIsCompletedByTheNext)
{
    // 2040 bytes of commands, then one that crosses the 2048-byte boundary.
    std::string data;
    Calls expected;
    while (data.size() < 2040) {
        data += "PROGRESS 1\n";
        expected.push_back("progress 1");
        expected.push_back("flip 0");
    }
    data += "MSG across the boundary\nPROGRESS 77\n";
    expected.push_back("message [across the boundary]");
    expected.push_back("flip 0");
    expected.push_back("progress 77");
    expected.push_back("flip 0");
    ASSERT_LT(data.find("across") - 4, 2048u);
    ASSERT_GT(data.find("across") + 20, 2048u);
    EXPECT_EQ(feed(data), expected);
}

TEST(Framing, ShortReadEndsItsLastLine)
{
    // Writers that send no newline keep working: each read's last line ends.
    EXPECT_EQ(feed("MSG abcMSG def", 7),
              (Calls{"message [abc]", "flip 0", "message [def]", "flip 0"}));
}

TEST(Framing, LineLongerThanTheAreaIsCutInto2048ByteLines)
{
    const std::string data = "MSG " + std::string(3000, 'x') + "\n";
    const Calls got = feed(data);
    ASSERT_EQ(got.size(), 3u); // first 2048 bytes a message, the rest an unknown word
    EXPECT_EQ(got[0], "message [" + std::string(2044, 'x') + "]");
    EXPECT_EQ(got[1], "flip 0");
    EXPECT_EQ(got[2], "flip 0");
}

TEST(Framing, KeptLineIsHandledAtEndOfInput)
{
    std::string data(2048 - 6, '\n');
    data += "MSG hi"; // fills the area exactly, no newline: kept, then end of file
    EXPECT_EQ(feed(data), (Calls{"message [hi]", "flip 0"}));
}

TEST(Framing, ManyCommandsAcrossManyFullReadsLoseNothing)
{
    std::string data;
    Calls expected;
    for (int i = 0; i < 3000; i++) {
        data += "PROGRESS " + std::to_string(i) + "\n";
        expected.push_back("progress " + std::to_string(i));
        expected.push_back("flip 0");
    }
    EXPECT_EQ(feed(data), expected);
}

// The loop over a real FIFO in a temporary directory.
class Loop : public testing::Test {
  protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/glimmer-loop-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        ASSERT_NE(getcwd(old_cwd, sizeof old_cwd), nullptr);
        ASSERT_EQ(chdir(dir.c_str()), 0);
        ASSERT_EQ(mkfifo(GLIMMER_FIFO_NAME, 0600), 0);
        fd = glimmer_command_open_fifo();
        ASSERT_GE(fd, 0);
        sigemptyset(&wait_mask);
        calls.clear();
    }
    void TearDown() override
    {
        (void)unlink(GLIMMER_FIFO_NAME);
        (void)chdir(old_cwd);
        (void)rmdir(dir.c_str());
    }
    static void write_and_close(const std::string &bytes)
    {
        const int w = open(GLIMMER_FIFO_NAME, O_WRONLY);
        ASSERT_GE(w, 0);
        ASSERT_EQ(write(w, bytes.data(), bytes.size()), (ssize_t)bytes.size());
        close(w);
    }
    std::string dir;
    char old_cwd[4096];
    int fd = -1;
    sigset_t wait_mask;
};

TEST_F(Loop, WritersComeAndGo)
{
    // Each writer comes once the loop has seen the end of the one before and
    // opened the FIFO again.
    std::thread writers([this] {
        int held = fd;
        for (const char *line : {"PROGRESS 10\n", "MSG second writer\n"}) {
            write_and_close(line);
            EXPECT_TRUE(glimmer_run_wait_until(
                [&] {
                    const int now = glimmer_run_fifo_fd(getpid(), GLIMMER_FIFO_NAME);
                    return now >= 0 && now != held ? (held = now, true) : false;
                },
                5000))
                << "no reopen after " << line;
        }
        write_and_close("QUIT\n");
    });
    EXPECT_EQ(glimmer_command_loop(&one_head, fd, &wait_mask), 0);
    writers.join();
    EXPECT_EQ(calls, (Calls{"progress 10", "flip 0", "message [second writer]", "flip 0"}));
}

static void on_alarm(int) {}

TEST_F(Loop, FailedReopenWaitsForASignal)
{
    struct sigaction sa = {};
    sa.sa_handler = on_alarm;
    sigaction(SIGALRM, &sa, nullptr);
    std::thread writer([] {
        const int w = open(GLIMMER_FIFO_NAME, O_WRONLY);
        (void)unlink(GLIMMER_FIFO_NAME); // gone before the reopen
        close(w);
    });
    alarm(1);
    EXPECT_EQ(glimmer_command_loop(&one_head, fd, &wait_mask), -1);
    writer.join();
    EXPECT_TRUE(calls.empty());
}

TEST_F(Loop, ReplacedByARegularFileIsNotRead)
{
    struct sigaction sa = {};
    sa.sa_handler = on_alarm;
    sigaction(SIGALRM, &sa, nullptr);
    std::thread writer([] {
        const int w = open(GLIMMER_FIFO_NAME, O_WRONLY);
        (void)unlink(GLIMMER_FIFO_NAME);
        const int f = open(GLIMMER_FIFO_NAME, O_WRONLY | O_CREAT, 0600);
        (void)!write(f, "MSG from a file\n", 16);
        close(f);
        close(w);
    });
    alarm(1);
    EXPECT_EQ(glimmer_command_loop(&one_head, fd, &wait_mask), -1);
    writer.join();
    EXPECT_TRUE(calls.empty());
}

TEST(OpenFifo, RefusesWhatIsNotAFifo)
{
    char tmpl[] = "/tmp/glimmer-open-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    char old[4096];
    ASSERT_NE(getcwd(old, sizeof old), nullptr);
    ASSERT_EQ(chdir(tmpl), 0);
    EXPECT_EQ(glimmer_command_open_fifo(), -1); // missing
    ASSERT_EQ(mkdir(GLIMMER_FIFO_NAME, 0700), 0);
    EXPECT_EQ(glimmer_command_open_fifo(), -2); // a directory
    ASSERT_EQ(rmdir(GLIMMER_FIFO_NAME), 0);
    ASSERT_EQ(mkfifo("real", 0600), 0);
    ASSERT_EQ(symlink("real", GLIMMER_FIFO_NAME), 0);
    EXPECT_EQ(glimmer_command_open_fifo(), -2); // a link, even to a FIFO
    ASSERT_EQ(unlink(GLIMMER_FIFO_NAME), 0);
    const int f = open(GLIMMER_FIFO_NAME, O_WRONLY | O_CREAT, 0600);
    close(f);
    EXPECT_EQ(glimmer_command_open_fifo(), -2); // a regular file
    (void)unlink(GLIMMER_FIFO_NAME);
    (void)unlink("real");
    (void)chdir(old);
    (void)rmdir(tmpl);
}

} // namespace
