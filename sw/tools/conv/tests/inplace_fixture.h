// SPDX-License-Identifier: MIT
//
// What the tests of in-place runs share: their fixture, a file f of 4 MiB
// with its conversion; the folder that holds f alone; and sleeps for a
// share of a run.
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
// Sleeps for the share at of a span whole.
inline void sleep_share(clock_type::duration whole, double at)
{
    std::this_thread::sleep_for(
        std::chrono::duration_cast<clock_type::duration>(whole * at));
}

#endif
