// SPDX-License-Identifier: MIT
//
// Inode flags and projects on Linux, through the ioctls that chattr and
// xfs_io use.  A file system without them says so, and then there is
// nothing to carry over.
#include "flags.h"

#include <cerrno>

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/stat.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace
{

// The flags a user may set that belong to the file's data and its
// handling, not to how the file system lays it out.  Immutable and
// append-only files are refused before a run begins; no copy-on-write is
// set while the file is empty.
constexpr int kept_flags = FS_SECRM_FL | FS_UNRM_FL | FS_COMPR_FL | FS_SYNC_FL |
                           FS_NODUMP_FL | FS_NOATIME_FL | FS_JOURNAL_DATA_FL |
                           FS_NOTAIL_FL | FS_NOCOMP_FL | FS_PROJINHERIT_FL;

// What xfs_io and chattr set that goes with how the data is laid out, and
// so is set while the file is empty: DAX (chattr +x), access to the data
// that bypasses the page cache where the device allows it, and the extent
// size hint (xfs_io extsize), which xfs takes only for a file without
// data.
constexpr unsigned layout_xflags = FS_XFLAG_DAX | FS_XFLAG_EXTSIZE;

// ioctl(2), whose request the C libraries declare as unsigned long (glibc)
// or int (musl).
template <class R>
int control(int (*call)(int, R, ...), int fd, unsigned long request, void *arg)
{
    return call(fd, static_cast<R>(request), arg);
}

int control(int fd, unsigned long request, void *arg)
{
    return control(ioctl, fd, request, arg);
}

bool unsupported(int err)
{
    return err == ENOTTY || err == EOPNOTSUPP || err == ENOSYS || err == EINVAL;
}

// The flags of the file at fd in *flags; false with errno set where they
// cannot be read for another reason than that the file system has none,
// in which case *flags is 0.
bool get_flags(int fd, int *flags)
{
    *flags = 0;
    return control(fd, FS_IOC_GETFLAGS, flags) == 0 || unsupported(errno);
}

// Sets on the file at to those flags of mask that from has, and clears
// those it has not.
bool copy_flags(int from, int to, int mask)
{
    int want = 0;
    int have = 0;
    if (!get_flags(from, &want) || !get_flags(to, &have))
        return false;
    int flags = (have & ~mask) | (want & mask);
    return flags == have || control(to, FS_IOC_SETFLAGS, &flags) == 0;
}

} // namespace

bool flags_prepare(int from, int to)
{
    // Copy-on-write can be turned off only while the file is empty.
    if (!copy_flags(from, to, FS_NOCOW_FL))
        return false;
    struct fsxattr want {
    };
    struct fsxattr have {
    };
    if (control(from, FS_IOC_FSGETXATTR, &want) != 0)
        return unsupported(errno);
    if (control(to, FS_IOC_FSGETXATTR, &have) != 0)
        return false;
    // Whatever the new file took from its folder (DAX, an extent size
    // hint, a project) gives way to the file's own.
    struct fsxattr set = have;
    set.fsx_xflags =
        (have.fsx_xflags & ~layout_xflags) | (want.fsx_xflags & layout_xflags);
    set.fsx_extsize =
        (want.fsx_xflags & FS_XFLAG_EXTSIZE) != 0 ? want.fsx_extsize : 0;
    set.fsx_projid = want.fsx_projid;
    if (set.fsx_xflags == have.fsx_xflags &&
        set.fsx_extsize == have.fsx_extsize &&
        set.fsx_projid == have.fsx_projid)
        return true;
    return control(to, FS_IOC_FSSETXATTR, &set) == 0;
}

bool flags_copy(int from, int to)
{
    return copy_flags(from, to, kept_flags);
}

bool flags_fixed(int fd)
{
    int flags = 0;
    return get_flags(fd, &flags) &&
           (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL)) != 0;
}

// statx through the system call, which every C library can make, whether
// or not it declares it.  The portable build, as systems without statx,
// compares devices instead.
int flags_mount_root(int fd)
{
#if defined(SYS_statx) && defined(STATX_ATTR_MOUNT_ROOT) &&                    \
    !defined(QUADFLIP_PORTABLE)
    struct statx sx {
    };
    if (syscall(SYS_statx, fd, "", AT_EMPTY_PATH, STATX_BASIC_STATS, &sx) !=
            0 ||
        !(sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT))
        return -1;
    return (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0 ? 1 : 0;
#else
    (void)fd;
    return -1;
#endif
}
