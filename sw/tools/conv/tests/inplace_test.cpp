// SPDX-License-Identifier: MIT
//
// An in-place run ends with the file either as it was or fully converted,
// and nothing else beside it, when it races another run, is refused, or
// finds the name given to another file as it starts; and a Windows file
// keeps its attributes.
#include "inplace_fixture.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace
{

// Two runs at once wait for each other at nothing: every success either
// reports is one conversion, so the file ends converted once if one of
// them failed and as it was if both succeeded (one after the other), and
// the one that failed says why and leaves nothing.  The second starts at
// moments spread over the first, up to its commit.  Without an exchange of
// names (the portable build), a run whose last look comes just before the
// other's rename does not see it, so both may succeed with the file
// converted once; it is never anything but converted or as it was.  On
// Windows the replacement moves the file aside, by a handle opened before,
// then the result in (wine's does): a run that starts in between finds no
// file, or one being removed, and one whose move takes the file from the
// other's aside finds the name taken, and says where the file's old data
// now is.
TEST_F(inplace, concurrent_runs_never_lose_a_conversion)
{
    auto t0 = clock_type::now();
    ASSERT_EQ(run({"f", "f"}).status, 0);
    const auto whole = clock_type::now() - t0;
    for (double at : {0.0, 0.3, 0.6, 0.75, 0.85, 0.9, 0.95, 1.0}) {
        SCOPED_TRACE("second run at " + std::to_string(at) + " of the first");
        write_file(path("f"), original);
        child a = start({"f", "f"}, dir);
        sleep_share(whole, at);
        child b = start({"f", "f"}, dir);
        int successes = 0;
        for (const result &r : {finish(a), finish(b)}) {
            if (r.status == 0) {
                ++successes;
                continue;
            }
            EXPECT_EQ(r.status, 1);
            const std::string aside = "rename: the file could not be "
                                      "replaced, and its old data is now ";
            if (on_windows() && r.err.rfind(aside, 0) == 0) {
                const std::string old = path(r.err.substr(
                    aside.size(), r.err.size() - aside.size() - 1));
                EXPECT_TRUE(same_bytes(read_file(old), original));
                fs::remove(old);
                continue;
            }
            // Met before it wrote anything: No such file or directory, or
            // Permission denied for a file being removed.
            if (on_windows() && r.err.rfind("open: ", 0) == 0)
                continue;
            EXPECT_EQ(r.err, "rename: the file was changed during the run\n");
        }
        ASSERT_GE(successes, 1);
        const std::string now = read_file(path("f"));
        if (portable_build())
            EXPECT_TRUE(same_bytes(now, original) ||
                        same_bytes(now, converted));
        else
            EXPECT_TRUE(same_bytes(now, successes == 2 ? original : converted));
        EXPECT_EQ(listing(dir), only_f);
    }
}

// On Windows the file keeps its attributes: a hidden file stays hidden.
TEST_F(inplace, hidden_file_stays_hidden)
{
    if (!on_windows())
        GTEST_SKIP() << "attributes of Windows files";
    // attrib, run by the wine that runs the program.
    const auto attrib = [](const std::vector<std::string> &args) {
        std::vector<std::string> words = env().runner;
        if (words.empty())
            words = {"wine"};
        words.insert(words.end(), {"cmd", "/c", "attrib"});
        words.insert(words.end(), args.begin(), args.end());
        return words;
    };
    ASSERT_TRUE(command(attrib({"+h", "f"}), nullptr, dir));
    std::string said;
    ASSERT_TRUE(command(attrib({"f"}), &said, dir));
    ASSERT_NE(said.find(" H "), std::string::npos) << said;
    result r = run({"f", "f"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(same_bytes(read_file(path("f")), converted));
    ASSERT_TRUE(command(attrib({"f"}), &said, dir));
    EXPECT_NE(said.find(" H "), std::string::npos) << said;
    EXPECT_EQ(listing(dir), only_f);
}
// Another run may put its result over the file between this run's opening
// of the input and its look at the output.  The name is what counts: the
// run converts the file now there, in place, and does not write the old
// file's conversion into the new one.  The run is held between the two by
// a standard output with room for its first path line only.
TEST_F(inplace, name_replaced_under_a_starting_run)
{
    POSIX_ONLY();
    NEEDS(feature::proc);
    NEEDS(feature::pipe_size);
    // Neither end is inherited as it is: a run holding the read end would
    // wait for ever on its full output, and outlive a failed test.
    int p[2];
    ASSERT_EQ(cloexec_pipe(p), 0);
    const int room = pipe_room(p[1]);
    ASSERT_GT(room, 2);
    const std::string filler(static_cast<std::size_t>(room) - 2, '.');
    ASSERT_EQ(write(p[1], filler.data(), filler.size()),
              static_cast<ssize_t>(filler.size()));
    limits lim;
    lim.out_fd = p[1];
    child c = start({"f", "f"}, dir, lim);
    reaper guard{c.pid};
    close(p[1]);
    const bool held = wait_until([&] { return holds_open(c.pid, path("f")); });
    if (!held)
        close(p[0]);
    ASSERT_TRUE(held);

    const std::string other = noise(original.size(), 7);
    write_file(path("new"), other);
    ASSERT_EQ(std::rename(path("new").c_str(), path("f").c_str()), 0);
    const std::string said = drain(p[0]);
    close(p[0]);
    result r = finish(c);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(said, filler + "f\nf\n");
    EXPECT_TRUE(same_bytes(read_file(path("f")), flipped(other)));
    EXPECT_EQ(listing(dir), only_f);
}

// chmod 444 protects a file from a user who may not write it, whichever
// way it is named.  Root may open any file for writing, so root may
// convert it too.
TEST_F(inplace, read_only_file_needs_write_permission)
{
    POSIX_ONLY();
    write_file(path("g"), "other data");
    fs::permissions(path("f"), fs::perms(0444));
    const bool root = geteuid() == 0;
    limits lim;
    if (root) { // become nobody, in a folder that nobody may write
        lim.as_nobody = true;
        fs::permissions(dir, fs::perms(0777));
        const struct passwd *pw = getpwnam("nobody");
        ASSERT_NE(pw, nullptr);
        ASSERT_EQ(chown(path("f").c_str(), pw->pw_uid, pw->pw_gid), 0);
    }
    for (const char *in : {"f", "g"}) {
        result r = run({in, "f"}, lim);
        EXPECT_EQ(r.status, 1) << in;
        EXPECT_EQ(r.out, std::string(in) + "\nf\n");
        EXPECT_EQ(r.err, says("open", EACCES));
        EXPECT_TRUE(same_bytes(read_file(path("f")), original));
        EXPECT_EQ(fs::status(path("f")).permissions(), fs::perms(0444));
        EXPECT_EQ(listing(dir), (std::vector<std::string>{"f", "g"}));
    }
    if (root) {
        result r = run({"f", "f"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(same_bytes(read_file(path("f")), converted));
        EXPECT_EQ(fs::status(path("f")).permissions(), fs::perms(0444));
    }
}
} // namespace

namespace
{

// A descriptor's link in /proc whose file has been removed reads as the
// file's old path and " (deleted)": no name is built from that text, and
// a file that happens to bear it is not touched.  The run is refused.
TEST_F(inplace, removed_file_through_its_descriptor_is_refused)
{
    POSIX_ONLY();
    NEEDS(feature::proc);
    write_file(path("g"), original);
    const int fd = open(path("g").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    fs::remove(path("g"));
    write_file(path("g (deleted)"), "a file, its own!");
    for (const std::string name : {"/proc/self/fd/0", "/dev/stdin"}) {
        SCOPED_TRACE(name);
        limits lim;
        lim.in_fd = fd;
        result r = run({name, name}, lim);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "open: the file can be reached only through an "
                         "open descriptor\n");
        EXPECT_EQ(read_file(path("g (deleted)")), "a file, its own!");
    }
    std::string kept(original.size(), '\0');
    EXPECT_EQ(pread(fd, kept.data(), kept.size(), 0),
              static_cast<ssize_t>(kept.size()));
    close(fd);
    EXPECT_TRUE(same_bytes(kept, original));
    EXPECT_EQ(listing(dir), (std::vector<std::string>{"f", "g (deleted)"}));
}

// Another user who plants names in a shared sticky folder, of the form a
// run's temporary file once had (the process's number and a count), for
// the next processes to start, cannot make a run fail: the names cannot be
// foreseen.
TEST_F(inplace, planted_names_are_not_in_the_way)
{
    POSIX_ONLY();
    NEEDS(feature::proc);
    if (geteuid() != 0)
        GTEST_SKIP() << "planting as another user needs root";
    const struct passwd *pw = getpwnam("nobody");
    ASSERT_NE(pw, nullptr);
    fs::permissions(dir, fs::perms(01777));
    long last = 0;
    std::ifstream("/proc/sys/kernel/ns_last_pid") >> last;
    if (last <= 0)
        GTEST_SKIP() << "the last process number cannot be read here";
    for (long pid = last + 1; pid <= last + 8; ++pid)
        for (int n = 0; n <= 1000; ++n) {
            const std::string name = path(".quadflip." + std::to_string(pid) +
                                          "." + std::to_string(n));
            const int fd =
                open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
            ASSERT_GE(fd, 0) << name;
            ASSERT_EQ(fchown(fd, pw->pw_uid, pw->pw_gid), 0);
            close(fd);
        }
    const auto before = listing(dir);
    result r = run({"f", "f"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(same_bytes(read_file(path("f")), converted));
    EXPECT_EQ(listing(dir), before);
}

} // namespace
