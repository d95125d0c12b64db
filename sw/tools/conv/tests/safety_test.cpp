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
TEST_F(safety, output_of_another_user_is_written_in_place)
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

// A run that fails in place leaves the file as it was and nothing beside
// it, the build that names its temporary file from the start included: it
// removes that file on the way out.
TEST_F(safety, failed_in_place_run_leaves_the_file_as_it_was)
{
    POSIX_ONLY();
    const std::string original = noise(2 * bufsize + 4004);
    write_file(path("f"), original);
    for (const std::string &build : {program(), named_temp_program()}) {
        if (build.empty())
            continue;
        SCOPED_TRACE(build);
        limits lim = file_size_limit(bufsize + 1);
        lim.program = build;
        result r = run({"f", "f"}, lim);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, says("write", EFBIG));
        EXPECT_TRUE(same_bytes(read_file(path("f")), original));
        EXPECT_EQ(listing(dir), std::vector<std::string>{"f"});
    }
}

} // namespace

namespace
{

// A path far over Windows' MAX_PATH (260 characters) converts in place as
// it does to another file, relative or absolute, with nothing left beside
// the file.
TEST_F(safety, long_path_converts_in_place)
{
    const std::string deep = std::string(120, 'd') + "/" +
                             std::string(120, 'e') + "/" +
                             std::string(120, 'f');
    fs::create_directories(path(deep));
    const std::string f = deep + "/f";
    const std::string original = noise(2 * bufsize + 4004);
    write_file(path(f), original);

    const std::vector<std::vector<std::string>> runs = {
        {f, f}, {path(f), path(f)}, {f, path(f)}};
    std::string want = original;
    for (const std::vector<std::string> &args : runs) {
        SCOPED_TRACE(args[1].size());
        result r = run(args);
        want = flipped(want);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, args[0] + "\n" + args[1] + "\n");
        EXPECT_TRUE(same_bytes(read_file(path(f)), want));
        EXPECT_EQ(listing(path(deep)), std::vector<std::string>{"f"});
    }
    result r = run({f, deep + "/g"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(same_bytes(read_file(path(deep + "/g")), flipped(want)));
}

// On Windows a read-only file (FILE_ATTRIBUTE_READONLY, which wine shows
// for a file with no write permission) could never be replaced: it is
// refused when it is opened, as a file without write permission is on
// POSIX systems (inplace.read_only_file_needs_write_permission), not after
// the whole conversion, and nothing is left beside it.
TEST_F(safety, windows_read_only_file_is_refused_before_the_conversion)
{
    if (!on_windows())
        GTEST_SKIP() << "Windows only";
    const std::string original = noise(2 * bufsize + 4004);
    write_file(path("f"), original);
    fs::permissions(path("f"), fs::perms(0444));
    for (const std::string &in : {std::string("f"), path("f")}) {
        result r = run({in, "f"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, in + "\nf\n");
        EXPECT_EQ(r.err, "open: Permission denied\n");
        EXPECT_TRUE(same_bytes(read_file(path("f")), original));
        EXPECT_EQ(fs::status(path("f")).permissions(), fs::perms(0444));
        EXPECT_EQ(listing(dir), std::vector<std::string>{"f"});
    }
}

// On Windows the device names name devices, not files: NUL takes the
// output and throws it away; the console's names, in a run that has no
// console, say so; neither makes a file.
TEST_F(safety, windows_device_names_as_the_output)
{
    if (!on_windows())
        GTEST_SKIP() << "Windows only";
    write_file(path("f"), noise(2 * bufsize + 4004));
    const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(null, 0);
    limits lim; // no terminal, so wine gives the run no console
    lim.in_fd = null;
    const char *no_console = "open: this run has no console to write to\n";
    const struct {
        const char *out;
        int status;
        const char *err;
    } cases[] = {{"NUL", 0, ""},
                 {"nul", 0, ""},
                 {"CON", 1, no_console},
                 {"con", 1, no_console},
                 {"CONOUT$", 1, no_console}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.out);
        result r = run({"f", c.out}, lim);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, std::string("f\n") + c.out + "\n");
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(listing(dir), std::vector<std::string>{"f"});
    }
    (void)close(null);
}

} // namespace
