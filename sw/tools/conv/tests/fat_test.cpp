// SPDX-License-Identifier: MIT
//
// FAT, a file system that keeps no modes, mounted through FUSE or the
// kernel: a file converts in place and to another file there.  This needs
// root (to mount); it is skipped, saying why, where it or a tool is
// missing.
#include "world_fixture.h"

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include <unistd.h>

namespace fs = std::filesystem;

namespace
{

struct fat_case {
    const char *name;
    std::vector<std::string> mount; // the command, with IMG and DIR in it
    bool fuse;
};

void PrintTo(const fat_case &c, std::ostream *os)
{
    *os << c.name;
}

class fat : public world, public ::testing::WithParamInterface<fat_case>
{
};

std::vector<std::string> filled(std::vector<std::string> words,
                                const std::string &img, const std::string &dir)
{
    for (std::string &w : words)
        w = w == "IMG" ? img : w == "DIR" ? dir : w;
    return words;
}

// A file system that keeps no modes: the result has what every file there
// has, and the run succeeds, in place and to another file.
TEST_P(fat, file_system_without_modes)
{
    POSIX_ONLY();
    NEEDS_ROOT();
    const fat_case &c = GetParam();
    if (!installed("mkfs.vfat"))
        GTEST_SKIP()
            << "mkfs.vfat is not installed (apt-get install dosfstools)";
    if (c.fuse && (!installed("fusefat") || access("/dev/fuse", R_OK) != 0))
        GTEST_SKIP() << "no fusefat or no /dev/fuse (apt-get install fusefat)";
    ASSERT_TRUE(command({"mkfs.vfat", "-C", path("img"), "8192"}));
    fs::create_directory(path("mnt"));
    mounted m{path("mnt")};
    m.fuse = c.fuse;
    m.ok = command(filled(c.mount, path("img"), path("mnt")));
    if (!m.ok)
        GTEST_SKIP() << "cannot mount " << c.name << " here";
    write_file(path("mnt/f"), original);
    result r = run({"mnt/f", "mnt/f"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(same_bytes(read_file(path("mnt/f")), converted));
    r = run({"mnt/f", "mnt/g"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(same_bytes(read_file(path("mnt/g")), original));
    EXPECT_EQ(listing(path("mnt")), (std::vector<std::string>{"f", "g"}));
}

INSTANTIATE_TEST_SUITE_P(
    table, fat,
    ::testing::Values(
        fat_case{"fusefat", {"fusefat", "-o", "rw+", "IMG", "DIR"}, true},
        fat_case{"vfat",
                 {"mount", "-t", "vfat", "-o", "loop", "IMG", "DIR"},
                 false}),
    named<fat_case>);

} // namespace
