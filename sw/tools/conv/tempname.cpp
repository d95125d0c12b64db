// SPDX-License-Identifier: MIT
//
// Names for temporary files that no one can foresee, and the tries of
// one name after another until one is free.
#include "tempname.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <random>

namespace
{

// 64 bits from the system's source of randomness, mixed with the clock,
// so that a name cannot be foreseen even where that source is missing.
std::uint64_t random_bits()
{
    std::uint64_t bits = static_cast<std::uint64_t>(
        std::chrono::steady_clock::now().time_since_epoch().count());
    try {
        std::random_device source;
        bits ^= (static_cast<std::uint64_t>(source()) << 32) ^ source();
    } catch (...) { // no source of randomness at all: the clock serves
    }
    // splitmix64's finaliser spreads every bit over the whole word.
    bits = (bits ^ (bits >> 30)) * 0xbf58476d1ce4e5b9ULL;
    bits = (bits ^ (bits >> 27)) * 0x94d049bb133111ebULL;
    return bits ^ (bits >> 31);
}

std::string random_name()
{
    static const char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::string name = ".quadflip.";
    std::uint64_t bits = random_bits();
    for (int i = 0; i < 12; ++i, bits /= 36)
        name += digits[bits % 36];
    return name;
}

} // namespace

bool tempname_try(const std::function<bool(const std::string &)> &make)
{
    for (int tries = 0; tries < 100; ++tries) {
        if (make(random_name()))
            return true;
        if (errno != EEXIST)
            return false;
    }
    return false;
}
