// SPDX-License-Identifier: MIT
//
// Failures are told and never lose data; a run whose input and output are
// one file converts it in place without destroying it first.
#include "convert.h"
#include "harness.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace
{

class safety : public scratch
{
};

// A file-size limit stops the output at any point: in the first write, in
// the middle, or in the flush of the last partial block.  (The limit binds
// the captured standard output and error too, so it stays above their size.)
TEST_F(safety, file_size_limit_is_a_failed_write)
{
    POSIX_ONLY();
    const std::string in = noise(3 * bufsize + 10);
    write_file(path("in"), in);
    for (rlim_t limit : {rlim_t{100}, rlim_t{bufsize}, rlim_t{in.size() - 6}}) {
        result r = run({"in", "out"}, file_size_limit(limit));
        EXPECT_EQ(r.status, 1) << "limit " << limit;
        EXPECT_EQ(r.out, "in\nout\n");
        EXPECT_EQ(r.err, says("write", EFBIG));
    }
}

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

// Converting in place drops nothing: a file whose length is not whole
// words is refused before anything is written, where a two-file run would
// drop its last 1 to 3 bytes.
TEST_F(safety, ragged_file_is_refused_in_place)
{
    for (std::size_t n : {std::size_t{1}, std::size_t{7}, bufsize + 2}) {
        SCOPED_TRACE("length " + std::to_string(n));
        const std::string original = noise(n);
        write_file(path("f"), original);
        result r = run({"f", "f"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "f\nf\n");
        EXPECT_EQ(r.err, "open: the file's length is not a multiple of 4\n");
        EXPECT_TRUE(same_bytes(read_file(path("f")), original));
        EXPECT_EQ(listing(dir), std::vector<std::string>{"f"});
    }
}

TEST_F(safety, failed_in_place_run_leaves_the_file_as_it_was)
{
    POSIX_ONLY();
    const std::string original = noise(2 * bufsize + 4004);
    write_file(path("f"), original);
    result r = run({"f", "f"}, file_size_limit(bufsize + 1));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, says("write", EFBIG));
    EXPECT_TRUE(same_bytes(read_file(path("f")), original));
    EXPECT_EQ(listing(dir), std::vector<std::string>{"f"});
}

} // namespace
