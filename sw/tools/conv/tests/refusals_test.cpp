// SPDX-License-Identifier: MIT
//
// What an in-place run refuses, leaving the file as it was with nothing
// beside it: a result it could not give the file's owner, group or mode
// (another user's group or file, a runner short of a capability), and
// folders where the result could never be put over the file, or would not
// fit, refused before anything is written.  These need root; they are
// skipped, saying why, where it or a tool is missing.
#include "world_fixture.h"

#include <algorithm>
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

// Gives the folder d to root and the group gid with mode dir, and d/f to
// owner and that group with mode file; the folder above lets anyone in.
bool share_with_group(const std::string &d, gid_t gid, mode_t dir, uid_t owner,
                      mode_t file)
{
    return chmod((d + "/..").c_str(), 0755) == 0 &&
           chown(d.c_str(), 0, gid) == 0 && chmod(d.c_str(), dir) == 0 &&
           chown((d + "/f").c_str(), owner, gid) == 0 &&
           chmod((d + "/f").c_str(), file) == 0;
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
                        return share_with_group(d, gr->gr_gid, 0775, 0, 0664);
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
                        return share_with_group(d, gr->gr_gid, 02777, 0, 02757);
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
                        return share_with_group(d, gr->gr_gid, 02777,
                                                pw->pw_uid, 02757);
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
                    {says("chmod", EPERM)}},
        // Root without CAP_SETFCAP may not give the result the file's
        // capabilities (the portable build carries no attribute over).
        unkept_case{"root_without_cap_setfcap",
                    [](const std::string &d, const std::string &data, mounted &,
                       limits &lim, std::string *why) {
                        // Revision 2, effective; CAP_NET_RAW permitted.
                        const unsigned char caps[20] = {1, 0, 0, 2, 0, 0x20};
                        write_file(d + "/f", data);
                        if (!without_capability(lim, "setfcap", why))
                            return false;
                        *why = "no file capabilities on this file system";
                        return has(feature::xattrs, why) &&
                               set_xattr(d + "/f", "security.capability", caps,
                                         sizeof caps) == 0;
                    },
                    {says("chmod", EPERM), says("chmod", ENOTSUP)}}),
    named<unkept_case>);

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
