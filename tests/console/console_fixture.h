// The fixture of the tests that run against the emulated console: a fresh
// console directory per case and a configuration to write into it.
#pragma once

#include "console_child.h"

#include <gtest/gtest.h>

class EmulatedConsoleTest : public ::testing::Test {
  protected:
    ConsoleDir dir;
    VtemuConfig config;

    void SetUp() override
    {
        // Refuse to go on without the emulation: the code under test would
        // otherwise take over this machine's console.
        ASSERT_TRUE(console_emulation_loaded())
            << "libglimmer_vtemu.so is not preloaded; run these tests through ctest";
        ASSERT_FALSE(dir.path.empty());
        glimmer_vtemu_config_default(&config);
    }

    void write_console() { ASSERT_TRUE(glimmer_vtemu_init(dir.path.c_str(), &config)); }

    VtemuState model()
    {
        VtemuState state;
        EXPECT_TRUE(glimmer_vtemu_read_state(dir.path.c_str(), &state));
        return state;
    }
};
