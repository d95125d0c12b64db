// SPDX-License-Identifier: MIT
//
// Locks on the file converted in place, or on its folder, delay nothing
// when the run's caller holds them, of any kind (another process's are in
// calls_test.cpp).  Runs at once are told apart when each commits: one
// held at its commit while another converts the file fails.
#include "world_fixture.h"

#include <filesystem>
#include <string>
#include <vector>

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace
{

// Where the run is, beside its caller: in the caller's folder; in a file
// system whose device /proc names otherwise than stat does (btrfs); in a
// process-number namespace of its own; or run as another user, who cannot
// read the caller's /proc.
enum class beside { folder, btrfs, namespace_of_its_own, another_user };

// A lock that the caller holds on the file, and where the run is.
struct caller_lock_case {
    const char *name;
    bool (*take)(int fd); // locks the whole file open at fd
    beside where = beside::folder;
};

void PrintTo(const caller_lock_case &c, std::ostream *os)
{
    *os << c.name;
}

class locks : public world,
              public ::testing::WithParamInterface<caller_lock_case>
{
};

// A caller that guards the file with flock(1) does not make the run wait
// for ever on the caller's own lock.  The run is flock's child: both are
// in a process group of their own, which goes whatever the outcome.
TEST_F(locks, caller_holds_flock)
{
    POSIX_ONLY();
    if (!installed("flock"))
        GTEST_SKIP()
            << "flock(1) is not installed (apt-get install util-linux)";
    write_file(path("f"), original);
    limits lim;
    lim.wrap = {"flock", "f"};
    lim.own_group = true;
    child c = start({"f", "f"}, dir, lim);
    reaper guard{c.pid, true};
    result r = finish_in_time(c, true);
    ASSERT_TRUE(r.ended) << "the run waited on its caller's lock";
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(same_bytes(read_file(path("f")), converted));
}

// Nor does a caller that holds a lock of any kind on the file, as a
// script's own guard would: a POSIX record lock (fcntl, lockf), an open
// file description lock, or flock(2); wherever the run is.
TEST_P(locks, caller_lock_is_not_waited_for)
{
    POSIX_ONLY();
    const caller_lock_case &c = GetParam();
    std::string folder = dir;
    mounted m{path("m")};
    limits lim;
    if (c.where != beside::folder)
        NEEDS_ROOT();
    if (c.where == beside::btrfs) {
        const std::string why =
            mount_image(dir, {"mkfs.btrfs", "-q", "-f"}, 128 << 20, "", m);
        if (!m.ok)
            GTEST_SKIP() << why;
        folder = m.at;
    } else if (c.where == beside::namespace_of_its_own) {
        if (!installed("unshare"))
            GTEST_SKIP() << "unshare is not installed (apt-get install "
                            "util-linux)";
        lim.wrap = {"unshare", "-pf"};
    }
    const std::string f = folder + "/f";
    write_file(f, original);
    if (c.where == beside::another_user) {
        const struct passwd *pw = getpwnam("nobody");
        ASSERT_NE(pw, nullptr);
        ASSERT_EQ(chown(f.c_str(), pw->pw_uid, pw->pw_gid), 0);
        fs::permissions(dir, fs::perms(0777));
        lim.as_nobody = true;
    }
    int fd = open(f.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    if (!GetParam().take(fd)) {
        close(fd);
        GTEST_SKIP() << "no such lock here";
    }
    const auto names = listing(folder);
    lim.own_group = true;
    child ch = start({"f", "f"}, folder, lim);
    reaper guard{ch.pid, true};
    result r = finish_in_time(ch, true);
    close(fd);
    ASSERT_TRUE(r.ended) << "the run waited on its caller's lock";
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(same_bytes(read_file(f), converted));
    EXPECT_EQ(listing(folder), names);
}

bool whole_file_lock(int fd, int cmd)
{
    struct flock whole {
    };
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    return fcntl(fd, cmd, &whole) == 0;
}

// An open file description lock, where the system has them.
bool ofd_lock(int fd)
{
#ifdef F_OFD_SETLK
    return whole_file_lock(fd, F_OFD_SETLK);
#else
    (void)fd;
    return false;
#endif
}

INSTANTIATE_TEST_SUITE_P(
    table, locks,
    ::testing::Values(
        caller_lock_case{"record_lock",
                         [](int fd) { return whole_file_lock(fd, F_SETLK); }},
        caller_lock_case{"lockf",
                         [](int fd) { return lockf(fd, F_LOCK, 0) == 0; }},
        caller_lock_case{"ofd_lock", ofd_lock},
        caller_lock_case{"flock",
                         [](int fd) { return flock(fd, LOCK_EX) == 0; }},
        caller_lock_case{"ofd_lock_on_btrfs", ofd_lock, beside::btrfs},
        caller_lock_case{"ofd_lock_run_in_a_namespace_of_its_own", ofd_lock,
                         beside::namespace_of_its_own},
        caller_lock_case{"ofd_lock_run_as_another_user", ofd_lock,
                         beside::another_user}),
    named<caller_lock_case>);

// A flock(2) lock on the folder, held beside names that look like a run's
// temporary files (of PID 1, which is always alive, and of a number that
// is no process's), delays nothing, and those names are left alone.
TEST_F(locks, lock_on_the_folder_is_not_waited_for)
{
    POSIX_ONLY();
    write_file(path("f"), original);
    const std::vector<std::string> planted = {".quadflip.1.0",
                                              ".quadflip.4294967295.0"};
    for (const std::string &name : planted)
        write_file(path(name), "not a run's");
    const int folder = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(folder, 0);
    ASSERT_EQ(flock(folder, LOCK_EX), 0);
    child c = start({"f", "f"}, dir);
    reaper guard{c.pid};
    result r = finish_in_time(c);
    close(folder);
    ASSERT_TRUE(r.ended) << "the run waited on the folder's lock";
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(same_bytes(read_file(path("f")), converted));
    for (const std::string &name : planted)
        EXPECT_EQ(read_file(path(name)), "not a run's");
    EXPECT_EQ(listing(dir).size(), 1 + planted.size());
}

// Two runs of one file at once, under the caller's record lock, wait for
// nothing: the first, held at the exchange of its result with the file
// (past its last look at the file), finds another's result there, puts it
// back and fails; the second, which converted the file meanwhile,
// succeeds.  So the file ends converted once, as the one success says.
// Without an exchange of names (the portable build), the last look and
// the rename are two steps, and a run held between them is not seen.
TEST_F(locks, run_held_at_its_commit_finds_the_file_changed)
{
    POSIX_ONLY();
    NEEDS_STRACE();
    if (portable_build())
        GTEST_SKIP() << "no exchange of names in the portable build";
    write_file(path("f"), original);
    int fd = open(path("f").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(lockf(fd, F_LOCK, 0), 0);
    const std::string trace = dir + ".trace";
    limits slow;
    slow.own_group = true;
    slow.wrap = under_strace(
        trace, {"-e", "trace=rename,renameat,renameat2", "-e",
                "inject=rename,renameat,renameat2:delay_enter=2000000:when=1"});
    child a = start({"f", "f"}, dir, slow);
    reaper guard_a{a.pid, true};
    const bool held = wait_until([&] {
        return exists(trace) &&
               read_file(trace).find("rename") != std::string::npos;
    });
    child b = start({"f", "f"}, dir);
    reaper guard_b{b.pid};
    result rb = finish_in_time(b);
    result ra = finish_in_time(a, true);
    close(fd);
    fs::remove(trace);
    ASSERT_TRUE(held) << "the first run never reached its commit";
    ASSERT_TRUE(ra.ended && rb.ended) << "a run waited";
    EXPECT_EQ(rb.status, 0) << rb.err;
    EXPECT_EQ(ra.status, 1);
    EXPECT_EQ(ra.err, "rename: the file was changed during the run\n");
    EXPECT_TRUE(same_bytes(read_file(path("f")), converted))
        << "a conversion was lost, or made twice";
    EXPECT_EQ(listing(dir), std::vector<std::string>{"f"});
}

} // namespace
