// SPDX-License-Identifier: MIT
//
// Giving the result of an in-place run what makes the file that file, on
// POSIX systems: its owner and group, its ACL and extended attributes, and
// its mode.
#include "fail.h"
#include "inplace_posix.h"
#include "meta.h"

#include <cerrno>

#include <unistd.h>

namespace
{

// Whether a failed chmod says that the file system keeps no modes (FAT,
// exFAT, NTFS through FUSE), rather than that this runner may not.
bool keeps_no_modes(int err)
{
    return err == ENOSYS || err == EPERM || err == EOPNOTSUPP;
}

} // namespace

// It is done once the data is written, since a write clears the setuid and
// setgid bits and the file capabilities, and the owner before the mode,
// since a change of owner clears them too.  Whatever cannot be carried over
// ends the run, except an owner that this runner may not give away: the
// result is then the runner's, as any new file would be, with the file's
// group.
void keep_metadata(const inplace_run &run, int fd)
{
    const struct stat &was = run.snapshot;
    struct stat mine {
    };
    if (fstat(fd, &mine) != 0)
        fail("chown");
    if ((mine.st_uid != was.st_uid || mine.st_gid != was.st_gid) &&
        fchown(fd, was.st_uid, was.st_gid) != 0) {
        if (mine.st_gid != was.st_gid &&
            fchown(fd, static_cast<uid_t>(-1), was.st_gid) != 0)
            fail("chown");
        if (was.st_mode & S_ISUID) { // it would run as another user
            errno = EPERM;
            fail("chown");
        }
    }
    if (!meta_copy(run.file, fd))
        fail("chmod");
    const mode_t want = was.st_mode & 07777;
    if (fchmod(fd, want) != 0) {
        if (!keeps_no_modes(errno))
            fail("chmod");
    } else if (fstat(fd, &mine) != 0 ||
               (mine.st_mode & 07000) != (want & 07000)) {
        errno = EPERM; // a setuid or setgid bit was dropped
        fail("chmod");
    }
}
