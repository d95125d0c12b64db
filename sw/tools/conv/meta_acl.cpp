// SPDX-License-Identifier: MIT
//
// ACLs with libacl, extended attributes with libattr, which copies those
// that /etc/xattr.conf does not tell it to skip (the ACL's own attributes
// among them: they are the ACL's, copied here through libacl).
#include "meta.h"

#include <cerrno>

#include <attr/error_context.h>
#include <attr/libattr.h>
#include <sys/acl.h>

#include <acl/libacl.h>

namespace
{

int copy_error; // errno of the first attribute that could not be copied

extern "C" void attr_error(struct error_context * /*ctx*/, const char * /*fmt*/,
                           ...)
{
    if (copy_error == 0)
        copy_error = errno;
}

bool unsupported(int err)
{
    return err == ENOTSUP || err == ENOSYS;
}

} // namespace

bool meta_copy(int from, int to)
{
    acl_t acl = acl_get_fd(from);
    if (!acl) {
        if (!unsupported(errno)) // a file system without ACLs: mode alone
            return false;
    } else {
        int ok = acl_set_fd(to, acl);
        int err = errno;
        // Where ACLs cannot be set, one that the mode says in full is kept
        // by the mode.
        if (ok != 0 &&
            !(unsupported(err) && acl_equiv_mode(acl, nullptr) == 0)) {
            (void)acl_free(acl);
            errno = err;
            return false;
        }
        (void)acl_free(acl);
    }
    struct error_context ctx = {attr_error, nullptr, nullptr};
    copy_error = 0;
    if (attr_copy_fd(nullptr, from, nullptr, to, nullptr, &ctx) != 0) {
        errno = copy_error != 0 ? copy_error : EPERM;
        return false;
    }
    return true;
}

// Whatever libacl and libattr cannot carry over is told when they try.
bool meta_check(int /*from*/, int /*to*/)
{
    return true;
}
