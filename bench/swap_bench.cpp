// SPDX-License-Identifier: MIT
//
// The word swap of each routine beside memcpy, over buffers from the L1
// cache to main memory.
#include "swap.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

namespace
{

void bm_memcpy(benchmark::State &state)
{
    auto n = static_cast<std::size_t>(state.range(0));
    std::vector<unsigned char> src(n, 1);
    std::vector<unsigned char> dst(n);
    for (auto _ : state) {
        std::memcpy(dst.data(), src.data(), n);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void bm_swap(benchmark::State &state, swapper run)
{
    auto n = static_cast<std::size_t>(state.range(0));
    std::vector<unsigned char> buf(n, 1);
    for (auto _ : state) {
        run(buf.data(), n / 4);
        benchmark::DoNotOptimize(buf.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void sizes(benchmark::internal::Benchmark *b)
{
    b->RangeMultiplier(4)->Range(4 << 10, 4 << 20)->Arg(8 << 20);
}

int init = [] {
    benchmark::RegisterBenchmark("memcpy", bm_memcpy)->Apply(sizes);
    benchmark::RegisterBenchmark("swap_words", bm_swap, swap_words)
        ->Apply(sizes);
    for (const swap_routine &r : swap_routines())
        benchmark::RegisterBenchmark((std::string("swap_") + r.name).c_str(),
                                     bm_swap, r.run)
            ->Apply(sizes);
    return 0;
}();

} // namespace

BENCHMARK_MAIN();
