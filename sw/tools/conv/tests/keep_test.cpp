// SPDX-License-Identifier: MIT
//
// What an in-place run keeps of the file beside its data: owner, group,
// mode, ACLs, extended attributes and file capabilities, and the inode
// flags and project ID that chattr sets.  Many cases need root, or a tool
// or file system; they are skipped, saying why, where it is missing.
#include "world_fixture.h"

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace
{

// The ACL written as setfacl takes it ("u::rw-,u:nobody:rw-,g::r--,
// m::rw-,o::---", its entries in the kernel's order) in the form of the
// attributes system.posix_acl_access and system.posix_acl_default: a
// version, then each entry's tag, permissions and user or group ID, all
// little-endian.  Empty where a user or group it names is not known here.
std::string acl_value(const char *text)
{
    std::string value;
    const auto put = [&value](unsigned long n, int bytes) {
        for (int i = 0; i < bytes; ++i)
            value += static_cast<char>((n >> (8 * i)) & 0xff);
    };
    put(2, 4);
    std::istringstream entries(text);
    for (std::string e; std::getline(entries, e, ',');) {
        const std::size_t colon = e.find(':', 2);
        const std::string who = e.substr(2, colon - 2);
        const std::string rwx = e.substr(colon + 1);
        unsigned long id = 0xffffffff; // none: the owner, the group, ...
        int tag = 0;
        switch (e[0]) {
        case 'u':
            tag = who.empty() ? 0x01 : 0x02;
            if (!who.empty()) {
                const struct passwd *pw = getpwnam(who.c_str());
                if (!pw)
                    return {};
                id = pw->pw_uid;
            }
            break;
        case 'g':
            tag = who.empty() ? 0x04 : 0x08;
            if (!who.empty()) {
                const struct group *gr = getgrnam(who.c_str());
                if (!gr)
                    return {};
                id = gr->gr_gid;
            }
            break;
        case 'm':
            tag = 0x10;
            break;
        default:
            tag = 0x20;
            break;
        }
        put(static_cast<unsigned long>(tag), 2);
        put((rwx[0] == 'r' ? 4U : 0U) | (rwx[1] == 'w' ? 2U : 0U) |
                (rwx[2] == 'x' ? 1U : 0U),
            2);
        put(id, 4);
    }
    return value;
}

// Sets the ACL written as setfacl takes it on path, or with default_acl
// its default ACL; false, saying why in *why, where it cannot.  The ACLs
// of some systems (macOS) are of another kind: none is set there.
bool set_acl(const std::string &path, const char *text, bool default_acl,
             std::string *why)
{
    if (!has(feature::xattrs, why))
        return false;
    const std::string value = acl_value(text);
    if (value.empty()) {
        *why = std::string("a user or group of ") + text + " is not known here";
        return false;
    }
    *why = "no POSIX ACLs on this file system";
    return set_xattr(path,
                     default_acl ? "system.posix_acl_default"
                                 : "system.posix_acl_access",
                     value.data(), value.size()) == 0;
}

// Gives path an SELinux label, which root may do on ext4 and tmpfs with
// or without SELinux; false, saying why in *why, where it cannot.
bool set_label(const std::string &path, std::string *why)
{
    const char label[] = "system_u:object_r:etc_t:s0";
    *why = "setting an SELinux label needs root";
    if (!has(feature::xattrs, why) || !root())
        return false;
    *why = "no SELinux labels on this file system";
    return set_xattr(path, "security.selinux", label, sizeof label) == 0;
}

struct meta_case {
    const char *name;
    // Readies the folder and the file f in it; false to skip, saying why
    // in *why.
    bool (*setup)(const std::string &dir, std::string *why);
    bool extended; // the file or its folder has an ACL or attributes
    // Attributes that hold a hash that the kernel writes, of the data or
    // of the other attributes: the result never has the file's values.
    std::vector<std::string> stale = {};
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
    if (c.extended && portable_build()) {
        // As on the BSDs, no ACL or attribute is carried over: a file
        // that has any is refused rather than stripped of them.
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, says("chmod", ENOTSUP));
        EXPECT_TRUE(same_bytes(read_file(path("f")), original));
        EXPECT_EQ(meta_of(path("f")), before);
        return;
    }
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(same_bytes(read_file(path("f")), converted));
    meta want = before;
    meta got = meta_of(path("f"));
    for (const std::string &name : c.stale) {
        const auto it = got.xattrs.find(name);
        if (it != got.xattrs.end()) {
            EXPECT_NE(it->second, want.xattrs[name]) << name;
            got.xattrs.erase(it);
        }
        want.xattrs.erase(name);
    }
    EXPECT_EQ(got, want);
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
        // The file has no ACL: the result must not keep the one it takes
        // from its folder.
        meta_case{"folder_default_acl",
                  [](const std::string &dir, std::string *why) {
                      return set_acl(dir,
                                     "u::rwx,u:nobody:rwx,g::r-x,m::rwx,o::r-x",
                                     true, why);
                  },
                  true},
        meta_case{"file_acl_under_folder_default_acl",
                  [](const std::string &dir, std::string *why) {
                      return set_acl(dir,
                                     "u::rwx,u:nobody:rwx,g::r-x,m::rwx,o::r-x",
                                     true, why) &&
                             set_acl(dir + "/f",
                                     "u::rw-,g::r--,g:users:rw-,m::rw-,o::r--",
                                     false, why);
                  },
                  true},
        meta_case{"selinux_label",
                  [](const std::string &dir, std::string *why) {
                      return set_label(dir + "/f", why);
                  },
                  true},
        meta_case{"acl_label_and_user_attribute",
                  [](const std::string &dir, std::string *why) {
                      const std::string f = dir + "/f";
                      return set_label(f, why) &&
                             set_acl(f,
                                     "u::rw-,u:nobody:r--,g::r--,m::r--,o::---",
                                     false, why) &&
                             set_xattr(f, "user.origin", "fw1", 3) == 0;
                  },
                  true},
        // IMA's hash or signature of the data and EVM's of the
        // attributes, which no longer match the converted file.
        meta_case{"integrity_hashes",
                  [](const std::string &dir, std::string *why) {
                      const std::string f = dir + "/f";
                      *why = "setting integrity attributes needs root";
                      if (!has(feature::xattrs, why) || !root())
                          return false;
                      *why = "IMA or EVM here takes no such values";
                      return set_xattr(f, "user.origin", "fw1", 3) == 0 &&
                             set_xattr(f, "security.ima", "\x04\x04hash", 6) ==
                                 0 &&
                             set_xattr(f, "security.evm", "\x02hmac", 5) == 0;
                  },
                  true,
                  {"security.evm", "security.ima"}},
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
