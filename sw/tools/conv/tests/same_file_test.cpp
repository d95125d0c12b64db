// SPDX-License-Identifier: MIT
//
// A run whose input and output are one file, however the two paths name
// it, converts it in place without destroying it first, and keeps its
// mode; a hard link is a file of its own.
#include "convert.h"
#include "harness.h"

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace
{

struct same_case {
    const char *name;
    std::vector<std::string> args;
    const char *converted; // what holds the converted data afterwards
    const char *kept;      // what still holds the original, if anything
};

void PrintTo(const same_case &c, std::ostream *os)
{
    *os << c.name;
}

class same_file : public scratch,
                  public ::testing::WithParamInterface<same_case>
{
};

TEST_P(same_file, converts_in_place)
{
    const same_case &c = GetParam();
    const std::string original = noise(2 * bufsize + 4004);
    write_file(path("f"), original);
    fs::permissions(path("f"), fs::perms(0640));
    fs::create_directory(path("sub"));
    fs::create_symlink("f", path("link"));
    fs::create_hard_link(path("f"), path("hard"));
    const auto before = listing(dir);

    std::vector<std::string> args = c.args;
    for (std::string &a : args)
        if (a == "ABS")
            a = path("f");
    result r = run(args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, args[0] + "\n" + args[1] + "\n");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(same_bytes(read_file(path(c.converted)), flipped(original)));
    if (*c.kept) {
        EXPECT_TRUE(same_bytes(read_file(path(c.kept)), original));
    }
    if (!on_windows()) { // where the permission bits mean nothing
        EXPECT_EQ(fs::status(path(c.converted)).permissions(), fs::perms(0640));
    }
    EXPECT_TRUE(fs::is_symlink(path("link")));
    EXPECT_EQ(listing(dir), before); // no temporary file is left behind
}

INSTANTIATE_TEST_SUITE_P(
    table, same_file,
    ::testing::Values(
        same_case{"same_path", {"f", "f"}, "f", ""},
        same_case{"dash_b", {"f", "f", "-b"}, "f", ""},
        same_case{"dot_slash", {"f", "./f"}, "f", ""},
        same_case{"through_folder", {"f", "sub/../f"}, "f", ""},
        same_case{"absolute", {"f", "ABS"}, "f", ""},
        same_case{"output_is_link", {"f", "link"}, "f", ""},
        same_case{"input_is_link", {"link", "f"}, "f", ""},
        // A hard link is a name of its own: the output name gets the
        // result, the input name keeps its data, as with two files.
        same_case{"hard_link", {"f", "hard"}, "hard", "f"}),
    named<same_case>);

} // namespace
