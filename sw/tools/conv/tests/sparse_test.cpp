// SPDX-License-Identifier: MIT
//
// Sparse files, whose holes stay holes: converted to another file, in
// place and through a pipe.
#include "streams_fixture.h"

#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

struct extent {
    off_t at;
    std::size_t len;
};

struct sparse_case {
    const char *name;
    std::vector<extent> data;
    off_t size;
};

void PrintTo(const sparse_case &c, std::ostream *os)
{
    *os << c.name;
}

class sparse : public scratch, public ::testing::WithParamInterface<sparse_case>
{
};

constexpr off_t mib = off_t{1} << 20;

// Allocated bytes of the file at path.
off_t allocated(const std::string &path)
{
    struct stat st {
    };
    EXPECT_EQ(stat(path.c_str(), &st), 0);
    return off_t{st.st_blocks} * 512;
}

// Holes read as zeros, so the output holds what reading the whole input
// gives, converted; a regular output has holes where the input had them,
// and a pipe gets every byte.
TEST_P(sparse, holes_stay_holes)
{
    const sparse_case &c = GetParam();
    // The input, and the same again to convert in place.
    for (const char *name : {"in", "f"}) {
        int fd = open(path(name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        unsigned seed = 1;
        for (const extent &e : c.data) {
            const std::string bytes = noise(e.len, seed++);
            ASSERT_EQ(pwrite(fd, bytes.data(), e.len, e.at),
                      static_cast<ssize_t>(e.len));
        }
        ASSERT_EQ(ftruncate(fd, c.size), 0);
        close(fd);
    }
    const std::string in = read_file(path("in"));
    const std::string want = flipped(in);
    const off_t used = allocated(path("in"));

    result r = run({"in", "out"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(same_bytes(read_file(path("out")), want));

    // In place only whole words: a ragged file is refused, untouched.
    const bool whole = c.size % 4 == 0;
    r = run({"f", "f"});
    ASSERT_EQ(r.status, whole ? 0 : 1) << r.err;
    EXPECT_TRUE(same_bytes(read_file(path("f")), whole ? want : in));

    if (!on_windows()) { // which has no holes to find
        EXPECT_LE(allocated(path("out")), 2 * used);
        EXPECT_LE(allocated(path("f")), whole ? 2 * used : used);

        int status = -1;
        std::string got = into_a_pipe(dir, status);
        EXPECT_EQ(status, 0);
        EXPECT_TRUE(same_bytes(got, "in\n/dev/stdout\n" + want));
    }
}

INSTANTIATE_TEST_SUITE_P(
    table, sparse,
    ::testing::Values(
        sparse_case{"hole_at_the_start", {{3 * mib, 100000}}, 3 * mib + 100000},
        sparse_case{"hole_in_the_middle",
                    {{0, 65536}, {3 * mib, 65536}},
                    3 * mib + 65536},
        sparse_case{"hole_at_the_end", {{0, 1 << 20}}, 5 * mib},
        sparse_case{"holes_everywhere",
                    {{mib, 4096}, {2 * mib + 8192, 12288}, {5 * mib, 40000}},
                    6 * mib + 2},
        sparse_case{"data_ending_in_a_partial_word",
                    {{mib, 1001}, {3 * mib, 4099}},
                    3 * mib + 4099},
        sparse_case{"nothing_but_a_hole", {}, 2 * mib + 3}),
    named<sparse_case>);

} // namespace
