// SPDX-License-Identifier: MIT
//
// What the tests of in-place runs share: their fixture, a file f of 4 MiB
// with its conversion; the folder that holds f alone; sleeps for a share
// of a run; and the two builds to run, the usual one and the one that
// names its temporary file from the start.
#ifndef QUADFLIP_TESTS_INPLACE_FIXTURE_H
#define QUADFLIP_TESTS_INPLACE_FIXTURE_H

#include "harness.h"

#include <chrono>
#include <cstddef>
#include <string>
#include <thread>
#include <vector>

using clock_type = std::chrono::steady_clock;

const std::vector<std::string> only_f = {"f"};

class inplace : public scratch
{
  protected:
    void SetUp() override
    {
        scratch::SetUp();
        original = noise(std::size_t{4} << 20);
        converted = flipped(original);
        write_file(path("f"), original);
    }
    std::string original, converted;
};

// The program to run: the usual build, or the one that names its temporary
// file from the start.
inline limits build(bool named_temp)
{
    limits lim;
    if (named_temp)
        lim.program = named_temp_program();
    return lim;
}

// Names the two cases of a table of both builds.
inline std::string build_name(const ::testing::TestParamInfo<bool> &p)
{
    return p.param ? "named_temp" : "usual";
}

// Skips a test of the build that names its temporary file from the start
// where there is none beside the program under test.
#define NEEDS_NAMED_TEMP_BUILD(named)                                          \
    do {                                                                       \
        if ((named) && named_temp_program().empty())                           \
            GTEST_SKIP() << "no build that names its temporary file from "     \
                            "the start beside the program under test";         \
    } while (0)

// Sleeps for the share at of a span whole.
inline void sleep_share(clock_type::duration whole, double at)
{
    std::this_thread::sleep_for(
        std::chrono::duration_cast<clock_type::duration>(whole * at));
}

#endif
