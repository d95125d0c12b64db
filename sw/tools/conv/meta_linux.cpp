// SPDX-License-Identifier: MIT
//
// ACLs and extended attributes on Linux, through the kernel's own calls,
// which every C library has.  A file's ACL is its attribute
// system.posix_acl_access, in the kernel's binary form, and is carried
// over as any other attribute is: every one that this process can list
// (a user who is not root lists no trusted.*), but those that the kernel
// or the file system writes itself.
#include "meta.h"

#include <cerrno>
#include <cstring>
#include <string>

#include <sys/types.h>
#include <sys/xattr.h>

namespace
{

// What is not carried over, as the file system or the kernel writes it:
// security.evm, a hash of the other security attributes that only the
// kernel may write; security.ima, a hash or signature of the data, which
// the run changes, so that the file's would not match the result (where
// IMA keeps hashes, it writes the result's own); and afs.*, the cell,
// volume and ID of a file of AFS, and its folder's ACL.
bool skipped(const char *name)
{
    return std::strcmp(name, "security.evm") == 0 ||
           std::strcmp(name, "security.ima") == 0 ||
           std::strncmp(name, "afs.", 4) == 0;
}

bool unsupported(int err)
{
    return err == ENOTSUP || err == ENOSYS;
}

// The names of the attributes of the file at fd, each ended by a NUL, in
// *names: none on a file system without attributes.  False with errno
// set where they cannot be listed.
bool names_of(int fd, std::string *names)
{
    for (;;) {
        ssize_t n = flistxattr(fd, nullptr, 0);
        if (n < 0) {
            names->clear();
            return unsupported(errno);
        }
        names->resize(static_cast<std::size_t>(n));
        if (n == 0)
            return true;
        n = flistxattr(fd, names->data(), names->size());
        if (n >= 0) {
            names->resize(static_cast<std::size_t>(n));
            return true;
        }
        if (errno != ERANGE) // ERANGE: one was added meanwhile
            return false;
    }
}

// Whether the list names holds name.
bool listed(const std::string &names, const char *name)
{
    for (std::size_t at = 0; at < names.size();) {
        const char *here = names.c_str() + at;
        if (std::strcmp(here, name) == 0)
            return true;
        at += std::strlen(here) + 1;
    }
    return false;
}

// The value of the attribute name of the file at fd in *value; false
// with errno set where it has none (ENODATA) or it cannot be read.
bool value_of(int fd, const char *name, std::string *value)
{
    for (;;) {
        ssize_t n = fgetxattr(fd, name, nullptr, 0);
        if (n < 0)
            return false;
        value->resize(static_cast<std::size_t>(n));
        if (n == 0)
            return true;
        n = fgetxattr(fd, name, value->data(), value->size());
        if (n >= 0) {
            value->resize(static_cast<std::size_t>(n));
            return true;
        }
        if (errno != ERANGE) // ERANGE: it grew meanwhile
            return false;
    }
}

// Gives the file at to the value that the file at from has for name.  A
// value that to holds already is left as it is: the SELinux label that
// its folder gave it, say, which the runner may not be allowed to set.
bool give(int from, int to, const char *name)
{
    std::string want;
    std::string have;
    if (!value_of(from, name, &want))
        return false;
    if (value_of(to, name, &have) && have == want)
        return true;
    return fsetxattr(to, name, want.data(), want.size(), 0) == 0;
}

// Takes name away from the file at to, unless it is gone already.
bool drop(int to, const char *name)
{
    return fremovexattr(to, name) == 0 || errno == ENODATA;
}

} // namespace

// The attributes the file has are given first, then those that the new
// file has and the file has not are removed: the ACL it took from its
// folder's default ACL, for one.
bool meta_copy(int from, int to)
{
    std::string want;
    std::string have;
    if (!names_of(from, &want) || !names_of(to, &have))
        return false;
    for (std::size_t at = 0; at < want.size();) {
        const char *name = want.c_str() + at;
        at += std::strlen(name) + 1;
        if (!skipped(name) && !give(from, to, name))
            return false;
    }
    for (std::size_t at = 0; at < have.size();) {
        const char *name = have.c_str() + at;
        at += std::strlen(name) + 1;
        if (!skipped(name) && !listed(want, name) && !drop(to, name))
            return false;
    }
    return true;
}

// Everything is carried over while the new file is still empty, so that
// an attribute that cannot be is refused before any data is written.
// meta_copy carries them over again once the data is written, which
// takes file capabilities away.
bool meta_check(int from, int to)
{
    return meta_copy(from, to);
}
