// SPDX-License-Identifier: MIT
//
// Systems whose ACL and attribute calls this program does not make (the
// BSDs, and the portable build) carry no ACL or extended attribute over.
// A file that has any is refused rather than stripped of them, and so is
// a new file that took an ACL from its folder's default, which could not
// be replaced by the file's own.  Whether there are any is asked of
// flistxattr(2) in Linux's form, so this builds only where <sys/xattr.h>
// declares that: Linux's C libraries and NetBSD's, not macOS's, whose form
// differs, nor those of the other BSDs, which have no such header.
#include "meta.h"

#include <cerrno>

#include <sys/xattr.h>

namespace
{

// Whether the file at fd has extended attributes; false with errno set
// where they cannot be listed for another reason than that there are none.
bool has_any(int fd, bool *any)
{
    char names[1];
    ssize_t n = flistxattr(fd, names, 0);
    *any = n > 0;
    return n >= 0 || errno == ENOTSUP || errno == ENOSYS;
}

} // namespace

bool meta_copy(int from, int to)
{
    bool any_from = false;
    bool any_to = false;
    if (!has_any(from, &any_from) || !has_any(to, &any_to))
        return false;
    if (any_from || any_to) {
        errno = ENOTSUP;
        return false;
    }
    return true;
}

bool meta_check(int from, int to)
{
    return meta_copy(from, to); // which changes nothing
}
