// SPDX-License-Identifier: MIT
//
// An in-place run whose result could not have the file's owner, group or
// mode (another user's group or file, a runner short of a capability) is
// refused, leaving the file as it was with nothing beside it.  These need
// root; they are skipped, saying why, where it or a tool is missing.
#include "world_fixture.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <ostream>
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

} // namespace
