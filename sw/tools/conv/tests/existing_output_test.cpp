// SPDX-License-Identifier: MIT
//
// An existing output ends holding the converted words, written in place,
// whatever it held and whoever runs into it; an output that cannot be told
// from the input is refused.
#include "convert.h"
#include "harness.h"

#include <cstddef>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include <unistd.h>

namespace fs = std::filesystem;

namespace
{

struct existing_case {
    const char *name;
    std::string (*out)(const std::string &in); // the output's data first
    std::size_t in_size;
    bool copy; // the output cannot be told from the input
};

void PrintTo(const existing_case &c, std::ostream *os)
{
    *os << c.name;
}

class existing_output : public scratch,
                        public ::testing::WithParamInterface<existing_case>
{
};

const char *const copy_refused =
    "open: the output holds the same bytes as the input, and may be the "
    "input under another name: remove it, or choose another name\n";

// An existing output that is not the input ends holding exactly the
// converted words, whatever it held: a longer or shorter file, or one of
// the input's length alike in all but one word, first or last, the input
// ragged or not.  It is written in place, so that a hard link to it sees
// the result too, and keeps its mode; the input is not touched, and
// nothing is left beside them.  An output that cannot be told from the
// input (its length and every byte), which might be the input under a
// name that no identity check sees, is refused on POSIX systems, both
// left as they were; on Windows every name shows the file's identity.
TEST_P(existing_output, ends_holding_the_converted_words)
{
    const existing_case &c = GetParam();
    const std::string in = noise(c.in_size, 5);
    write_file(path("in"), in);
    const std::string before = c.out(in);
    write_file(path("out"), before);
    if (!on_windows()) {
        fs::permissions(path("out"), fs::perms(0640));
        fs::create_hard_link(path("out"), path("out.link"));
    }
    result r = run({"in", "out"});
    EXPECT_EQ(r.out, "in\nout\n");
    if (c.copy && !on_windows()) {
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, copy_refused);
        EXPECT_TRUE(same_bytes(read_file(path("out")), before));
    } else {
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(same_bytes(read_file(path("out")), flipped(in)));
    }
    EXPECT_TRUE(same_bytes(read_file(path("in")), in));
    if (!on_windows()) {
        EXPECT_EQ(fs::status(path("out")).permissions(), fs::perms(0640));
        EXPECT_EQ(read_file(path("out.link")), read_file(path("out")));
        fs::remove(path("out.link"));
    }
    EXPECT_EQ(listing(dir), (std::vector<std::string>{"in", "out"}));
}

// Lengths beyond a block, and below.
constexpr std::size_t big = 3 * bufsize + 8;

INSTANTIATE_TEST_SUITE_P(
    table, existing_output,
    ::testing::Values(
        existing_case{"copy", [](const std::string &in) { return in; }, big,
                      true},
        existing_case{"small_copy", [](const std::string &in) { return in; },
                      4004, true},
        existing_case{"ragged_copy", [](const std::string &in) { return in; },
                      big + 3, true},
        existing_case{"copy_with_more",
                      [](const std::string &in) { return in + "more"; }, big,
                      false},
        existing_case{
            "copy_cut_short",
            [](const std::string &in) { return in.substr(0, in.size() - 4); },
            big, false},
        existing_case{
            "same_length_other_start",
            [](const std::string &in) { return "XXXX" + in.substr(4); }, big,
            false},
        existing_case{"same_start_other_end",
                      [](const std::string &in) {
                          return in.substr(0, in.size() - 4) + "XXXX";
                      },
                      big, false},
        existing_case{"ragged_same_length_other_end",
                      [](const std::string &in) {
                          return in.substr(0, in.size() - 4) + "XXXX";
                      },
                      big + 3, false},
        existing_case{"empty",
                      [](const std::string &) { return std::string(); }, big,
                      false}),
    named<existing_case>);

// An existing output that another user runs into is written as any output
// is, in place, where the user may write it, even in a folder the user may
// not write: one the user cannot read, though it holds the input's bytes
// (every name of the input can be read, so it is not the input), and one
// of another owner alike in its start.
TEST_F(existing_output, of_another_user_is_written_in_place)
{
    POSIX_ONLY();
    if (geteuid() != 0)
        GTEST_SKIP() << "running as another user needs root";
    const std::string in = noise(3 * bufsize + 8, 5);
    write_file(path("in"), in);
    fs::permissions(dir, fs::perms(0755));
    const struct {
        const char *name;
        std::string data;
        fs::perms mode;
    } outputs[] = {{"write_only_copy", in, fs::perms(0222)},
                   {"same_start_other_end",
                    in.substr(0, in.size() - 4) + "XXXX", fs::perms(0666)}};
    for (const auto &out : outputs) {
        SCOPED_TRACE(out.name);
        write_file(path("out"), out.data);
        fs::permissions(path("out"), out.mode);
        limits lim;
        lim.as_nobody = true;
        result r = run({"in", "out"}, lim);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(fs::status(path("out")).permissions(), out.mode);
        EXPECT_TRUE(same_bytes(read_file(path("out")), flipped(in)));
        EXPECT_EQ(listing(dir), (std::vector<std::string>{"in", "out"}));
    }
}

} // namespace
