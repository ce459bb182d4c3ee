// The mapping from systemd's readings to PROGRESS commands.
#include "progress/progress.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

struct ReadingsCase {
    const char *name;
    std::vector<double> readings;
    std::vector<int> sent; // the percentages sent, in order
};

void PrintTo(const ReadingsCase &c, std::ostream *out)
{
    *out << c.name;
}

class ProgressReadings : public ::testing::TestWithParam<ReadingsCase> {};

TEST_P(ProgressReadings, SendOnlyWhenTheBarMovesForward)
{
    const ReadingsCase &c = GetParam();
    ProgressTracker tracker = {-1};
    std::vector<int> sent;
    for (double r : c.readings) {
        const int p = glimmer_progress_next(&tracker, r);
        if (p >= 0)
            sent.push_back(p);
    }
    EXPECT_EQ(sent, c.sent);
}

INSTANTIATE_TEST_SUITE_P(
    Progress, ProgressReadings,
    ::testing::Values(ReadingsCase{"first_reading_always_sent", {0.0}, {0}},
                      ReadingsCase{"repeats_send_nothing", {0.25, 0.25, 0.251, 0.2549}, {25}},
                      ReadingsCase{
                          "rounded_to_nearest", {0.004, 0.006, 0.994, 0.996}, {0, 1, 99, 100}},
                      ReadingsCase{"new_jobs_do_not_move_it_back", {0.6, 0.3, 0.5, 0.61}, {60, 61}},
                      ReadingsCase{"out_of_range_clamped", {-0.5, 1.5, 2.0}, {0, 100}},
                      ReadingsCase{"nan_ignored", {NAN, 0.4, NAN}, {40}},
                      ReadingsCase{"whole_boot", {0.1, 0.35, 0.35, 0.8, 1.0}, {10, 35, 80, 100}}),
    [](const ::testing::TestParamInfo<ReadingsCase> &i) { return std::string(i.param.name); });

} // namespace
