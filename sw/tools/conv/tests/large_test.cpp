// SPDX-License-Identifier: MIT
//
// A file larger than 4 GiB converts right, on 32-bit builds too: words just
// before 2 GiB, about 4 GiB and at the very end come out reversed at the
// same offsets, and everything between stays as it was.
#include "harness.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

using u64 = std::uint64_t;

constexpr u64 gib = u64{1} << 30;
constexpr u64 size = 4 * gib + 4096 + 3; // 3 bytes past the last word
constexpr u64 outsize = size - 3;
const u64 marks[] = {2 * gib - 4, 2 * gib,     4 * gib - 4,
                     4 * gib,     4 * gib + 4, outsize - 4};

// Byte i of mark k, as written to the input.
unsigned char mark_byte(std::size_t k, std::size_t i)
{
    return static_cast<unsigned char>(0x10 * (i + 1) + k + 1);
}

// Reads the output from fd to its end and checks every byte: the marks
// reversed, zeros elsewhere.
::testing::AssertionResult check_output(int fd)
{
    std::vector<unsigned char> buf(std::size_t{1} << 20);
    std::vector<unsigned char> want(buf.size());
    u64 at = 0;
    for (ssize_t n; (n = read(fd, buf.data(), buf.size())) != 0; at += u64(n)) {
        if (n < 0)
            return ::testing::AssertionFailure() << "read failed at " << at;
        auto end = at + u64(n);
        std::memset(want.data(), 0, want.size());
        for (std::size_t k = 0; k < std::size(marks); ++k)
            for (std::size_t i = 0; i < 4; ++i)
                if (marks[k] + i >= at && marks[k] + i < end)
                    want[std::size_t(marks[k] + i - at)] = mark_byte(k, 3 - i);
        if (std::memcmp(buf.data(), want.data(), std::size_t(n)) != 0) {
            auto diff = std::mismatch(buf.begin(), buf.end(), want.begin());
            return ::testing::AssertionFailure()
                   << "byte at offset " << at + u64(diff.first - buf.begin())
                   << " is " << int(*diff.first) << ", not "
                   << int(*diff.second);
        }
    }
    if (at != outsize)
        return ::testing::AssertionFailure()
               << "output is " << at << " bytes, not " << outsize;
    return ::testing::AssertionSuccess();
}

class large : public scratch
{
};

TEST_F(large, file_beyond_4_gib)
{
    // A sparse input: only the marks and the trailing bytes take space.
    int fd = open(path("in").c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, off_t(size)), 0);
    for (std::size_t k = 0; k < std::size(marks); ++k) {
        unsigned char w[4];
        for (std::size_t i = 0; i < 4; ++i)
            w[i] = mark_byte(k, i);
        ASSERT_EQ(pwrite(fd, w, 4, off_t(marks[k])), 4);
    }
    ASSERT_EQ(pwrite(fd, "\x7f\x7f\x7f", 3, off_t(outsize)), 3);
    close(fd);

    // A regular output gets the input's holes back, with data written and
    // the length set past 4 GiB; a FIFO gets every byte.
    result r = run({"in", "out"});
    ASSERT_EQ(r.status, 0) << r.err;
    fd = open(path("out").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(check_output(fd));
    struct stat st {
    };
    EXPECT_EQ(fstat(fd, &st), 0);
    EXPECT_LT(st.st_blocks, 1 << 16) << "the holes were filled";
    close(fd);

    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    child c = start({"in", "fifo"}, dir);
    reaper guard{c.pid};
    fd = open(path("fifo").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(check_output(fd));
    close(fd);
    r = finish(c);
    EXPECT_EQ(r.status, 0) << r.err;
}

} // namespace
