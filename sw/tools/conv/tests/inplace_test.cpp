// SPDX-License-Identifier: MIT
//
// An in-place run ends with the file either as it was or fully converted,
// and nothing else beside it, however the run ends: killed, interrupted,
// racing another run, refused, or outpaced by another program.
#include "harness.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>
#include <tuple>

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace
{

using clock_type = std::chrono::steady_clock;

const std::vector<std::string> only_f = {"f"};

class inplace : public scratch
{
  protected:
    void SetUp() override
    {
        scratch::SetUp();
        original = noise(std::size_t{4} << 20);
        converted = flipped(original);
        write_file(path("f"), original);
    }
    std::string original, converted;
};

// The program to run: the usual build, or the one that names its temporary
// file from the start.
limits build(bool named_temp)
{
    limits lim;
    if (named_temp)
        lim.program = named_temp_program();
    return lim;
}

// Sleeps for the share at of a span whole.
void sleep_share(clock_type::duration whole, double at)
{
    std::this_thread::sleep_for(
        std::chrono::duration_cast<clock_type::duration>(whole * at));
}

// Whether the process pid has sig set to be ignored.
bool ignores(pid_t pid, int sig)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("SigIgn:", 0) == 0)
            return (std::stoull(line.substr(7), nullptr, 16) >> (sig - 1)) & 1;
    return false;
}

#define NEEDS_NAMED_TEMP_BUILD(named)                                          \
    do {                                                                       \
        if ((named) && named_temp_program().empty())                           \
            GTEST_SKIP() << "the named-temporary build is the host's only";    \
    } while (0)

struct signal_case {
    const char *name;
    int sig;
    bool named_temp;
};

void PrintTo(const signal_case &c, std::ostream *os)
{
    *os << c.name;
}

class signals : public inplace,
                public ::testing::WithParamInterface<signal_case>
{
};

// Killed at moments spread over a whole run, from before the temporary
// file exists to after the rename.
TEST_P(signals, leave_the_file_original_or_converted)
{
    POSIX_ONLY();
    const signal_case &c = GetParam();
    NEEDS_NAMED_TEMP_BUILD(c.named_temp);
    // A build or file system without unnamed files names the temporary
    // file from the start: SIGKILL, which cannot be caught, may leave it.
    const bool named = c.named_temp || !unnamed_files(dir);
    const limits lim = build(c.named_temp);

    auto t0 = clock_type::now();
    result r = run({"f", "f"}, lim);
    const auto whole = clock_type::now() - t0;
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_TRUE(same_bytes(read_file(path("f")), converted));

    for (double at : {0.0, 0.2, 0.5, 0.8, 1.1}) {
        SCOPED_TRACE("killed at " + std::to_string(at) + " of a run");
        write_file(path("f"), original);
        child ch = start({"f", "f"}, dir, lim);
        sleep_share(whole, at);
        kill(ch.pid, c.sig);
        r = finish(ch);
        const std::string now = read_file(path("f"));
        if (r.status == 0) {
            EXPECT_TRUE(same_bytes(now, converted));
        } else {
            EXPECT_EQ(r.status, 128 + c.sig) << r.err;
            EXPECT_TRUE(now == original || now == converted)
                << "the file is neither original nor converted";
        }
        // SIGKILL between naming the complete result and renaming it, two
        // system calls apart, leaves it behind, complete; with a temporary
        // file named from the start, at any moment; anything else leaves
        // nothing.
        std::vector<std::string> names = listing(dir);
        if (c.sig == SIGKILL && names.size() == 2 && now == original &&
            names[0].rfind(".quadflip.", 0) == 0 &&
            (named || read_file(path(names[0])) == converted)) {
            fs::remove(path(names[0]));
            names = listing(dir);
        }
        EXPECT_EQ(names, only_f);
    }
}

INSTANTIATE_TEST_SUITE_P(
    table, signals,
    ::testing::Values(signal_case{"kill", SIGKILL, false},
                      signal_case{"term", SIGTERM, false},
                      signal_case{"quit", SIGQUIT, false},
                      signal_case{"term_named_temp", SIGTERM, true},
                      signal_case{"quit_named_temp", SIGQUIT, true},
                      signal_case{"usr1_named_temp", SIGUSR1, true},
                      signal_case{"alrm_named_temp", SIGALRM, true}),
    named<signal_case>);

class both_builds : public inplace, public ::testing::WithParamInterface<bool>
{
};

std::string build_name(const ::testing::TestParamInfo<bool> &p)
{
    return p.param ? "named_temp" : "usual";
}

// As under nohup, or in a background job of a script.
TEST_P(both_builds, signals_ignored_by_the_caller_stay_ignored)
{
    POSIX_ONLY();
    NEEDS_NAMED_TEMP_BUILD(GetParam());
    limits lim = build(GetParam());
    lim.ignored = {SIGHUP, SIGINT};
    child ch = start({"f", "f"}, dir, lim);
    wait_until(
        [&] { return ignores(ch.pid, SIGHUP) && ignores(ch.pid, SIGINT); });
    while (running(ch)) {
        kill(ch.pid, SIGHUP);
        kill(ch.pid, SIGINT);
        std::this_thread::sleep_for(1ms);
    }
    result r = finish(ch);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(same_bytes(read_file(path("f")), converted));
    EXPECT_EQ(listing(dir), only_f);
}

// The system calls of a run, in order: the data is on the disk before the
// file gets its name, and the folder after the rename.
TEST_P(both_builds, success_is_durable)
{
    POSIX_ONLY();
    NEEDS_NAMED_TEMP_BUILD(GetParam());
    if (emulated())
        GTEST_SKIP() << "strace would trace the emulator";
    if (!installed("strace"))
        GTEST_SKIP() << "strace is not installed (apt-get install strace)";
    limits lim = build(GetParam());
    const std::string trace =
        path("../" + fs::path(dir).filename().string() + ".trace");
    // LeakSanitizer cannot work under ptrace.
    lim.wrap = {
        "strace", "-f",
        "-y",     "-qq",
        "-o",     trace,
        "-E",     "ASAN_OPTIONS=detect_leaks=0",
        "-e",     "trace=fsync,fdatasync,linkat,rename,renameat,renameat2"};
    result r = run({"f", "f"}, lim);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(same_bytes(read_file(path("f")), converted));

    std::vector<std::string> calls;
    std::string last_arg;
    const std::regex call(R"(^(?:\d+ +)?([a-z0-9]+)\(([^,)]*))");
    std::ifstream lines(trace);
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (!std::regex_search(line, m, call))
            continue;
        std::string name = m[1];
        calls.push_back(name.rfind("rename", 0) == 0 ? "rename" : name);
        last_arg = m[2];
    }
    fs::remove(trace);
    const std::vector<std::string> want =
        GetParam() || !unnamed_files(dir)
            ? std::vector<std::string>{"fsync", "rename", "fsync"}
            : std::vector<std::string>{"fsync", "linkat", "rename", "fsync"};
    EXPECT_EQ(calls, want);
    EXPECT_NE(last_arg.find("<" + dir + ">"), std::string::npos)
        << "the last sync is of " << last_arg << ", not the folder";
}

INSTANTIATE_TEST_SUITE_P(table, both_builds, ::testing::Bool(), build_name);

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

// What the process pid holds open: for each descriptor, its entry in /proc
// and the path it leads to.
std::vector<std::pair<fs::path, std::string>> open_files(pid_t pid)
{
    std::vector<std::pair<fs::path, std::string>> files;
    std::error_code ec;
    for (const auto &e :
         fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
        std::error_code rec;
        std::string to = fs::read_symlink(e.path(), rec).string();
        if (!rec)
            files.emplace_back(e.path(), to);
    }
    return files;
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

// Whether a run holds its lock on file: an open file description lock, or
// flock(2) where the system has no such locks.
bool is_locked(const std::string &file)
{
    int fd = open(file.c_str(), O_RDWR);
    bool held = false;
#ifdef F_OFD_GETLK
    struct flock probe {
    };
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    held = fcntl(fd, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
#endif
    held = held || (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK);
    close(fd);
    return held;
}

// Stops the child while it holds the lock on file and is writing its
// result, so that another program can change the file under it.  Returns
// false if the run ended first.
bool stop_mid_run(const child &c, const std::string &dir,
                  const std::string &file, std::uintmax_t size)
{
    const auto give_up = clock_type::now() + 30s;
    while (running(c) && clock_type::now() < give_up) {
        kill(c.pid, SIGSTOP);
        siginfo_t info{};
        if (waitid(P_PID, static_cast<id_t>(c.pid), &info,
                   WSTOPPED | WEXITED | WNOWAIT) != 0 ||
            info.si_code != CLD_STOPPED)
            return false;
        const bool locked = is_locked(file);
        bool writing = false;
        for (const auto &f : open_files(c.pid)) {
            struct stat st {
            };
            if (f.second.rfind(dir + "/", 0) == 0 && f.second != file &&
                stat(f.first.c_str(), &st) == 0 && S_ISREG(st.st_mode))
                writing = static_cast<std::uintmax_t>(st.st_size) < size;
        }
        if (locked && writing)
            return true;
        kill(c.pid, SIGCONT);
        std::this_thread::sleep_for(200us);
    }
    return false;
}

struct change_case {
    const char *name;
    void (*change)(const std::string &file);
    bool whole_seconds = false; // on a file system with whole-second times
    bool mounts = false;        // mounts on the file's name (needs root)
    bool xattr = false;         // sets an extended attribute
};

// Mounts a file system with whole-second times (ext2 with 128-byte
// inodes) on dir/m, unmounted when m goes; returns why it could not.
std::string mount_coarse(const std::string &dir, mounted &m)
{
    m.at = dir + "/m";
    return mount_image(dir, {"mkfs.ext2", "-q", "-F", "-I", "128"}, 32 << 20,
                       "", m);
}

void PrintTo(const change_case &c, std::ostream *os)
{
    *os << c.name;
}

// A change case, and whether it is made under the build without a watch,
// where the comparison of the file's status alone must see it.
using change_run = std::tuple<change_case, bool>;

class changes : public inplace, public ::testing::WithParamInterface<change_run>
{
};

// Whatever another program does to the file during a run, with its data,
// its status or its name, the run fails and leaves the file as that
// program left it; with the watch, and without it.
TEST_P(changes, made_during_a_run_are_kept)
{
    POSIX_ONLY();
    NEEDS(feature::proc);
    const change_case &c = std::get<0>(GetParam());
    if (c.mounts)
        NEEDS(feature::mounts);
    if (c.xattr)
        NEEDS(feature::xattrs);
    limits lim;
    if (std::get<1>(GetParam())) {
        lim.program = no_watch_program();
        if (lim.program.empty())
            GTEST_SKIP() << "the build without a watch is the host's only";
    }
    std::string folder = dir;
    mounted coarse;
    if (c.whole_seconds) {
        const std::string why = mount_coarse(dir, coarse);
        if (!coarse.ok)
            GTEST_SKIP() << why;
        folder = coarse.at;
    }
    if (c.mounts && geteuid() != 0)
        GTEST_SKIP() << "mounting needs root";
    const std::string f = folder + "/f";
    // Whatever the case mounts on the name goes with the test.
    mounted over{f};
    over.ok = c.mounts;
    // A slow machine may see a whole run go by between two looks: then the
    // file is put back and the run tried again.
    for (int attempt = 0; attempt < 20; ++attempt) {
        write_file(f, original);
        fs::permissions(f, fs::perms(0644));
        const auto names = listing(folder);
        child ch = start({"f", "f"}, folder, lim);
        reaper guard{ch.pid};
        if (!stop_mid_run(ch, folder, f, original.size())) {
            ASSERT_EQ(finish(ch).status, 0);
            continue;
        }
        c.change(f);
        const std::string after = read_file(f);
        struct stat before {
        };
        ASSERT_EQ(stat(f.c_str(), &before), 0);
        kill(ch.pid, SIGCONT);
        result r = finish(ch);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "rename: the file was changed during the run\n");
        EXPECT_TRUE(same_bytes(read_file(f), after));
        struct stat now {
        };
        ASSERT_EQ(stat(f.c_str(), &now), 0);
        EXPECT_EQ(now.st_ino, before.st_ino);
        EXPECT_EQ(now.st_mode, before.st_mode);
        EXPECT_EQ(listing(folder), names);
        return;
    }
    FAIL() << "no run was caught in the middle in 20 tries";
}

// Writes four other bytes at the start of the file, keeping its length.
void overwrite_start(const std::string &file)
{
    int fd = open(file.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, "\x5a\x5a\x5a\x5a", 4, 0), 4);
    close(fd);
}

void touch_long_ago(const std::string &file)
{
    const struct timespec when[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), when, 0), 0);
}

void append_more(const std::string &file)
{
    std::ofstream(file, std::ios::app) << "more";
}

// Puts another file of other data in its place.
void replace_longer(const std::string &file)
{
    write_file(file + ".new", read_file(file) + "new!");
    ASSERT_EQ(std::rename((file + ".new").c_str(), file.c_str()), 0);
}

// Puts another file of the same length in its place: the open file keeps
// its size and modification time; losing its name moves its change time.
void replace_same_size(const std::string &file)
{
    write_file(file + ".new", read_file(file));
    overwrite_start(file + ".new");
    ASSERT_EQ(std::rename((file + ".new").c_str(), file.c_str()), 0);
}

// Each change is seen by a check of its own when there is no watch: the
// size (appended), the modification time (touched), the change time
// (written with its time set back), the mode, the name (another file
// mounted on it).  On the whole-second mount a change in the second
// that the run started in leaves the times as they were, unless the run
// waits that second out first.
const change_case change_cases[] = {
    {"touched", touch_long_ago},
    {"appended", append_more},
    {"replaced", replace_longer},
    // As touch -r, an archiver or a "keep timestamps" option does.
    {"written_with_its_time_set_back",
     [](const std::string &file) {
         struct stat st {
         };
         ASSERT_EQ(stat(file.c_str(), &st), 0);
         overwrite_start(file);
         const auto when = times_of(st);
         ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), when.data(), 0), 0);
     }},
    {"mode_changed",
     [](const std::string &file) { ASSERT_EQ(chmod(file.c_str(), 0600), 0); }},
    // Within the second of the run's start, so that neither the
    // modification time nor the change time moves.
    {"written_with_whole_second_times", overwrite_start, true},
    {"touched_with_whole_second_times", touch_long_ago, true},
    {"appended_with_whole_second_times", append_more, true},
    {"replaced_with_whole_second_times", replace_same_size, true},
    {"attribute_set",
     [](const std::string &file) {
         ASSERT_EQ(set_xattr(file, "user.note", "x", 1), 0);
     },
     false, false, true},
    // Another file mounted on the name: the file itself is not touched at
    // all, not even its change time, and only the name tells.
    {"name_mounted_over",
     [](const std::string &file) {
         ASSERT_TRUE(bind_mount("/dev/null", file));
     },
     false, true},
};

std::string change_run_name(const ::testing::TestParamInfo<change_run> &p)
{
    return std::string(std::get<0>(p.param).name) +
           (std::get<1>(p.param) ? "_no_watch" : "");
}

INSTANTIATE_TEST_SUITE_P(table, changes,
                         ::testing::Combine(::testing::ValuesIn(change_cases),
                                            ::testing::Bool()),
                         change_run_name);

} // namespace
