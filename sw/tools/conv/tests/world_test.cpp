// SPDX-License-Identifier: MIT
//
// In place where the world around the run is not tidy: a folder on the
// path swapped for a symbolic link, folders deeper than PATH_MAX, ACLs,
// extended attributes, inode flags and project IDs, another user's group
// or file, a runner short of a capability, FAT, second names of the file
// that no identity check sees, locks held by the caller or by another
// process, and folders where the result could never be put over the file.
// Many of these need root (to mount, to become another user); they are
// skipped, saying why, where it or a tool is missing.
#include "harness.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/acl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
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
    return {st.st_uid, st.st_gid, st.st_mode, xattrs_of(path)};
}

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
// (A runner who cannot give it its owner is refused: see unkept below.)
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

struct unkept_case {
    const char *name;
    // Mounts what it needs on d, puts data in d/f and readies the file and
    // how the run is made; false to skip, saying why in *why.
    bool (*setup)(const std::string &d, const std::string &data, mounted &m,
                  limits &lim, std::string *why);
    std::vector<std::string> errs; // what the run may say
};

void PrintTo(const unkept_case &c, std::ostream *os)
{
    *os << c.name;
}

class unkept : public world, public ::testing::WithParamInterface<unkept_case>
{
};

// What the result cannot be given, it does not go without: an owner that
// the runner may not give a file (only a process with CAP_CHOWN may), a
// setgid bit that the runner may not set, a mode that the runner may not
// set on a file system that keeps modes.  The run is refused and the
// file left as it was, with nothing beside it, by the build that names
// its temporary file from the start too.  (An owner given up on purpose
// takes two files: quadflip f f.new && mv f.new f.)
TEST_P(unkept, file_left_as_it_was)
{
    POSIX_ONLY();
    NEEDS_ROOT();
    const unkept_case &c = GetParam();
    fs::create_directory(path("d"));
    mounted m{path("d")};
    limits lim;
    std::string why;
    if (!c.setup(path("d"), original, m, lim, &why))
        GTEST_SKIP() << why;
    const meta before = meta_of(path("d/f"));
    const auto names = listing(path("d"));
    for (const std::string &build : {program(), named_temp_program()}) {
        if (build.empty())
            continue;
        SCOPED_TRACE(build);
        lim.program = build;
        result r = run({"d/f", "d/f"}, lim);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "d/f\nd/f\n");
        EXPECT_NE(std::find(c.errs.begin(), c.errs.end(), r.err), c.errs.end())
            << r.err;
        EXPECT_TRUE(same_bytes(read_file(path("d/f")), original));
        EXPECT_EQ(meta_of(path("d/f")), before);
        EXPECT_EQ(listing(path("d")), names);
    }
}

// The group users, which nobody is not in by default, or nullptr.
const struct group *users()
{
    return getgrnam("users");
}

// Runs the program under setpriv without the capability cap.
bool without_capability(limits &lim, const std::string &cap, std::string *why)
{
    *why = "setpriv is not installed (apt-get install util-linux)";
    lim.wrap = {"setpriv", "--inh-caps=-" + cap, "--ambient-caps=-" + cap,
                "--bounding-set=-" + cap};
    return installed("setpriv") && !emulated() &&
           command({"setpriv", "--bounding-set=-" + cap, "true"});
}

// Mounts a file system that keeps modes but has no ACLs on m: ext4, or
// btrfs where the kernel's ext4 takes no noacl.
bool mount_without_acls(mounted &m, std::string *why)
{
    const std::string dir = fs::path(m.at).parent_path().string();
    *why = mount_image(dir, {"mkfs.ext4", "-q", "-F"}, 32 << 20, "noacl", m);
    if (m.ok)
        return true;
    const std::string ext4 = *why;
    *why = mount_image(dir, {"mkfs.btrfs", "-q", "-f"}, 128 << 20, "noacl", m);
    if (!m.ok)
        *why =
            "no file system without ACLs: ext4: " + ext4 + "; btrfs: " + *why;
    return m.ok;
}

INSTANTIATE_TEST_SUITE_P(
    table, unkept,
    ::testing::Values(
        // A member of the file's group, not its owner: the result would be
        // the member's, and the owner, not in the group, locked out.
        unkept_case{"group_member_not_owner",
                    [](const std::string &d, const std::string &data, mounted &,
                       limits &lim, std::string *why) {
                        const struct group *gr = users();
                        *why = "no group users";
                        if (!gr)
                            return false;
                        write_file(d + "/f", data);
                        lim.as_nobody = true;
                        lim.groups = {gr->gr_gid};
                        return chmod((d + "/..").c_str(), 0755) == 0 &&
                               chown(d.c_str(), 0, gr->gr_gid) == 0 &&
                               chmod(d.c_str(), 0775) == 0 &&
                               chown((d + "/f").c_str(), 0, gr->gr_gid) == 0 &&
                               chmod((d + "/f").c_str(), 0664) == 0;
                    },
                    {says("chown", EPERM)}},
        // Root without CAP_CHOWN would make another user's file root's; the
        // group (root) could be kept.
        unkept_case{"root_without_cap_chown",
                    [](const std::string &d, const std::string &data, mounted &,
                       limits &lim, std::string *why) {
                        write_file(d + "/f", data);
                        const struct passwd *pw = getpwnam("nobody");
                        return without_capability(lim, "chown", why) && pw &&
                               chown((d + "/f").c_str(), pw->pw_uid, 0) == 0 &&
                               chmod((d + "/f").c_str(), 0644) == 0;
                    },
                    {says("chown", EPERM)}},
        // nobody, not in the group, in a setgid folder of that group: the
        // result gets the group from the folder, but its setgid bit would
        // be dropped, and its owner cannot be kept either.
        unkept_case{"setgid_file_of_a_group_not_the_runners",
                    [](const std::string &d, const std::string &data, mounted &,
                       limits &lim, std::string *why) {
                        const struct group *gr = users();
                        *why = "no group users";
                        if (!gr)
                            return false;
                        write_file(d + "/f", data);
                        lim.as_nobody = true;
                        return chmod((d + "/..").c_str(), 0755) == 0 &&
                               chown(d.c_str(), 0, gr->gr_gid) == 0 &&
                               chmod(d.c_str(), 02777) == 0 &&
                               chown((d + "/f").c_str(), 0, gr->gr_gid) == 0 &&
                               chmod((d + "/f").c_str(), 02757) == 0;
                    },
                    {says("chown", EPERM), says("chmod", EPERM)}},
        // The same, but nobody owns the file: the owner and the group are
        // kept, and only the setgid bit, which the system drops silently
        // for a runner outside the group, cannot be.
        unkept_case{"setgid_file_of_a_group_not_the_owners",
                    [](const std::string &d, const std::string &data, mounted &,
                       limits &lim, std::string *why) {
                        const struct group *gr = users();
                        const struct passwd *pw = getpwnam("nobody");
                        *why = "no group users";
                        if (!gr || !pw)
                            return false;
                        write_file(d + "/f", data);
                        lim.as_nobody = true;
                        return chmod((d + "/..").c_str(), 0755) == 0 &&
                               chown(d.c_str(), 0, gr->gr_gid) == 0 &&
                               chmod(d.c_str(), 02777) == 0 &&
                               chown((d + "/f").c_str(), pw->pw_uid,
                                     gr->gr_gid) == 0 &&
                               chmod((d + "/f").c_str(), 02757) == 0;
                    },
                    {says("chmod", EPERM)}},
        // Root without CAP_FOWNER may not set the mode of another user's
        // file: that is not a file system without modes (FAT), where the
        // run would go on with the mode every file there has.
        unkept_case{"root_without_cap_fowner",
                    [](const std::string &d, const std::string &data,
                       mounted &m, limits &lim, std::string *why) {
                        if (!without_capability(lim, "fowner", why) ||
                            !mount_without_acls(m, why))
                            return false;
                        write_file(d + "/f", data);
                        const struct passwd *pw = getpwnam("nobody");
                        return pw &&
                               chown((d + "/f").c_str(), pw->pw_uid,
                                     pw->pw_gid) == 0 &&
                               chmod((d + "/f").c_str(), 04755) == 0;
                    },
                    {says("chmod", EPERM)}}),
    named<unkept_case>);

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
        lim.own_group = true;
        child c = start({"d/f", "d/f"}, dir, lim);
        reaper guard{c.pid, true};
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
// for ever on the caller's own lock.  The run is flock's child: both are
// in a process group of their own, which goes whatever the outcome.
TEST_F(world, caller_holds_flock)
{
    POSIX_ONLY();
    if (!installed("flock"))
        GTEST_SKIP()
            << "flock(1) is not installed (apt-get install util-linux)";
    write_file(path("f"), original);
    limits lim;
    lim.wrap = {"flock", "f"};
    lim.own_group = true;
    child c = start({"f", "f"}, dir, lim);
    reaper guard{c.pid, true};
    const bool ended = wait_until([&] { return !running(c); });
    if (!ended)
        kill(-c.pid, SIGKILL);
    result r = finish(c);
    ASSERT_TRUE(ended) << "the run waited on its caller's lock";
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(same_bytes(read_file(path("f")), converted));
}

struct caller_lock_case {
    const char *name;
    bool (*take)(int fd); // locks the whole file open at fd
};

void PrintTo(const caller_lock_case &c, std::ostream *os)
{
    *os << c.name;
}

class caller_lock : public world,
                    public ::testing::WithParamInterface<caller_lock_case>
{
};

// Nor does a caller that holds a lock of any kind on the file, as a
// script's own guard would: a POSIX record lock (fcntl, lockf), an open
// file description lock, or flock(2).
TEST_P(caller_lock, is_not_waited_for)
{
    POSIX_ONLY();
    write_file(path("f"), original);
    int fd = open(path("f").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    if (!GetParam().take(fd)) {
        close(fd);
        GTEST_SKIP() << "no such lock here";
    }
    child c = start({"f", "f"}, dir);
    reaper guard{c.pid};
    const bool ended = wait_until([&] { return !running(c); });
    if (!ended)
        kill(c.pid, SIGKILL);
    result r = finish(c);
    close(fd);
    ASSERT_TRUE(ended) << "the run waited on its caller's lock";
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(same_bytes(read_file(path("f")), converted));
    EXPECT_EQ(listing(dir), std::vector<std::string>{"f"});
}

bool whole_file_lock(int fd, int cmd)
{
    struct flock whole {
    };
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    return fcntl(fd, cmd, &whole) == 0;
}

// An open file description lock, where the system has them.
bool ofd_lock(int fd)
{
#ifdef F_OFD_SETLK
    return whole_file_lock(fd, F_OFD_SETLK);
#else
    (void)fd;
    return false;
#endif
}

INSTANTIATE_TEST_SUITE_P(
    table, caller_lock,
    ::testing::Values(
        caller_lock_case{"record_lock",
                         [](int fd) { return whole_file_lock(fd, F_SETLK); }},
        caller_lock_case{"lockf",
                         [](int fd) { return lockf(fd, F_LOCK, 0) == 0; }},
        caller_lock_case{"ofd_lock", ofd_lock},
        caller_lock_case{"flock",
                         [](int fd) { return flock(fd, LOCK_EX) == 0; }}),
    named<caller_lock_case>);

// Two runs started one after the other under the caller's record lock
// still take turns: each converts the other's result, so the file ends as
// it began.  The first is held at the rename of its result, past its last
// look at the file, while the second starts.
TEST_F(world, runs_under_the_callers_lock_take_turns)
{
    POSIX_ONLY();
    NEEDS_STRACE();
    write_file(path("f"), original);
    int fd = open(path("f").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(lockf(fd, F_LOCK, 0), 0);
    const std::string trace = dir + ".trace";
    limits slow;
    slow.own_group = true;
    slow.wrap = {"strace",
                 "-f",
                 "-qq",
                 "-o",
                 trace,
                 "-E",
                 "ASAN_OPTIONS=detect_leaks=0",
                 "-e",
                 "trace=rename,renameat,renameat2",
                 "-e",
                 "inject=rename,renameat,renameat2:delay_enter=2000000"};
    child a = start({"f", "f"}, dir, slow);
    reaper guard_a{a.pid, true};
    const bool held = wait_until([&] {
        return exists(trace) &&
               read_file(trace).find("rename") != std::string::npos;
    });
    child b = start({"f", "f"}, dir);
    reaper guard_b{b.pid};
    const bool ended = wait_until([&] { return !running(a) && !running(b); });
    if (!ended) {
        kill(-a.pid, SIGKILL);
        kill(b.pid, SIGKILL);
    }
    result ra = finish(a);
    result rb = finish(b);
    close(fd);
    fs::remove(trace);
    ASSERT_TRUE(held) << "the first run never reached its rename";
    ASSERT_TRUE(ended) << "the runs were still going after 20 s";
    EXPECT_EQ(ra.status, 0) << ra.err;
    EXPECT_EQ(rb.status, 0) << rb.err;
    EXPECT_TRUE(same_bytes(read_file(path("f")), original))
        << "a conversion was lost";
    EXPECT_EQ(listing(dir), std::vector<std::string>{"f"});
}

// A process that is not the run's caller (a sibling of it here), holding a
// record lock (lockf) on the whole of a file until let go or gone.
struct lock_holder {
    pid_t pid = -1;
    int release = -1; // closed, the holder lets go and ends
    explicit lock_holder(const std::string &file);
    lock_holder(const lock_holder &) = delete;
    lock_holder &operator=(const lock_holder &) = delete;
    void let_go();
    ~lock_holder() { let_go(); }
};

lock_holder::lock_holder(const std::string &file)
{
    int ready[2];
    int go[2];
    if (cloexec_pipe(ready) != 0)
        return;
    if (cloexec_pipe(go) != 0) {
        close(ready[0]);
        close(ready[1]);
        return;
    }
    (void)std::fflush(nullptr);
    pid = fork();
    if (pid == 0) {
        close(ready[0]);
        close(go[1]);
        const int fd = open(file.c_str(), O_RDWR);
        char c = 0;
        if (fd < 0 || lockf(fd, F_LOCK, 0) != 0 || write(ready[1], "L", 1) != 1)
            _exit(1);
        (void)read(go[0], &c, 1); // until the other end is closed
        _exit(0);
    }
    close(ready[1]);
    close(go[0]);
    release = go[1];
    char c = 0;
    if (pid < 0 || read(ready[0], &c, 1) != 1)
        let_go();
    close(ready[0]);
}

void lock_holder::let_go()
{
    if (release >= 0)
        close(release);
    release = -1;
    int ws = 0;
    while (pid > 0 && waitpid(pid, &ws, 0) < 0 && errno == EINTR) {
    }
    pid = -1;
}

// A record lock held by a process that is not the run's caller keeps the
// run waiting, the file untouched, until it is let go.
TEST_F(world, lock_of_another_process_is_waited_for)
{
    if (portable_build())
        GTEST_SKIP() << "the portable build waits for no other program's lock: "
                        "it could not tell the caller's from theirs";
    POSIX_ONLY();
    write_file(path("f"), original);
    lock_holder other(path("f"));
    ASSERT_GT(other.pid, 0) << "no process could lock the file";
    child c = start({"f", "f"}, dir);
    reaper guard{c.pid};
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_TRUE(running(c)) << "the run did not wait for the lock";
    EXPECT_TRUE(same_bytes(read_file(path("f")), original));
    other.let_go();
    const bool ended = wait_until([&] { return !running(c); });
    if (!ended)
        kill(c.pid, SIGKILL);
    result r = finish(c);
    ASSERT_TRUE(ended) << "the run went on waiting once the lock was let go";
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(same_bytes(read_file(path("f")), converted));
    EXPECT_EQ(listing(dir), std::vector<std::string>{"f"});
}

// A file replaced by a symbolic link while the run waits for its lock is
// not followed: the run fails, and the file the link leads to is not
// touched.
TEST_F(world, file_made_a_link_while_the_run_waits)
{
    POSIX_ONLY();
    NEEDS(feature::proc);
    write_file(path("f"), original);
    const std::string other_data = noise(4096, 3);
    write_file(path("g"), other_data);
    lock_holder other(path("f"));
    ASSERT_GT(other.pid, 0) << "no process could lock the file";
    child c = start({"f", "f"}, dir);
    reaper guard{c.pid};
    // Open for writing: in place, waiting for the lock, past every look
    // at the name that could still follow a link.
    const bool opened =
        wait_until([&] { return holds_open(c.pid, path("f"), true); });
    fs::create_symlink("g", path("link"));
    fs::rename(path("link"), path("f"));
    other.let_go();
    const bool ended = wait_until([&] { return !running(c); });
    if (!ended)
        kill(c.pid, SIGKILL);
    result r = finish(c);
    ASSERT_TRUE(opened) << "the run never opened the file";
    ASSERT_TRUE(ended) << "the run was still going 20 s after the lock went";
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(read_file(path("g")), other_data);
    EXPECT_TRUE(fs::is_symlink(path("f")));
    EXPECT_EQ(listing(dir), (std::vector<std::string>{"f", "g"}));
}

// The free room needed is the room the file takes, not its length: a
// sparse file of 100 MiB holding 12 KiB converts on a tmpfs of 40 MiB.
TEST_F(world, sparse_file_needs_room_for_its_data_only)
{
    POSIX_ONLY();
    NEEDS_ROOT();
    NEEDS(feature::mounts);
    fs::create_directory(path("d"));
    mounted m{path("d")};
    m.ok = mount_fs("tmpfs", m.at, "size=40m");
    if (!m.ok)
        GTEST_SKIP() << "cannot mount a tmpfs here";
    const off_t length = off_t{100} << 20;
    const off_t at[] = {0, length / 2, length - 4096};
    int fd = open(path("d/f").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    for (off_t where : at) {
        const std::string piece = noise(4096, static_cast<unsigned>(where));
        ASSERT_EQ(pwrite(fd, piece.data(), piece.size(), where), 4096);
    }
    ASSERT_EQ(ftruncate(fd, length), 0);
    close(fd);
    result r = run({"d/f", "d/f"});
    ASSERT_EQ(r.status, 0) << r.err;
    struct stat st {
    };
    ASSERT_EQ(stat(path("d/f").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, length);
    EXPECT_LT(st.st_blocks * 512, off_t{1} << 20) << "the holes were filled";
    fd = open(path("d/f").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    for (off_t where : at) {
        std::string got(4096, '\0');
        EXPECT_EQ(pread(fd, got.data(), got.size(), where), 4096);
        EXPECT_TRUE(
            same_bytes(got, flipped(noise(4096, static_cast<unsigned>(where)))))
            << "at " << where;
    }
    close(fd);
    EXPECT_EQ(listing(path("d")), std::vector<std::string>{"f"});
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
// spelling) is converted like an in-place run: the input is not emptied
// before it is read, and nothing is left beside it.
TEST_P(second_name, converts_as_in_place)
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
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, names.in + "\n" + names.out + "\n");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(same_bytes(read_file(path(names.out)), converted));
    const auto after = listing(path(names.folder));
    EXPECT_EQ(after.size(), before.size());
    for (const std::string &name : after)
        EXPECT_NE(name.rfind(".quadflip.", 0), 0U) << name << " was left";
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
