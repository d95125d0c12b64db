// SPDX-License-Identifier: MIT
//
// What the output holds: every whole word reversed, whatever the size of
// the input and however its bytes arrive.
#include "convert.h"
#include "harness.h"

#include <sys/stat.h>

namespace
{

using bytes = std::string;

class data : public scratch
{
  protected:
    // Converts input from a file and returns the output file's contents.
    bytes convert(const bytes &input)
    {
        write_file(path("in"), input);
        result r = run({"in", "out"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "in\nout\n");
        return read_file(path("out"));
    }
};

TEST_F(data, content_table)
{
    const struct {
        bytes in, out;
    } cases[] = {
        {"", ""},
        {"\x01", ""},
        {"\x01\x02", ""},
        {"\x01\x02\x03", ""},
        {"\x01\x02\x03\x04", "\x04\x03\x02\x01"},
        {"\x01\x02\x03\x04\x05\x06\x07\x08",
         "\x04\x03\x02\x01\x08\x07\x06\x05"},
        {"\x01\x02\x03\x04\x05\x06\x07\x08\x09",
         "\x04\x03\x02\x01\x08\x07\x06\x05"},
        {bytes("\x0a\x0d\x00\xff", 4), bytes("\xff\x00\x0d\x0a", 4)},
        {bytes("\x1a\x0d\x0a\x00\x0d\x0a\x1a\xff", 8),
         bytes("\x00\x0a\x0d\x1a\xff\x1a\x0a\x0d", 8)},
    };
    for (const auto &c : cases)
        EXPECT_EQ(convert(c.in), c.out) << "input of " << c.in.size();
}

TEST_F(data, every_byte_value_in_every_position)
{
    bytes in;
    for (int shift = 0; shift < 4; ++shift) // each value at each offset
        for (int v = 0; v < 256 + shift; ++v)
            in += static_cast<char>(v);
    EXPECT_TRUE(same_bytes(convert(in), flipped(in)));
}

TEST_F(data, sizes_around_the_block)
{
    for (std::size_t base : {bufsize, 2 * bufsize, 5 * bufsize})
        for (std::size_t n = base - 5; n <= base + 5; ++n) {
            bytes in = noise(n, static_cast<unsigned>(n));
            EXPECT_TRUE(same_bytes(convert(in), flipped(in))) << "size " << n;
        }
}

TEST_F(data, twice_gives_back_whole_words)
{
    bytes in = noise(3 * bufsize + 7);
    write_file(path("in"), in);
    ASSERT_EQ(run({"in", "mid"}).status, 0);
    ASSERT_EQ(run({"mid", "out"}).status, 0);
    EXPECT_TRUE(
        same_bytes(read_file(path("out")), in.substr(0, in.size() - 3)));
}

TEST_F(data, longer_existing_output_is_truncated)
{
    write_file(path("out"), noise(3 * bufsize));
    EXPECT_EQ(convert("\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a"),
              "\x04\x03\x02\x01\x08\x07\x06\x05");
}

// A pipe delivers what its writer has put in, so reads come in ragged
// pieces: words split across reads must still come out whole and exact.
TEST_F(data, fifo_fed_in_ragged_pieces)
{
    POSIX_ONLY();
    ASSERT_EQ(mkfifo(path("in").c_str(), 0600), 0);
    const bytes in = noise(4 * bufsize + 3, 7);
    child c = start({"in", "out"}, dir);

    feed_fifo(path("in"), in, 11);

    result r = finish(c);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "in\nout\n");
    EXPECT_TRUE(same_bytes(read_file(path("out")), flipped(in)));
}

} // namespace
