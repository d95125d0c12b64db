// SPDX-License-Identifier: MIT
//
// Reversing the bytes of every word of a buffer: a portable loop, and on
// x86 the SSSE3 and AVX2 shuffles, chosen once by what the processor and
// the system support.
#include "swap.h"

#include <cstring>

#if (defined(__x86_64__) || defined(__i386__)) &&                              \
    (defined(__GNUC__) || defined(__clang__))
#define QUADFLIP_X86 1
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace
{

// Any processor, either byte order: each word is loaded and stored in the
// host's order and reversed in between, so the file sees the same effect.
void swap_portable(unsigned char *p, std::size_t n)
{
    for (; n != 0; --n, p += 4) {
        word value;
        std::memcpy(&value, p, 4);
        word byte_swapped = swap_word(value);
        std::memcpy(p, &byte_swapped, 4);
    }
}

#ifdef QUADFLIP_X86

__attribute__((target("ssse3"))) void swap_ssse3(unsigned char *p,
                                                 std::size_t n)
{
    const __m128i order =
        _mm_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12);
    for (; n >= 4; n -= 4, p += 16) {
        auto *v = reinterpret_cast<__m128i *>(p);
        _mm_storeu_si128(v, _mm_shuffle_epi8(_mm_loadu_si128(v), order));
    }
    swap_portable(p, n);
}

__attribute__((target("avx2"))) void swap_avx2(unsigned char *p, std::size_t n)
{
    const __m256i order = _mm256_setr_epi8(
        3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12, //
        3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12);
    for (; n >= 16; n -= 16, p += 64) {
        auto *v = reinterpret_cast<__m256i *>(p);
        __m256i a = _mm256_loadu_si256(v);
        __m256i b = _mm256_loadu_si256(v + 1);
        _mm256_storeu_si256(v, _mm256_shuffle_epi8(a, order));
        _mm256_storeu_si256(v + 1, _mm256_shuffle_epi8(b, order));
    }
    for (; n >= 8; n -= 8, p += 32) {
        auto *v = reinterpret_cast<__m256i *>(p);
        _mm256_storeu_si256(v,
                            _mm256_shuffle_epi8(_mm256_loadu_si256(v), order));
    }
    swap_portable(p, n);
}

// The processor's own answer through cpuid, which needs no compiler
// runtime's model of the processor: the registers of a leaf, all zero
// where the processor has no such leaf.
struct cpuid_regs {
    unsigned eax, ebx, ecx, edx;
};

cpuid_regs cpuid(unsigned leaf)
{
    cpuid_regs r{};
    if (__get_cpuid_count(leaf, 0, &r.eax, &r.ebx, &r.ecx, &r.edx) == 0)
        r = {};
    return r;
}

bool has_ssse3()
{
    return (cpuid(1).ecx & bit_SSSE3) != 0;
}

// AVX2 also needs the system to save the YMM registers on a switch, which
// the register XCR0 tells where the system has turned XSAVE on.
bool has_avx2()
{
    const unsigned need = bit_OSXSAVE | bit_AVX;
    if ((cpuid(1).ecx & need) != need)
        return false;
    unsigned xcr0 = 0;
    unsigned high = 0;
    __asm__("xgetbv" : "=a"(xcr0), "=d"(high) : "c"(0));
    const unsigned sse_and_ymm = 0x6;
    return (xcr0 & sse_and_ymm) == sse_and_ymm &&
           (cpuid(7).ebx & bit_AVX2) != 0;
}

#endif

} // namespace

const std::vector<swap_routine> &swap_routines()
{
    static const std::vector<swap_routine> usable = [] {
        std::vector<swap_routine> v{{"portable", swap_portable}};
#ifdef QUADFLIP_X86
        if (has_ssse3())
            v.push_back({"ssse3", swap_ssse3});
        if (has_avx2())
            v.push_back({"avx2", swap_avx2});
#endif
        return v;
    }();
    return usable;
}

void swap_words(unsigned char *p, std::size_t n)
{
    static const swapper best = swap_routines().back().run;
    best(p, n);
}
