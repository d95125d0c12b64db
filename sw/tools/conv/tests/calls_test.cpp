// SPDX-License-Identifier: MIT
//
// What a run asks of the system, as strace -f shows it: no socket, nothing
// in /proc of another process, and no lock, so that no run waits for one,
// nor holds one that another program could wait on; and another process's
// lock on the file, of any kind, delays no run.  In place and into another
// file.
#include "world_fixture.h"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <ostream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace
{

// A call that no run may make, as strace -f -y writes it: each line starts
// with the number of the thread that made the call.
struct rule {
    const char *what;
    std::regex call;
};

const std::vector<rule> &rules()
{
    static const std::vector<rule> all = {
        {"a socket", std::regex(R"(^\d+ +socket(pair)?\()")},
        {"a connection",
         std::regex(R"(^\d+ +(bind|connect|listen|accept4?)\()")},
        // A run takes no lock at all, which another program could wait
        // on, nor tries for one in a loop.  lockf is fcntl too; F_SETLK64
        // and F_SETLKW64 on 32-bit systems.
        {"a record lock",
         std::regex(R"(^\d+ +fcntl(64)?\([^,]*, F_(OFD_)?SETLKW?(64)?,)")},
        {"a flock lock",
         std::regex(R"(^\d+ +flock\([^,]*, [^)]*LOCK_(SH|EX))")},
    };
    return all;
}

// The lines of a trace that show a call no run may make, each after what
// it asks for.  Every number that starts a line is the run's own, of its
// threads (and of what it starts, which strace follows too): /proc/self
// seen through -y is one of those; any other under /proc is another
// process's.
std::vector<std::string> faults(const std::vector<std::string> &lines)
{
    std::set<std::string> own;
    const std::regex id(R"(^(\d+) )");
    std::smatch m;
    for (const std::string &line : lines)
        if (std::regex_search(line, m, id))
            own.insert(m[1]);
    const std::regex proc(R"([<"]/proc/(\d+)(?=[/">]))");
    std::vector<std::string> found;
    for (const std::string &line : lines) {
        for (const rule &r : rules())
            if (std::regex_search(line, r.call))
                found.push_back(std::string(r.what) + ": " + line);
        for (std::sregex_iterator p(line.begin(), line.end(), proc), end;
             p != end; ++p)
            if (own.count((*p)[1]) == 0) {
                found.push_back("another process's /proc: " + line);
                break;
            }
    }
    return found;
}

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// A lock that another process holds on the whole of a file, for writing:
// none, a record lock (fcntl F_SETLK, as lockf takes), an open file
// description lock, or a flock(2) lock; or, as the user nobody, who may
// only read the file, a shared record lock.
enum class hold { none, record, ofd, flock, nobody };

bool take(int fd, hold kind)
{
    struct flock whole {
    };
    whole.l_type = kind == hold::nobody ? F_RDLCK : F_WRLCK;
    whole.l_whence = SEEK_SET;
    switch (kind) {
    case hold::none:
        return true;
    case hold::record:
    case hold::nobody:
        return fcntl(fd, F_SETLK, &whole) == 0;
    case hold::ofd:
#ifdef F_OFD_SETLK
        return fcntl(fd, F_OFD_SETLK, &whole) == 0;
#else
        return false;
#endif
    case hold::flock:
        return flock(fd, LOCK_EX | LOCK_NB) == 0;
    }
    return false;
}

// A child of the test, apart from the run, holding a lock of the kind on
// the file at path until this goes; ok once it holds it.
struct holder {
    pid_t pid = -1;
    int release = -1; // closed, the holder lets go and ends
    bool ok = false;
    holder(const std::string &path, hold kind);
    holder(const holder &) = delete;
    holder &operator=(const holder &) = delete;
    ~holder();
};

holder::holder(const std::string &path, hold kind)
{
    if (kind == hold::none) {
        ok = true;
        return;
    }
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
        const struct passwd *pw =
            kind == hold::nobody ? getpwnam("nobody") : nullptr;
        if (kind == hold::nobody &&
            (!pw || setgid(pw->pw_gid) != 0 || setuid(pw->pw_uid) != 0))
            _exit(1);
        const int fd =
            open(path.c_str(), kind == hold::nobody ? O_RDONLY : O_RDWR);
        char c = 0;
        if (fd < 0 || !take(fd, kind) || write(ready[1], "L", 1) != 1)
            _exit(1);
        (void)read(go[0], &c, 1); // until the other end is closed
        _exit(0);
    }
    close(ready[1]);
    close(go[0]);
    release = go[1];
    char c = 0;
    ok = pid > 0 && read(ready[0], &c, 1) == 1;
    close(ready[0]);
}

holder::~holder()
{
    if (release >= 0)
        close(release);
    int ws = 0;
    while (pid > 0 && waitpid(pid, &ws, 0) < 0 && errno == EINTR) {
    }
}

struct call_case {
    const char *name;
    bool in_place; // f f; or in out, into an existing file as long as in
    hold lock;     // on f, or on out
};

void PrintTo(const call_case &c, std::ostream *os)
{
    *os << c.name;
}

class calls : public scratch, public ::testing::WithParamInterface<call_case>
{
};

// The run succeeds, whatever lock another process holds, and its trace
// shows none of the calls above.
TEST_P(calls, stay_within_the_run_and_never_wait)
{
    POSIX_ONLY();
    NEEDS_STRACE();
    const call_case &c = GetParam();
#ifndef F_OFD_SETLK
    if (c.lock == hold::ofd)
        GTEST_SKIP() << "no open file description locks here";
#endif
    if (c.lock == hold::nobody && !root())
        GTEST_SKIP() << "a lock of another user's needs root";
    const std::string data = noise(std::size_t{64} << 10, 3);
    const std::string target = c.in_place ? "f" : "out";
    write_file(path(c.in_place ? "f" : "in"), data);
    if (!c.in_place)
        write_file(path("out"), noise(data.size(), 4));
    if (c.lock == hold::nobody) // for nobody to read the file
        fs::permissions(dir, fs::perms(0755));
    const holder locked(path(target), c.lock);
    ASSERT_TRUE(locked.ok) << "could not lock " << target;

    const std::string trace = dir + ".trace";
    limits lim;
    lim.wrap = under_strace(trace, {"-y"});
    lim.own_group = true;
    const std::vector<std::string> args =
        c.in_place ? std::vector<std::string>{"f", "f"}
                   : std::vector<std::string>{"in", "out"};
    const result r = finish_in_time(start(args, dir, lim), true);
    const std::vector<std::string> lines =
        exists(trace) ? lines_of(read_file(trace)) : std::vector<std::string>{};
    fs::remove(trace);

    // What a run that hangs was waiting for shows in its trace too, the
    // call unfinished.
    ASSERT_FALSE(lines.empty() || lines[0].find("execve(") == std::string::npos)
        << "strace did not trace the run";
    const std::vector<std::string> found = faults(lines);
    std::string shown;
    for (std::size_t i = 0; i < found.size() && i < 10; ++i)
        shown += "\n  " + found[i];
    EXPECT_TRUE(found.empty())
        << found.size() << " calls that no run may make, as" << shown;
    ASSERT_TRUE(r.ended) << "the run was still going after 20 s";
    EXPECT_EQ(r.status, 0) << r.err;
    if (c.in_place) {
        EXPECT_TRUE(same_bytes(read_file(path("f")), flipped(data)));
        EXPECT_EQ(listing(dir), std::vector<std::string>{"f"});
    } else {
        EXPECT_TRUE(same_bytes(read_file(path("out")), flipped(data)));
        EXPECT_TRUE(same_bytes(read_file(path("in")), data));
    }
}

INSTANTIATE_TEST_SUITE_P(
    , calls,
    ::testing::Values(call_case{"in_place", true, hold::none},
                      call_case{"in_place_record_locked", true, hold::record},
                      call_case{"in_place_ofd_locked", true, hold::ofd},
                      call_case{"in_place_flock_locked", true, hold::flock},
                      call_case{"in_place_read_locked_by_another_user", true,
                                hold::nobody},
                      call_case{"two_files", false, hold::none},
                      call_case{"two_files_record_locked", false, hold::record},
                      call_case{"two_files_ofd_locked", false, hold::ofd},
                      call_case{"two_files_flock_locked", false, hold::flock},
                      call_case{"two_files_read_locked_by_another_user", false,
                                hold::nobody}),
    named<call_case>);

// The reading of a trace itself, on lines as strace -f -y writes them:
// what each is taken for, or "" for a call that is fine.
struct line_case {
    const char *name;
    const char *trace;
    const char *what;
};

void PrintTo(const line_case &c, std::ostream *os)
{
    *os << c.name;
}

class calls_read : public ::testing::TestWithParam<line_case>
{
};

TEST_P(calls_read, as_meant)
{
    const line_case &c = GetParam();
    const std::vector<std::string> found = faults(lines_of(c.trace));
    if (*c.what == '\0') {
        EXPECT_TRUE(found.empty()) << found.at(0);
    } else {
        ASSERT_EQ(found.size(), 1U);
        EXPECT_EQ(found[0].rfind(std::string(c.what) + ": ", 0), 0U)
            << found[0];
    }
}

INSTANTIATE_TEST_SUITE_P(
    , calls_read,
    ::testing::Values(
        line_case{"unix_socket",
                  "7  socket(AF_UNIX, SOCK_STREAM|SOCK_CLOEXEC, 0) = "
                  "3<socket:[41]>",
                  "a socket"},
        line_case{"inet_socket",
                  "7  socket(AF_INET, SOCK_DGRAM, 0) = -1 EACCES (Permission "
                  "denied)",
                  "a socket"},
        line_case{"socketpair",
                  "7  socketpair(AF_UNIX, SOCK_STREAM, 0, [3<socket:[41]>, "
                  "4<socket:[42]>]) = 0",
                  "a socket"},
        line_case{"connect",
                  "7  connect(3<socket:[41]>, {sa_family=AF_UNIX, "
                  "sun_path=@\"q\"}, 5) = -1 ECONNREFUSED (Connection "
                  "refused)",
                  "a connection"},
        line_case{"bind",
                  "7  bind(3<socket:[41]>, {sa_family=AF_UNIX, "
                  "sun_path=@\"q\"}, 5) = 0",
                  "a connection"},
        line_case{"setlkw",
                  "7  fcntl(3</t/f>, F_SETLKW, {l_type=F_WRLCK, "
                  "l_whence=SEEK_SET, l_start=0, l_len=0}) = 0",
                  "a record lock"},
        line_case{"setlkw64",
                  "7  fcntl64(3</t/f>, F_SETLKW64, {l_type=F_WRLCK, "
                  "l_whence=SEEK_SET, l_start=0, l_len=0}) = 0",
                  "a record lock"},
        line_case{"ofd_setlkw",
                  "7  fcntl(3</t/f>, F_OFD_SETLKW, {l_type=F_WRLCK, "
                  "l_whence=SEEK_SET, l_start=0, l_len=0} <unfinished ...>",
                  "a record lock"},
        line_case{"setlk",
                  "7  fcntl(3</t/f>, F_OFD_SETLK, {l_type=F_WRLCK, "
                  "l_whence=SEEK_SET, l_start=0, l_len=0}) = -1 EAGAIN "
                  "(Resource temporarily unavailable)",
                  "a record lock"},
        line_case{"flock_ex", "7  flock(3</t/f>, LOCK_EX) = 0", "a flock lock"},
        line_case{"flock_sh", "7  flock(3</t>, LOCK_SH) = 0", "a flock lock"},
        line_case{"flock_nb",
                  "7  flock(3</t/f>, LOCK_EX|LOCK_NB) = -1 EWOULDBLOCK "
                  "(Resource temporarily unavailable)",
                  "a flock lock"},
        line_case{"flock_un", "7  flock(3</t/f>, LOCK_UN) = 0", ""},
        line_case{"getlk",
                  "7  fcntl(3</t/f>, F_OFD_GETLK, {l_type=F_UNLCK, "
                  "l_whence=SEEK_SET, l_start=0, l_len=0}) = 0",
                  ""},
        line_case{"other_stat",
                  "7  openat(AT_FDCWD</t>, \"/proc/99/stat\", O_RDONLY) = "
                  "3</proc/99/stat>",
                  "another process's /proc"},
        line_case{"other_fdinfo",
                  "7  getdents64(3</proc/99/fdinfo>, 0x5581 /* 4 entries */, "
                  "32768) = 96",
                  "another process's /proc"},
        line_case{"other_exists",
                  "7  statx(AT_FDCWD</t>, \"/proc/99\", AT_STATX_SYNC_AS_STAT, "
                  "STATX_ALL, 0x7ffc) = 0",
                  "another process's /proc"},
        line_case{"other_exe",
                  "7  readlink(\"/proc/99/exe\", 0x7ffc, 4096) = -1 EACCES "
                  "(Permission denied)",
                  "another process's /proc"},
        line_case{"self",
                  "7  openat(AT_FDCWD</t>, \"/proc/self/fd\", "
                  "O_RDONLY|O_DIRECTORY) = 3</proc/7/fd>",
                  ""},
        line_case{"own_thread",
                  "7  clone3({flags=CLONE_VM|CLONE_THREAD}, 88) = 8\n"
                  "8  openat(AT_FDCWD</t>, \"/proc/7/task/8/stat\", "
                  "O_RDONLY) = 3</proc/7/task/8/stat>",
                  ""},
        line_case{"loadavg",
                  "7  openat(AT_FDCWD</t>, \"/proc/loadavg\", O_RDONLY) = "
                  "3</proc/loadavg>",
                  ""}),
    named<line_case>);

} // namespace
