// SPDX-License-Identifier: MIT
//
// In place where the world around the run is not tidy: a folder on the
// path swapped for a symbolic link, folders deeper than PATH_MAX, ACLs and
// extended attributes, another user's group, FAT, a caller that holds a
// lock, and folders where the result could never be put over the file.
// Many of these need root (to mount, to become another user); they are
// skipped, saying why, where it or a tool is missing.
#include "harness.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/acl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace
{

class world : public scratch
{
  protected:
    void SetUp() override
    {
        scratch::SetUp();
        original = noise(std::size_t{1} << 20);
        converted = flipped(original);
    }
    std::string original, converted;
};

bool root()
{
    return geteuid() == 0;
}

#define NEEDS_ROOT()                                                           \
    do {                                                                       \
        if (!root())                                                           \
            GTEST_SKIP() << "needs root";                                      \
    } while (0)

#define NEEDS_STRACE()                                                         \
    do {                                                                       \
        if (emulated())                                                        \
            GTEST_SKIP() << "strace would trace the emulator";                 \
        if (!installed("strace"))                                              \
            GTEST_SKIP()                                                       \
                << "strace is not installed (apt-get install strace)";         \
    } while (0)

// What makes the file at path that file, beside its data: owner, group,
// mode and every extended attribute, the ACL's among them.
struct meta {
    uid_t uid;
    gid_t gid;
    mode_t mode;
    std::map<std::string, std::string> xattrs;
    bool operator==(const meta &o) const
    {
        return uid == o.uid && gid == o.gid && mode == o.mode &&
               xattrs == o.xattrs;
    }
};

void PrintTo(const meta &m, std::ostream *os)
{
    *os << "uid " << m.uid << ", gid " << m.gid << ", mode " << std::oct
        << m.mode << std::dec;
    for (const auto &x : m.xattrs)
        *os << ", " << x.first << " (" << x.second.size() << " bytes)";
}

meta meta_of(const std::string &path)
{
    struct stat st {
    };
    EXPECT_EQ(stat(path.c_str(), &st), 0);
    meta m{st.st_uid, st.st_gid, st.st_mode, {}};
    std::vector<char> names(65536);
    ssize_t n = listxattr(path.c_str(), names.data(), names.size());
    for (ssize_t at = 0; at < n;) {
        const std::string name(&names[static_cast<std::size_t>(at)]);
        std::vector<char> value(65536);
        ssize_t len =
            getxattr(path.c_str(), name.c_str(), value.data(), value.size());
        m.xattrs[name] = std::string(
            value.data(), len > 0 ? static_cast<std::size_t>(len) : 0);
        at += static_cast<ssize_t>(name.size()) + 1;
    }
    return m;
}

bool set_acl(const std::string &path, const char *text, acl_type_t type)
{
    acl_t acl = acl_from_text(text);
    bool ok = acl && acl_set_file(path.c_str(), type, acl) == 0;
    if (acl)
        acl_free(acl);
    return ok;
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
    bool extended;  // the file or its folder has an ACL or attributes
    bool as_member; // run as nobody in the file's group, not its owner
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
// Run by a member of the file's group who is not its owner, it takes that
// user as its owner (only root may give files away) and keeps its group.
TEST_P(kept, owner_group_mode_acl_and_attributes)
{
    POSIX_ONLY();
    const meta_case &c = GetParam();
    if (c.as_member)
        NEEDS_ROOT();
    write_file(path("f"), original);
    std::string why;
    if (!c.setup(dir, &why))
        GTEST_SKIP() << why;
    const meta before = meta_of(path("f"));
    limits lim;
    if (c.as_member) {
        lim.as_nobody = true;
        lim.groups = {before.gid};
    }
    result r = run({"f", "f"}, lim);
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
    meta want = before;
    if (c.as_member)
        want.uid = getpwnam("nobody")->pw_uid;
    EXPECT_EQ(meta_of(path("f")), want);
}

INSTANTIATE_TEST_SUITE_P(
    table, kept,
    ::testing::Values(
        // The owning group below the mask: it must not gain write.
        meta_case{"acl_entries_and_mask",
                  [](const std::string &dir, std::string *why) {
                      *why = "no ACLs on this file system";
                      return set_acl(dir + "/f",
                                     "u::rw-,u:nobody:rw-,g::r--,m::rw-,o::---",
                                     ACL_TYPE_ACCESS);
                  },
                  true, false},
        meta_case{"folder_default_acl",
                  [](const std::string &dir, std::string *why) {
                      *why = "no ACLs on this file system";
                      return set_acl(dir,
                                     "u::rwx,u:nobody:rwx,g::r-x,m::rwx,o::r-x",
                                     ACL_TYPE_DEFAULT);
                  },
                  true, false},
        meta_case{"user_attribute",
                  [](const std::string &dir, std::string *why) {
                      *why = "no user attributes on this file system";
                      return setxattr((dir + "/f").c_str(), "user.origin",
                                      "fw1", 3, 0) == 0;
                  },
                  true, false},
        // File capabilities, which a write or a change of owner clears.
        meta_case{"capabilities",
                  [](const std::string &dir, std::string *why) {
                      // Revision 2, effective; CAP_NET_RAW permitted.
                      const unsigned char caps[20] = {1, 0, 0, 2, 0, 0x20};
                      *why = "setting capabilities needs root";
                      return root() && setxattr((dir + "/f").c_str(),
                                                "security.capability", caps,
                                                sizeof caps, 0) == 0;
                  },
                  true, false},
        meta_case{"setuid_setgid_other_owner",
                  [](const std::string &dir, std::string *why) {
                      *why = "giving files away needs root";
                      const struct passwd *pw = getpwnam("nobody");
                      return root() && pw &&
                             chown((dir + "/f").c_str(), pw->pw_uid,
                                   pw->pw_gid) == 0 &&
                             chmod((dir + "/f").c_str(), 06751) == 0;
                  },
                  false, false},
        meta_case{"group_member_not_owner",
                  [](const std::string &dir, std::string *why) {
                      // A group that nobody is not in by default.
                      const struct group *gr = getgrnam("users");
                      *why = "no group users";
                      if (!gr)
                          return false;
                      return chown(dir.c_str(), 0, gr->gr_gid) == 0 &&
                             chmod(dir.c_str(), 0775) == 0 &&
                             chown((dir + "/f").c_str(), 0, gr->gr_gid) == 0 &&
                             chmod((dir + "/f").c_str(), 0664) == 0;
                  },
                  false, true}),
    named<meta_case>);

// Swapping a folder on the path for a symbolic link to another folder,
// while the run names and renames its result, changes nothing: the file
// in the folder first opened is converted, and the other folder's file of
// the same name is not touched.  The run is held in each of those system
// calls by strace.
TEST_F(world, folder_swapped_for_a_link_mid_run)
{
    POSIX_ONLY();
    NEEDS_STRACE();
    const std::vector<std::string> builds = {program(), named_temp_program()};
    for (const std::string &build : builds) {
        if (build.empty())
            continue;
        SCOPED_TRACE(build);
        fs::remove_all(path("d"));
        fs::remove_all(path("d.old"));
        fs::remove_all(path("elsewhere"));
        fs::create_directory(path("d"));
        fs::create_directory(path("elsewhere"));
        write_file(path("d/f"), original);
        write_file(path("elsewhere/f"), "not to be touched");
        const std::string trace = path("trace");
        limits lim;
        lim.program = build;
        lim.wrap = {
            "strace",
            "-f",
            "-qq",
            "-o",
            trace,
            "-E",
            "ASAN_OPTIONS=detect_leaks=0",
            "-e",
            "trace=linkat,renameat,renameat2",
            "-e",
            "inject=linkat,renameat,renameat2:delay_enter=1500000:when=1"};
        child c = start({"d/f", "d/f"}, dir, lim);
        ASSERT_TRUE(wait_until([&] {
            std::ifstream t(trace);
            std::stringstream s;
            s << t.rdbuf();
            return s.str().find("link") != std::string::npos ||
                   s.str().find("rename") != std::string::npos;
        }));
        fs::rename(path("d"), path("d.old"));
        fs::create_directory_symlink("elsewhere", path("d"));
        result r = finish(c);
        fs::remove(trace);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(same_bytes(read_file(path("d.old/f")), converted));
        EXPECT_EQ(read_file(path("elsewhere/f")), "not to be touched");
        EXPECT_EQ(listing(path("d.old")), std::vector<std::string>{"f"});
        EXPECT_EQ(listing(path("elsewhere")), std::vector<std::string>{"f"});
    }
}

// In a folder deeper than PATH_MAX, a file converts in place as it does to
// another file.
TEST_F(world, folder_deeper_than_path_max)
{
    POSIX_ONLY();
    const std::string name(200, 'd');
    std::vector<int> fds = {open(dir.c_str(), O_RDONLY | O_DIRECTORY)};
    for (int i = 0; i < 25; ++i) { // 25 × 201 bytes
        ASSERT_EQ(mkdirat(fds.back(), name.c_str(), 0755), 0);
        fds.push_back(openat(fds.back(), name.c_str(), O_RDONLY | O_DIRECTORY));
        ASSERT_GE(fds.back(), 0);
    }
    const int deep = fds.back();
    int fd = openat(deep, "f", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, original.data(), original.size()),
              static_cast<ssize_t>(original.size()));
    close(fd);
    limits lim;
    lim.cwd_fd = deep;
    result two = run({"f", "g"}, lim);
    result same = run({"f", "f"}, lim);
    // Read back through the descriptors, and removed from the bottom up.
    auto read_at = [&](const char *file) {
        std::string got(original.size() + 1, '\0');
        int rfd = openat(deep, file, O_RDONLY);
        ssize_t n = rfd < 0 ? -1 : read(rfd, got.data(), got.size());
        close(rfd);
        got.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
        return got;
    };
    const std::string g = read_at("g");
    const std::string f = read_at("f");
    unlinkat(deep, "f", 0);
    unlinkat(deep, "g", 0);
    for (std::size_t i = fds.size() - 1; i > 0; --i) {
        close(fds[i]);
        unlinkat(fds[i - 1], name.c_str(), AT_REMOVEDIR);
    }
    close(fds[0]);
    EXPECT_EQ(two.status, 0) << two.err;
    EXPECT_EQ(same.status, 0) << same.err;
    EXPECT_TRUE(same_bytes(g, converted));
    EXPECT_TRUE(same_bytes(f, converted));
}

// A caller that guards the file with flock(1) does not make the run wait
// for ever on the caller's own lock.
TEST_F(world, caller_holds_flock)
{
    POSIX_ONLY();
    if (!installed("flock"))
        GTEST_SKIP()
            << "flock(1) is not installed (apt-get install util-linux)";
    write_file(path("f"), original);
    limits lim;
    lim.wrap = {"flock", "f"};
    child c = start({"f", "f"}, dir, lim);
    const bool ended = wait_until([&] { return !running(c); });
    if (!ended)
        kill(c.pid, SIGKILL);
    result r = finish(c);
    ASSERT_TRUE(ended) << "the run waited on its caller's lock";
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(same_bytes(read_file(path("f")), converted));
}

// Nor does a caller that holds a POSIX record lock on the file (lockf,
// fcntl), as a script's own guard would: the run's lock does not wait
// for its caller.
TEST_F(world, caller_holds_a_record_lock)
{
    POSIX_ONLY();
    write_file(path("f"), original);
    int fd = open(path("f").c_str(), O_RDWR);
    struct flock whole {
    };
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    ASSERT_EQ(fcntl(fd, F_SETLK, &whole), 0);
    child c = start({"f", "f"}, dir);
    const bool ended = wait_until([&] { return !running(c); });
    if (!ended)
        kill(c.pid, SIGKILL);
    result r = finish(c);
    close(fd);
    ASSERT_TRUE(ended) << "the run waited on its caller's lock";
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(same_bytes(read_file(path("f")), converted));
}

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
    lim.wrap = {"strace",
                "-f",
                "-qq",
                "-o",
                trace,
                "-E",
                "ASAN_OPTIONS=detect_leaks=0",
                "-e",
                "trace=open,openat"};
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
                         write_file(dir + "/f", noise(4096));
                         *why = "chattr +a does not work here";
                         return command({"chattr", "+a", dir});
                     },
                     says("rename", EPERM), false},
        refusal_case{"file_is_a_mount_point",
                     [](const std::string &dir, mounted &m, std::string *why) {
                         write_file(dir + "/f", noise(4096));
                         write_file(dir + "/../other", noise(4096, 2));
                         m.at = dir + "/f";
                         m.ok = mount((dir + "/../other").c_str(), m.at.c_str(),
                                      nullptr, MS_BIND, nullptr) == 0;
                         *why = "cannot bind-mount a file here";
                         return m.ok;
                     },
                     says("rename", EBUSY), false},
        refusal_case{"no_room_for_a_second_copy",
                     [](const std::string &dir, mounted &m, std::string *why) {
                         m.ok = mount("tmpfs", dir.c_str(), "tmpfs", 0,
                                      "size=40m") == 0;
                         *why = "cannot mount a tmpfs here";
                         if (m.ok)
                             write_file(dir + "/f", noise(30 << 20));
                         return m.ok;
                     },
                     says("write", ENOSPC), false}),
    named<refusal_case>);

} // namespace
