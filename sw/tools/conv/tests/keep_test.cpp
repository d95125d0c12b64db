// SPDX-License-Identifier: MIT
//
// What an in-place run keeps of the file beside its data: owner, group,
// mode, ACLs, extended attributes and file capabilities, and the inode
// flags and project ID that chattr sets.  Many cases need root, or a tool
// or file system; they are skipped, saying why, where it is missing.
#include "world_fixture.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <pwd.h>
#include <sys/acl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace
{

// Sets the ACL given in libacl's text on path, or with default_acl its
// default ACL; false, saying why in *why, where it cannot.  The ACLs of
// some systems (macOS) are of another kind: none is set there.
bool set_acl(const std::string &path, const char *text, bool default_acl,
             std::string *why)
{
#ifdef ACL_TYPE_DEFAULT
    *why = "no ACLs on this file system";
    acl_t acl = acl_from_text(text);
    bool ok =
        acl && acl_set_file(path.c_str(),
                            default_acl ? ACL_TYPE_DEFAULT : ACL_TYPE_ACCESS,
                            acl) == 0;
    if (acl)
        acl_free(acl);
    return ok;
#else
    (void)path;
    (void)text;
    (void)default_acl;
    *why = "no POSIX draft ACLs here, as libacl sets them";
    return false;
#endif
}

// Builds without libacl and libattr, as the cross builds are, refuse a
// file that has an ACL or extended attributes; QUADFLIP_ACL=OFF says that
// the program under test is one.
bool carries_extended_metadata()
{
    const char *acl = std::getenv("QUADFLIP_ACL");
    return !acl || std::strcmp(acl, "OFF") != 0;
}

struct meta_case {
    const char *name;
    // Readies the folder and the file f in it; false to skip, saying why
    // in *why.
    bool (*setup)(const std::string &dir, std::string *why);
    bool extended; // the file or its folder has an ACL or attributes
};

void PrintTo(const meta_case &c, std::ostream *os)
{
    *os << c.name;
}

class kept : public world, public ::testing::WithParamInterface<meta_case>
{
};

// The converted file has what the file had: owner, group, mode, ACL and
// attributes, and never the folder's default ACL in place of its own.
// (A runner who cannot give it its owner is refused: see unkept, in
// refusals_test.cpp.)
TEST_P(kept, owner_group_mode_acl_and_attributes)
{
    POSIX_ONLY();
    const meta_case &c = GetParam();
    write_file(path("f"), original);
    std::string why;
    if (!c.setup(dir, &why))
        GTEST_SKIP() << why;
    const meta before = meta_of(path("f"));
    result r = run({"f", "f"});
    EXPECT_EQ(listing(dir), std::vector<std::string>{"f"});
    if (c.extended && !carries_extended_metadata()) {
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, says("chmod", ENOTSUP));
        EXPECT_TRUE(same_bytes(read_file(path("f")), original));
        EXPECT_EQ(meta_of(path("f")), before);
        return;
    }
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(same_bytes(read_file(path("f")), converted));
    EXPECT_EQ(meta_of(path("f")), before);
}

INSTANTIATE_TEST_SUITE_P(
    table, kept,
    ::testing::Values(
        // The owning group below the mask: it must not gain write.
        meta_case{"acl_entries_and_mask",
                  [](const std::string &dir, std::string *why) {
                      return set_acl(dir + "/f",
                                     "u::rw-,u:nobody:rw-,g::r--,m::rw-,o::---",
                                     false, why);
                  },
                  true},
        meta_case{"folder_default_acl",
                  [](const std::string &dir, std::string *why) {
                      return set_acl(dir,
                                     "u::rwx,u:nobody:rwx,g::r-x,m::rwx,o::r-x",
                                     true, why);
                  },
                  true},
        meta_case{"user_attribute",
                  [](const std::string &dir, std::string *why) {
                      *why = "no user attributes on this file system";
                      if (!has(feature::xattrs, why))
                          return false;
                      const std::string f = dir + "/f";
                      return set_xattr(f, "user.origin", "fw1", 3) == 0;
                  },
                  true},
        // File capabilities, which a write or a change of owner clears.
        meta_case{"capabilities",
                  [](const std::string &dir, std::string *why) {
                      // Revision 2, effective; CAP_NET_RAW permitted.
                      const unsigned char caps[20] = {1, 0, 0, 2, 0, 0x20};
                      *why = "setting capabilities needs root";
                      return has(feature::xattrs, why) && root() &&
                             set_xattr(dir + "/f", "security.capability", caps,
                                       sizeof caps) == 0;
                  },
                  true},
        meta_case{"setuid_setgid_other_owner",
                  [](const std::string &dir, std::string *why) {
                      *why = "giving files away needs root";
                      const struct passwd *pw = getpwnam("nobody");
                      return root() && pw &&
                             chown((dir + "/f").c_str(), pw->pw_uid,
                                   pw->pw_gid) == 0 &&
                             chmod((dir + "/f").c_str(), 06751) == 0;
                  },
                  false}),
    named<meta_case>);

struct flags_case {
    const char *name;
    std::vector<std::string> mkfs;
    unsigned long long size; // of the image
    int flags;               // the inode flags set on the file, if any
    bool while_empty;        // set before any data, as no copy-on-write must be
    unsigned project;        // the project ID given to the file, if any
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
// times, synchronous writes) and the project ID, which ties the file to a
// project quota, are kept in place.
TEST_P(inode_flags, kept_in_place)
{
    POSIX_ONLY();
    NEEDS_ROOT();
    NEEDS(feature::inode_flags);
    const flags_case &c = GetParam();
    mounted m{path("m")};
    const std::string why = mount_image(dir, c.mkfs, c.size, "", m);
    if (!m.ok)
        GTEST_SKIP() << why;
    const std::string f = path("m/f");
    write_file(f, c.while_empty ? std::string() : original);
    if (!set_inode_flags(f, c.flags, c.project))
        GTEST_SKIP() << c.mkfs[0] << " takes no such flags or project here";
    if (c.project != 0 && emulated())
        GTEST_SKIP() << "qemu passes no FS_IOC_FSGETXATTR on to the kernel";
    if (c.while_empty) {
        std::ofstream(f, std::ios::binary | std::ios::app) << original;
        ASSERT_EQ(fs::file_size(f), original.size());
    }
    const int flags = inode_flags_of(f);
    const long project = project_of(f);
    ASSERT_EQ(flags & c.flags, c.flags);
    ASSERT_EQ(project, static_cast<long>(c.project));
    const auto names = listing(path("m"));
    result r = run({"m/f", "m/f"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(same_bytes(read_file(f), converted));
    EXPECT_EQ(inode_flags_of(f), flags) << std::hex << "flags were " << flags;
    EXPECT_EQ(project_of(f), project);
    EXPECT_EQ(listing(path("m")), names);
}

const std::vector<std::string> mkfs_btrfs = {"mkfs.btrfs", "-q", "-f"};
const std::vector<std::string> mkfs_ext4 = {"mkfs.ext4", "-q", "-F"};
const std::vector<std::string> mkfs_xfs = {"mkfs.xfs", "-q", "-f"};
const int dump_atime_sync = inode_flag('d') | inode_flag('A') | inode_flag('S');

INSTANTIATE_TEST_SUITE_P(
    table, inode_flags,
    ::testing::Values(flags_case{"btrfs_no_copy_on_write", mkfs_btrfs,
                                 128 << 20, inode_flag('C'), true, 0},
                      flags_case{"btrfs_no_dump_no_atime_sync", mkfs_btrfs,
                                 128 << 20, dump_atime_sync, false, 0},
                      flags_case{"ext4_no_dump_no_atime_sync", mkfs_ext4,
                                 32 << 20, dump_atime_sync, false, 0},
                      flags_case{"xfs_no_dump_no_atime_sync", mkfs_xfs,
                                 300 << 20, dump_atime_sync, false, 0},
                      // ext4 keeps project IDs only with the project feature,
                      // which a kernel without quota support cannot mount.
                      flags_case{"ext4_project",
                                 {"mkfs.ext4", "-q", "-F", "-I", "256", "-O",
                                  "project,quota"},
                                 32 << 20,
                                 0,
                                 false,
                                 42},
                      flags_case{"xfs_project", mkfs_xfs, 300 << 20, 0, false,
                                 42}),
    named<flags_case>);

} // namespace
