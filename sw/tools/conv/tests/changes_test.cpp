// SPDX-License-Identifier: MIT
//
// Another program that changes the file during an in-place run, its data,
// its status or its name, outpaces the run: the run fails and leaves the
// file as that program left it.
#include "inplace_fixture.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace
{

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
// Stops the child while it is writing its result, past its first look at
// the file, so that another program can change the file under it.
// Returns false if the run ended first.
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
        bool writing = false;
        for (const auto &f : open_files(c.pid)) {
            struct stat st {
            };
            if (f.second.rfind(dir + "/", 0) == 0 && f.second != file &&
                stat(f.first.c_str(), &st) == 0 && S_ISREG(st.st_mode))
                writing = static_cast<std::uintmax_t>(st.st_size) < size;
        }
        if (writing)
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
    const char *adds = nullptr; // a name the change adds to the folder
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

class changes : public inplace,
                public ::testing::WithParamInterface<change_case>
{
};

// Whatever another program does to the file during a run, with its data,
// its status or its name, the run fails and leaves the file as that
// program left it.
TEST_P(changes, made_during_a_run_are_kept)
{
    POSIX_ONLY();
    NEEDS(feature::proc);
    const change_case &c = GetParam();
    if (c.mounts)
        NEEDS(feature::mounts);
    if (c.xattr)
        NEEDS(feature::xattrs);
    limits lim;
    // The run yields the processor to this test, which looks at it between
    // its steps: on a busy machine it would otherwise write its whole
    // result between two looks.
    lim.nice = 19;
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
        auto want = names;
        if (c.adds) {
            want.emplace_back(c.adds);
            std::sort(want.begin(), want.end());
        }
        EXPECT_EQ(listing(folder), want);
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

// Each change is seen by a check of its own: the
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
    // The name made a symbolic link to another file, which is not followed
    // and not touched.
    {"made_a_link",
     [](const std::string &file) {
         const fs::path f(file);
         write_file((f.parent_path() / "g").string(), "another file");
         fs::create_symlink("g", file + ".link");
         fs::rename(file + ".link", file);
     },
     false, false, false, "g"},
    // Another file mounted on the name: the file itself is not touched at
    // all, not even its change time, and only the name tells.
    {"name_mounted_over",
     [](const std::string &file) {
         ASSERT_TRUE(bind_mount("/dev/null", file));
     },
     false, true},
};

INSTANTIATE_TEST_SUITE_P(table, changes, ::testing::ValuesIn(change_cases),
                         named<change_case>);

} // namespace
