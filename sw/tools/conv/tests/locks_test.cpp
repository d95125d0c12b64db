// SPDX-License-Identifier: MIT
//
// Locks on the file converted in place: one held by the run's caller, of
// any kind, is not waited for, and runs under it still take turns; one
// held by another process is waited for, one on the folder only while a
// run is at work there, and a file made a symbolic link meanwhile is not
// followed.
#include "world_fixture.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace
{

// A caller that guards the file with flock(1) does not make the run wait
// for ever on the caller's own lock.  The run is flock's child: both are
// in a process group of their own, which goes whatever the outcome.
TEST_F(world, caller_holds_flock)
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

struct caller_lock_case {
    const char *name;
    bool (*take)(int fd); // locks the whole file open at fd
};

void PrintTo(const caller_lock_case &c, std::ostream *os)
{
    *os << c.name;
}

class caller_lock : public world,
                    public ::testing::WithParamInterface<caller_lock_case>
{
};

// Nor does a caller that holds a lock of any kind on the file, as a
// script's own guard would: a POSIX record lock (fcntl, lockf), an open
// file description lock, or flock(2).
TEST_P(caller_lock, is_not_waited_for)
{
    POSIX_ONLY();
    write_file(path("f"), original);
    int fd = open(path("f").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    if (!GetParam().take(fd)) {
        close(fd);
        GTEST_SKIP() << "no such lock here";
    }
    child c = start({"f", "f"}, dir);
    reaper guard{c.pid};
    result r = finish_in_time(c);
    close(fd);
    ASSERT_TRUE(r.ended) << "the run waited on its caller's lock";
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(same_bytes(read_file(path("f")), converted));
    EXPECT_EQ(listing(dir), std::vector<std::string>{"f"});
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
    table, caller_lock,
    ::testing::Values(
        caller_lock_case{"record_lock",
                         [](int fd) { return whole_file_lock(fd, F_SETLK); }},
        caller_lock_case{"lockf",
                         [](int fd) { return lockf(fd, F_LOCK, 0) == 0; }},
        caller_lock_case{"ofd_lock", ofd_lock},
        caller_lock_case{"flock",
                         [](int fd) { return flock(fd, LOCK_EX) == 0; }}),
    named<caller_lock_case>);

// A flock(2) lock on the folder, which any program that can read it may
// take, the run's caller among them, is waited for only while a run is at
// work there, as its temporary file shows; without one, or with one whose
// number names no process, the run goes on.
TEST_F(world, lock_on_the_folder_is_waited_for_only_while_a_run_is_at_work)
{
    POSIX_ONLY();
    write_file(path("f"), original);
    const int folder = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(folder, 0);
    ASSERT_EQ(flock(folder, LOCK_EX), 0);
    // Where runs take turns at the folder, a temporary file of a live
    // process (this one) keeps the run waiting until it is gone.
    const bool turns_at_folder = portable_build();
    const std::string work =
        path(".quadflip." + std::to_string(getpid()) + ".0");
    if (turns_at_folder)
        write_file(work, "");
    child c = start({"f", "f"}, dir);
    reaper guard{c.pid};
    if (turns_at_folder) {
        std::this_thread::sleep_for(std::chrono::seconds(4));
        EXPECT_TRUE(running(c)) << "the run did not wait for a run at work";
        EXPECT_TRUE(same_bytes(read_file(path("f")), original));
        // A name whose number is no process's, taken for -1, would stand
        // for every process there is.
        fs::rename(work, path(".quadflip.4294967295.0"));
    }
    result r = finish_in_time(c);
    close(folder);
    fs::remove(path(".quadflip.4294967295.0"));
    ASSERT_TRUE(r.ended) << "the run waited for ever on the folder's lock";
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(same_bytes(read_file(path("f")), converted));
    EXPECT_EQ(listing(dir), std::vector<std::string>{"f"});
}

// Two runs started one after the other under the caller's record lock
// still take turns: each converts the other's result, so the file ends as
// it began.  The first is held at the rename of its result, past its last
// look at the file, while the second starts.
TEST_F(world, runs_under_the_callers_lock_take_turns)
{
    POSIX_ONLY();
    NEEDS_STRACE();
    write_file(path("f"), original);
    int fd = open(path("f").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(lockf(fd, F_LOCK, 0), 0);
    const std::string trace = dir + ".trace";
    limits slow;
    slow.own_group = true;
    slow.wrap = under_strace(
        trace, {"-e", "trace=rename,renameat,renameat2", "-e",
                "inject=rename,renameat,renameat2:delay_enter=2000000"});
    child a = start({"f", "f"}, dir, slow);
    reaper guard_a{a.pid, true};
    const bool held = wait_until([&] {
        return exists(trace) &&
               read_file(trace).find("rename") != std::string::npos;
    });
    child b = start({"f", "f"}, dir);
    reaper guard_b{b.pid};
    const bool ended = wait_until([&] { return !running(a) && !running(b); });
    if (!ended) {
        kill(-a.pid, SIGKILL);
        kill(b.pid, SIGKILL);
    }
    result ra = finish(a);
    result rb = finish(b);
    close(fd);
    fs::remove(trace);
    ASSERT_TRUE(held) << "the first run never reached its rename";
    ASSERT_TRUE(ended) << "the runs were still going after 20 s";
    EXPECT_EQ(ra.status, 0) << ra.err;
    EXPECT_EQ(rb.status, 0) << rb.err;
    EXPECT_TRUE(same_bytes(read_file(path("f")), original))
        << "a conversion was lost";
    EXPECT_EQ(listing(dir), std::vector<std::string>{"f"});
}

// A process that is not the run's caller (a sibling of it here), holding a
// record lock (lockf) on the whole of a file until let go or gone.
struct lock_holder {
    pid_t pid = -1;
    int release = -1; // closed, the holder lets go and ends
    explicit lock_holder(const std::string &file);
    lock_holder(const lock_holder &) = delete;
    lock_holder &operator=(const lock_holder &) = delete;
    void let_go();
    ~lock_holder() { let_go(); }
};

lock_holder::lock_holder(const std::string &file)
{
    int ready[2];
    int go[2];
    if (cloexec_pipe(ready) != 0)
        return;
    if (cloexec_pipe(go) != 0) {
        close(ready[0]);
        close(ready[1]);
        return;
    }
    (void)std::fflush(nullptr);
    pid = fork();
    if (pid == 0) {
        close(ready[0]);
        close(go[1]);
        const int fd = open(file.c_str(), O_RDWR);
        char c = 0;
        if (fd < 0 || lockf(fd, F_LOCK, 0) != 0 || write(ready[1], "L", 1) != 1)
            _exit(1);
        (void)read(go[0], &c, 1); // until the other end is closed
        _exit(0);
    }
    close(ready[1]);
    close(go[0]);
    release = go[1];
    char c = 0;
    if (pid < 0 || read(ready[0], &c, 1) != 1)
        let_go();
    close(ready[0]);
}

void lock_holder::let_go()
{
    if (release >= 0)
        close(release);
    release = -1;
    int ws = 0;
    while (pid > 0 && waitpid(pid, &ws, 0) < 0 && errno == EINTR) {
    }
    pid = -1;
}

// A record lock held by a process that is not the run's caller keeps the
// run waiting, the file untouched, until it is let go.
TEST_F(world, lock_of_another_process_is_waited_for)
{
    if (portable_build())
        GTEST_SKIP() << "the portable build waits for no other program's lock: "
                        "it could not tell the caller's from theirs";
    POSIX_ONLY();
    write_file(path("f"), original);
    lock_holder other(path("f"));
    ASSERT_GT(other.pid, 0) << "no process could lock the file";
    child c = start({"f", "f"}, dir);
    reaper guard{c.pid};
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_TRUE(running(c)) << "the run did not wait for the lock";
    EXPECT_TRUE(same_bytes(read_file(path("f")), original));
    other.let_go();
    result r = finish_in_time(c);
    ASSERT_TRUE(r.ended) << "the run went on waiting once the lock was let go";
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(same_bytes(read_file(path("f")), converted));
    EXPECT_EQ(listing(dir), std::vector<std::string>{"f"});
}

// Runs take turns by a name of the file's own (an abstract socket on
// Linux), which any user may take.  Another user's program holding it,
// listening or not, is no run and is not waited for.
TEST_F(world, stranger_holding_the_turn_is_not_waited_for)
{
    POSIX_ONLY();
    NEEDS_ROOT();
    if (portable_build() || emulated())
        GTEST_SKIP() << "only the native Linux build takes turns by name";
    write_file(path("f"), original);
    struct stat st {
    };
    ASSERT_EQ(stat(path("f").c_str(), &st), 0);
    const std::string name = "quadflip/" + std::to_string(st.st_dev) + "/" +
                             std::to_string(st.st_ino);
    const struct passwd *nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    for (const bool listening : {false, true}) {
        SCOPED_TRACE(listening ? "listening" : "bound only");
        int ready[2];
        int go[2];
        ASSERT_EQ(cloexec_pipe(ready), 0);
        ASSERT_EQ(cloexec_pipe(go), 0);
        (void)std::fflush(nullptr);
        const pid_t stranger = fork();
        if (stranger == 0) {
            close(ready[0]);
            close(go[1]);
            sockaddr_un addr{};
            addr.sun_family = AF_UNIX;
            std::memcpy(addr.sun_path + 1, name.data(), name.size());
            const auto len = static_cast<socklen_t>(
                offsetof(sockaddr_un, sun_path) + 1 + name.size());
            const int s = socket(AF_UNIX, SOCK_STREAM, 0);
            char c = 0;
            // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast)
            if (setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0 ||
                s < 0 ||
                bind(s, reinterpret_cast<const sockaddr *>(&addr), len) != 0 ||
                (listening && listen(s, 4) != 0) ||
                write(ready[1], "L", 1) != 1)
                _exit(1);
            (void)read(go[0], &c, 1); // until the other end is closed
            _exit(0);
        }
        close(ready[1]);
        close(go[0]);
        char c = 0;
        const bool held = stranger > 0 && read(ready[0], &c, 1) == 1;
        close(ready[0]);
        child ch = start({"f", "f"}, dir);
        reaper guard{ch.pid};
        result r = finish_in_time(ch);
        close(go[1]);
        if (stranger > 0)
            (void)waitpid(stranger, nullptr, 0);
        if (!held)
            GTEST_SKIP() << "no abstract socket names here";
        ASSERT_TRUE(r.ended) << "the run waited for the stranger";
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(
            same_bytes(read_file(path("f")), listening ? original : converted));
    }
}

// A file replaced by a symbolic link while the run waits for its lock is
// not followed: the run fails, and the file the link leads to is not
// touched.
TEST_F(world, file_made_a_link_while_the_run_waits)
{
    POSIX_ONLY();
    NEEDS(feature::proc);
    write_file(path("f"), original);
    const std::string other_data = noise(4096, 3);
    write_file(path("g"), other_data);
    lock_holder other(path("f"));
    ASSERT_GT(other.pid, 0) << "no process could lock the file";
    child c = start({"f", "f"}, dir);
    reaper guard{c.pid};
    // Open for writing: in place, waiting for the lock, past every look
    // at the name that could still follow a link.
    const bool opened =
        wait_until([&] { return holds_open(c.pid, path("f"), true); });
    fs::create_symlink("g", path("link"));
    fs::rename(path("link"), path("f"));
    other.let_go();
    result r = finish_in_time(c);
    ASSERT_TRUE(opened) << "the run never opened the file";
    ASSERT_TRUE(r.ended) << "the run was still going 20 s after the lock went";
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(read_file(path("g")), other_data);
    EXPECT_TRUE(fs::is_symlink(path("f")));
    EXPECT_EQ(listing(dir), (std::vector<std::string>{"f", "g"}));
}

} // namespace
