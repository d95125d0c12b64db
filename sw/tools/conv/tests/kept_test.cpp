// SPDX-License-Identifier: MIT
//
// What an in-place run keeps of the file beside its data: owner, group,
// mode, ACLs, extended attributes, the SELinux label and file
// capabilities (its inode flags are in inode_flags_test.cpp).  Many cases
// need root; they are skipped, saying why, where it is missing.
#include "world_fixture.h"

#include <cerrno>
#include <sstream>
#include <string>
#include <vector>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

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
// (A runner who cannot give it its owner is refused: see
// unkept_test.cpp.)
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

} // namespace
