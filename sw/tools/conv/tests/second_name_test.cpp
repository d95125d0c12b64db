// SPDX-License-Identifier: MIT
//
// Second names of the file that no identity check sees, through an overlay
// or as another spelling on FAT: such an output is refused before anything
// is written, unless it holds the result already.  These need root (to mount);
// they are skipped, saying why, where it or a tool is missing.
#include "world_fixture.h"

#include <cstddef>
#include <filesystem>
#include <ostream>
#include <string>

#include <unistd.h>

namespace fs = std::filesystem;

namespace
{

// Two names of one file, as a run is given them, and the folder that
// holds the second.
struct alias_names {
    std::string in;
    std::string out;
    std::string folder;
};

struct alias_case {
    const char *name;
    // Mounts what it needs under dir and puts data in a file; sets the two
    // names of that file that the run is given, and the folder the output
    // name is in; false to skip, saying why in *why.
    bool (*setup)(const std::string &dir, const std::string &data, mounted &m,
                  alias_names *names, std::string *why);
};

void PrintTo(const alias_case &c, std::ostream *os)
{
    *os << c.name;
}

class second_name : public world,
                    public ::testing::WithParamInterface<alias_case>
{
};

// A second name of the file that no identity check can see (another
// device number for the same inode, another inode number for each
// spelling) cannot be told from a copy of the input: it is refused before
// anything is written, saying what to do, and the file is left as it was.
TEST_P(second_name, is_refused)
{
    POSIX_ONLY();
    NEEDS_ROOT();
    mounted m;
    alias_names names;
    std::string why;
    if (!GetParam().setup(dir, original, m, &names, &why))
        GTEST_SKIP() << why;
    const auto before = listing(path(names.folder));
    result r = run({names.in, names.out});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, names.in + "\n" + names.out + "\n");
    EXPECT_EQ(r.err,
              "open: the output holds the same bytes as the input, and may be "
              "the input under another name: remove it, or choose another "
              "name\n");
    EXPECT_TRUE(same_bytes(read_file(path(names.in)), original));
    EXPECT_EQ(listing(path(names.folder)), before);
}

// A blank file (every word reads the same both ways) under its second
// name already holds its own conversion: the run writes nothing and ends
// with success, as a re-run of a build script must, and the file is left
// as it was.
TEST_P(second_name, holding_a_blank_image_is_left_as_it_was)
{
    POSIX_ONLY();
    NEEDS_ROOT();
    mounted m;
    alias_names names;
    std::string why;
    const std::string blank(std::size_t{1} << 20, '\0');
    if (!GetParam().setup(dir, blank, m, &names, &why))
        GTEST_SKIP() << why;
    const auto before = listing(path(names.folder));
    result r = run({names.in, names.out});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, names.in + "\n" + names.out + "\n");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(same_bytes(read_file(path(names.in)), blank));
    EXPECT_EQ(listing(path(names.folder)), before);
}

INSTANTIATE_TEST_SUITE_P(
    table, second_name,
    ::testing::Values(
        // The file in the overlay's upper folder, named through the
        // overlay and directly: one inode number, two device numbers.
        alias_case{"overlay_and_its_upper_folder",
                   [](const std::string &dir, const std::string &data,
                      mounted &m, alias_names *names, std::string *why) {
                       for (const char *sub : {"lower", "upper", "work", "m"})
                           fs::create_directory(dir + "/" + sub);
                       write_file(dir + "/upper/f", data);
                       m.at = dir + "/m";
                       const std::string opts =
                           "lowerdir=" + dir + "/lower,upperdir=" + dir +
                           "/upper,workdir=" + dir + "/work";
                       m.ok = mount_fs("overlay", m.at, opts);
                       *why = "cannot mount an overlay here";
                       *names = {"m/f", "upper/f", "upper"};
                       return m.ok;
                   }},
        // Case-insensitive FAT through FUSE: each spelling has an inode
        // number of its own.
        alias_case{"fusefat_spellings",
                   [](const std::string &dir, const std::string &data,
                      mounted &m, alias_names *names, std::string *why) {
                       *why = "no mkfs.vfat, fusefat or /dev/fuse (apt-get "
                              "install dosfstools fusefat)";
                       if (!installed("mkfs.vfat") || !installed("fusefat") ||
                           access("/dev/fuse", R_OK) != 0)
                           return false;
                       m.at = dir + "/m";
                       m.fuse = true;
                       fs::create_directory(m.at);
                       m.ok =
                           command({"mkfs.vfat", "-C", dir + "/img", "8192"}) &&
                           command(
                               {"fusefat", "-o", "rw+", dir + "/img", m.at});
                       *why = "cannot mount FAT through fusefat here";
                       if (m.ok)
                           write_file(m.at + "/alias.bin", data);
                       *names = {"m/alias.bin", "m/ALIAS.BIN", "m"};
                       return m.ok;
                   }}),
    named<alias_case>);

} // namespace
