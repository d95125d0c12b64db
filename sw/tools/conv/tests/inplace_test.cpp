// SPDX-License-Identifier: MIT
//
// An in-place run ends with the file either as it was or fully converted,
// and nothing else beside it, when it races another run, is refused, or
// finds the name given to another file as it starts; and a Windows file
// keeps its attributes.
#include "inplace_fixture.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <pwd.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace
{

// Two runs at once are serialised: both succeed and the file is back as it
// was, the second having converted the first one's result.  The second
// starts at moments spread over the first, up to its rename.
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
        result ra = finish(a);
        result rb = finish(b);
        EXPECT_EQ(ra.status, 0) << ra.err;
        EXPECT_EQ(rb.status, 0) << rb.err;
        EXPECT_TRUE(same_bytes(read_file(path("f")), original));
        EXPECT_EQ(listing(dir), only_f);
    }
}

// On Windows the file keeps its attributes: a hidden file stays hidden.
TEST_F(inplace, hidden_file_stays_hidden)
{
    if (!on_windows())
        GTEST_SKIP() << "attributes of Windows files";
    const char *runner = std::getenv("QUADFLIP_RUNNER");
    const std::string wine = runner ? runner : "wine";
    ASSERT_TRUE(
        command({wine, "cmd", "/c", "attrib", "+h", "f"}, nullptr, dir));
    std::string said;
    ASSERT_TRUE(command({wine, "cmd", "/c", "attrib", "f"}, &said, dir));
    ASSERT_NE(said.find(" H "), std::string::npos) << said;
    result r = run({"f", "f"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(same_bytes(read_file(path("f")), converted));
    ASSERT_TRUE(command({wine, "cmd", "/c", "attrib", "f"}, &said, dir));
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
