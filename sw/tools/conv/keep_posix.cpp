// SPDX-License-Identifier: MIT
//
// Giving the result of an in-place run what makes the file that file, on
// POSIX systems: its owner and group, its ACL and extended attributes, its
// mode, and its inode flags and project.
#include "keep_posix.h"
#include "fail.h"
#include "flags.h"
#include "guard_posix.h"
#include "meta.h"

#include <cerrno>

#include <unistd.h>

namespace
{

// Ends the run: what op needed could not be done.  A change made to the
// file meanwhile is told as such, rather than as whatever it made fail.
[[noreturn]] void refuse(const inplace_run &run, const char *op)
{
    const int err = errno;
    if (guard_changed(run))
        fail_changed();
    errno = err;
    fail(op);
}

// A result that the file's owner could not open, or that any other user
// owns, is never put in its place: only a runner who may give files away
// (root) converts another user's file.  On a file system without owners
// (FAT) every file has the mount's, and nothing needs changing.
void keep_owner(const inplace_run &run, int fd)
{
    const struct stat &was = run.snapshot;
    struct stat mine {
    };
    if (fstat(fd, &mine) != 0)
        refuse(run, "chown");
    if ((mine.st_uid != was.st_uid || mine.st_gid != was.st_gid) &&
        fchown(fd, was.st_uid, was.st_gid) != 0)
        refuse(run, "chown");
}

} // namespace

void keep_early(const inplace_run &run, int fd)
{
    keep_owner(run, fd);
    if (!meta_check(run.file, fd))
        refuse(run, "chmod");
    if (!flags_prepare(run.file, fd))
        refuse(run, "chattr");
}

// It is done once the data is written, since a write clears the setuid and
// setgid bits and the file capabilities, and the owner before the mode,
// since a change of owner clears them too.  Whatever cannot be carried
// over ends the run.  A file system that keeps no modes (FAT, exFAT, NTFS
// through FUSE) refuses any change, and gives every file the same mode:
// the result then has the file's mode already.
void keep_metadata(const inplace_run &run, int fd)
{
    keep_owner(run, fd);
    if (!meta_copy(run.file, fd))
        refuse(run, "chmod");
    const mode_t want = run.snapshot.st_mode & 07777;
    struct stat mine {
    };
    if (fchmod(fd, want) != 0) {
        const int err = errno;
        if (fstat(fd, &mine) != 0 || (mine.st_mode & 07777) != want) {
            errno = err;
            refuse(run, "chmod");
        }
    } else if (fstat(fd, &mine) != 0 ||
               (mine.st_mode & 07000) != (want & 07000)) {
        errno = EPERM; // a setuid or setgid bit was dropped
        refuse(run, "chmod");
    }
    if (!flags_copy(run.file, fd))
        refuse(run, "chattr");
}
