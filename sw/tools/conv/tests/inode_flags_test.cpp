// SPDX-License-Identifier: MIT
//
// What an in-place run keeps of the file's inode: the flags that chattr
// sets, the project ID and the extent size hint, on btrfs, ext4 and xfs.
// These need root (to mount) and the file system's tools; they are
// skipped, saying why, where either is missing.
#include "world_fixture.h"

#include <filesystem>
#include <fstream>
#include <ios>
#include <ostream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace
{

struct flags_case {
    const char *name;
    std::vector<std::string> mkfs;
    unsigned long long size; // of the image
    int flags;               // the inode flags set on the file, if any
    bool while_empty;        // set before any data, as some must be
    unsigned project;        // the project ID given to the file, if any
    unsigned extsize = 0;    // the extent size hint given to it, if any
};

void PrintTo(const flags_case &c, std::ostream *os)
{
    *os << c.name;
}

class inode_flags : public world,
                    public ::testing::WithParamInterface<flags_case>
{
};

// The inode flags that chattr sets (no copy-on-write, no dump, no access
// times, synchronous writes, DAX), the project ID, which ties the file to
// a project quota, and the extent size hint of xfs are kept in place.
TEST_P(inode_flags, kept_in_place)
{
    POSIX_ONLY();
    NEEDS_ROOT();
    NEEDS(feature::inode_flags);
    if (portable_build())
        GTEST_SKIP() << "the portable build, as systems without inode "
                        "flags, keeps none";
    const flags_case &c = GetParam();
    mounted m{path("m")};
    const std::string why = mount_image(dir, c.mkfs, c.size, "", m);
    if (!m.ok)
        GTEST_SKIP() << why;
    const std::string f = path("m/f");
    write_file(f, c.while_empty ? std::string() : original);
    if (!set_inode_flags(f, c.flags, c.project, c.extsize))
        GTEST_SKIP() << c.mkfs[0]
                     << " takes no such flags, project or hint here";
    if ((c.project != 0 || c.extsize != 0 || (c.flags & inode_flag('x'))) &&
        emulated())
        GTEST_SKIP() << "qemu passes no FS_IOC_FSGETXATTR on to the kernel";
    if (c.while_empty) {
        std::ofstream(f, std::ios::binary | std::ios::app) << original;
        ASSERT_EQ(fs::file_size(f), original.size());
    }
    const int flags = inode_flags_of(f);
    const long project = project_of(f);
    const long extsize = extsize_of(f);
    ASSERT_EQ(flags & c.flags, c.flags);
    ASSERT_EQ(project, static_cast<long>(c.project));
    ASSERT_EQ(extsize, static_cast<long>(c.extsize));
    const auto names = listing(path("m"));
    result r = run({"m/f", "m/f"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(same_bytes(read_file(f), converted));
    EXPECT_EQ(inode_flags_of(f), flags) << std::hex << "flags were " << flags;
    EXPECT_EQ(project_of(f), project);
    EXPECT_EQ(extsize_of(f), extsize);
    EXPECT_EQ(listing(path("m")), names);
}

const std::vector<std::string> mkfs_btrfs = {"mkfs.btrfs", "-q", "-f"};
const std::vector<std::string> mkfs_ext4 = {"mkfs.ext4", "-q", "-F"};
const std::vector<std::string> mkfs_xfs = {"mkfs.xfs", "-q", "-f"};
const int dump_atime_sync = inode_flag('d') | inode_flag('A') | inode_flag('S');

INSTANTIATE_TEST_SUITE_P(
    table, inode_flags,
    ::testing::Values(
        flags_case{"btrfs_no_copy_on_write", mkfs_btrfs, 128 << 20,
                   inode_flag('C'), true, 0},
        flags_case{"btrfs_no_dump_no_atime_sync", mkfs_btrfs, 128 << 20,
                   dump_atime_sync, false, 0},
        flags_case{"ext4_no_dump_no_atime_sync", mkfs_ext4, 32 << 20,
                   dump_atime_sync, false, 0},
        flags_case{"xfs_no_dump_no_atime_sync", mkfs_xfs, 300 << 20,
                   dump_atime_sync, false, 0},
        // ext4 keeps project IDs only with the project feature, which a
        // kernel without quota support cannot mount.
        flags_case{
            "ext4_project",
            {"mkfs.ext4", "-q", "-F", "-I", "256", "-O", "project,quota"},
            32 << 20,
            0,
            false,
            42},
        flags_case{"xfs_project", mkfs_xfs, 300 << 20, 0, false, 42},
        flags_case{"ext4_dax", mkfs_ext4, 32 << 20, inode_flag('x'), false, 0},
        flags_case{"xfs_dax", mkfs_xfs, 300 << 20, inode_flag('x'), false, 0},
        // xfs takes an extent size hint only while the file has no data.
        flags_case{"xfs_extent_size_hint", mkfs_xfs, 300 << 20, 0, true, 0,
                   1 << 20}),
    named<flags_case>);

} // namespace
