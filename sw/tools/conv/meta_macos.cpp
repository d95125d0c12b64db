// SPDX-License-Identifier: MIT
//
// macOS carries a file's ACL and extended attributes over with
// fcopyfile(3): every attribute, the quarantine and provenance ones
// included.  The mode, owner and times are set by the caller, in their
// own order, so COPYFILE_STAT (and COPYFILE_METADATA, which holds it) is
// not asked for.
#include "meta.h"

#include <cerrno>

#include <copyfile.h>
#include <sys/acl.h>

namespace
{

// Drops the entries a new file took from its folder's inheritable ACL, so
// that it ends with the file's own ACL alone rather than the two merged.
// A file system without ACLs has none to drop.
bool drop_acl(int fd)
{
    acl_t got = acl_get_fd_np(fd, ACL_TYPE_EXTENDED);
    if (!got)
        return true;
    acl_free(got);
    acl_t none = acl_init(0);
    if (!none)
        return false;
    const int set = acl_set_fd_np(fd, none, ACL_TYPE_EXTENDED);
    const int saved = errno;
    acl_free(none);
    errno = saved;
    return set == 0;
}

} // namespace

bool meta_copy(int from, int to)
{
    return drop_acl(to) &&
           fcopyfile(from, to, nullptr, COPYFILE_ACL | COPYFILE_XATTR) == 0;
}

// Whatever fcopyfile cannot carry over is told when it tries.
bool meta_check(int /*from*/, int /*to*/)
{
    return true;
}
