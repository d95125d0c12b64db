// SPDX-License-Identifier: MIT
//
// Every swap routine the processor can run gives the bytes of the portable
// one, for any length and alignment.
#include "swap.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace
{

TEST(swap, word_and_buffer_reverse_bytes)
{
    EXPECT_EQ(swap_word(0x01020304U), 0x04030201U);
    EXPECT_EQ(swap_word(0xFF00AA55U), 0x55AA00FFU);
    unsigned char b[] = {1, 2, 3, 4, 0x0a, 0x0d, 0x00, 0xff};
    swap_words(b, 2);
    const unsigned char want[] = {4, 3, 2, 1, 0xff, 0x00, 0x0d, 0x0a};
    EXPECT_EQ(std::memcmp(b, want, sizeof b), 0);
}

TEST(swap, routines_agree_for_every_length_and_alignment)
{
    std::vector<swap_routine> routines = swap_routines();
    routines.push_back({"chosen", swap_words});
    const swapper portable = swap_routines().front().run;
    const std::size_t maxbytes = std::size_t{80} * 4;
    std::vector<unsigned char> input(maxbytes + 64);
    for (std::size_t i = 0; i < input.size(); ++i)
        input[i] = static_cast<unsigned char>(i * 7 + 1);

    for (const swap_routine &r : routines) {
        for (std::size_t n = 0; n <= 80; ++n)
            for (std::size_t offset = 0; offset < 32; ++offset) {
                std::vector<unsigned char> got = input;
                std::vector<unsigned char> want = input;
                r.run(got.data() + offset, n);
                portable(want.data() + offset, n);
                ASSERT_EQ(got, want)
                    << r.name << ", " << n << " words at offset " << offset;
            }
    }
}

TEST(swap, portable_matches_the_definition)
{
    std::vector<unsigned char> b(std::size_t{64} * 4);
    for (std::size_t i = 0; i < b.size(); ++i)
        b[i] = static_cast<unsigned char>(i);
    swap_routines().front().run(b.data(), b.size() / 4);
    for (std::size_t i = 0; i < b.size(); ++i)
        ASSERT_EQ(b[i], static_cast<unsigned char>(i - i % 4 + 3 - i % 4));
}

} // namespace
