// SPDX-License-Identifier: MIT
//
// Folders where the result of an in-place run could never be put over the
// file, or would not fit, are refused before anything is written, leaving
// the file as it was with nothing beside it.  These need root; they are
// skipped, saying why, where it or a tool is missing.
#include "world_fixture.h"

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <sstream>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace
{

struct refusal_case {
    const char *name;
    // Readies dir/f, where f holds data; false to skip, with *why.
    bool (*setup)(const std::string &dir, mounted &m, std::string *why);
    std::string err;
    bool as_nobody;
};

void PrintTo(const refusal_case &c, std::ostream *os)
{
    *os << c.name;
}

class refused : public world, public ::testing::WithParamInterface<refusal_case>
{
};

// Where the result could never be put over the file, or would not fit,
// the run says so before it writes anything: no temporary file is made
// (strace shows it), the file is as it was and nothing is left beside it.
TEST_P(refused, before_anything_is_written)
{
    POSIX_ONLY();
    NEEDS_ROOT();
    NEEDS_STRACE();
    const refusal_case &c = GetParam();
    fs::create_directory(path("d"));
    mounted m{path("d")};
    std::string why;
    if (!c.setup(path("d"), m, &why))
        GTEST_SKIP() << why;
    const std::string data = read_file(path("d/f"));
    const auto names = listing(path("d"));
    limits lim;
    lim.as_nobody = c.as_nobody;
    const std::string trace = path("trace");
    lim.wrap = under_strace(trace, {"-e", "trace=open,openat"});
    result r = run({"d/f", "d/f"}, lim);
    std::ifstream t(trace);
    std::stringstream calls;
    calls << t.rdbuf();
    (void)command({"chattr", "-a", path("d")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(calls.str().find("O_TMPFILE"), std::string::npos);
    EXPECT_EQ(calls.str().find(".quadflip."), std::string::npos);
    EXPECT_TRUE(same_bytes(read_file(path("d/f")), data));
    EXPECT_EQ(listing(path("d")), names);
}

INSTANTIATE_TEST_SUITE_P(
    table, refused,
    ::testing::Values(
        // As /tmp: another user's writable file, which a two-file run may
        // write, cannot be replaced by nobody.
        refusal_case{"sticky_folder",
                     [](const std::string &dir, mounted &, std::string *) {
                         write_file(dir + "/f", noise(4096));
                         return chmod((dir + "/..").c_str(), 0777) == 0 &&
                                chmod(dir.c_str(), 01777) == 0 &&
                                chmod((dir + "/f").c_str(), 0666) == 0;
                     },
                     says("rename", EPERM), true},
        refusal_case{"append_only_folder",
                     [](const std::string &dir, mounted &, std::string *why) {
                         *why = "the portable build, as a system without "
                                "them, sees no inode flags";
                         if (portable_build())
                             return false;
                         write_file(dir + "/f", noise(4096));
                         *why = "chattr +a does not work here";
                         return command({"chattr", "+a", dir});
                     },
                     says("rename", EPERM), false},
        refusal_case{"file_is_a_mount_point",
                     [](const std::string &dir, mounted &m, std::string *why) {
                         *why = "the portable build tells a mount point by "
                                "its device alone";
                         if (portable_build())
                             return false;
                         write_file(dir + "/f", noise(4096));
                         write_file(dir + "/../other", noise(4096, 2));
                         m.at = dir + "/f";
                         m.ok = bind_mount(dir + "/../other", m.at);
                         *why = "cannot bind-mount a file here";
                         return m.ok;
                     },
                     says("rename", EBUSY), false},
        // A file of another file system mounted on the name (the source,
        // in the tmpfs of /dev/shm, is gone once mounted).
        refusal_case{
            "file_of_another_file_system_mounted_on_it",
            [](const std::string &dir, mounted &m, std::string *why) {
                write_file(dir + "/f", noise(4096));
                const std::string other =
                    "/dev/shm/quadflip-test-" + std::to_string(getpid());
                write_file(other, noise(4096, 2));
                struct stat a {
                };
                struct stat b {
                };
                m.at = dir + "/f";
                m.ok = stat(dir.c_str(), &a) == 0 &&
                       stat(other.c_str(), &b) == 0 && a.st_dev != b.st_dev &&
                       bind_mount(other, m.at);
                fs::remove(other);
                *why = "cannot bind-mount a file of another file system here";
                return m.ok;
            },
            says("rename", EBUSY), false},
        refusal_case{"no_room_for_a_second_copy",
                     [](const std::string &dir, mounted &m, std::string *why) {
                         m.ok = mount_fs("tmpfs", dir, "size=40m");
                         *why = "cannot mount a tmpfs here";
                         if (m.ok)
                             write_file(dir + "/f", noise(30 << 20));
                         return m.ok;
                     },
                     says("write", ENOSPC), false}),
    named<refusal_case>);

} // namespace
