// SPDX-License-Identifier: MIT
//
// Failures are told and never lose data: a write past a file-size limit,
// a ragged file in place, a failed run in place; and paths and names as
// Windows has them: far over MAX_PATH, read-only files, device names.
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
