// SPDX-License-Identifier: MIT
//
// Byte reversal of 32-bit words, one at a time and over whole buffers.
#ifndef QUADFLIP_SWAP_H
#define QUADFLIP_SWAP_H

#include <cstddef>
#include <cstdint>
#include <vector>

using word = std::uint32_t;

// value with its four bytes in reverse order.
constexpr word swap_word(word value)
{
    return (value << 24) | ((value & 0x0000FF00U) << 8) |
           ((value & 0x00FF0000U) >> 8) | (value >> 24);
}

// Reverses the bytes of each of the n words at p, in place.  p need not be
// aligned.  Uses the fastest of the routines below that the processor has.
void swap_words(unsigned char *p, std::size_t n);

// The routines this processor can run, slowest first: the portable one,
// which runs everywhere, then any vector ones.  swap_words uses the last;
// tests and benchmarks try them all.
using swapper = void (*)(unsigned char *p, std::size_t n);
struct swap_routine {
    const char *name;
    swapper run;
};
const std::vector<swap_routine> &swap_routines();

#endif
