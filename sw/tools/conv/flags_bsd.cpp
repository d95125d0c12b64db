// SPDX-License-Identifier: MIT
//
// File flags on macOS and the BSDs (chflags(1)): those the file's owner may
// set are carried over; the system's own (SF_*) need the superuser and
// are left as the system made them.  Immutable and append-only files are
// refused before a run begins.
#include "flags.h"

#include <sys/stat.h>
#include <unistd.h>

namespace
{

constexpr unsigned long kept_flags = UF_NODUMP | UF_OPAQUE
#ifdef UF_HIDDEN
                                     | UF_HIDDEN
#endif
    ;

} // namespace

bool flags_prepare(int /*from*/, int /*to*/)
{
    return true;
}

bool flags_copy(int from, int to)
{
    struct stat want {
    };
    struct stat have {
    };
    if (fstat(from, &want) != 0 || fstat(to, &have) != 0)
        return false;
    const unsigned long flags =
        (have.st_flags & ~kept_flags) | (want.st_flags & kept_flags);
    return flags == have.st_flags ||
           fchflags(to, static_cast<unsigned int>(flags)) == 0;
}

bool flags_fixed(int fd)
{
    struct stat st {
    };
    return fstat(fd, &st) == 0 && (st.st_flags & (UF_IMMUTABLE | SF_IMMUTABLE |
                                                  UF_APPEND | SF_APPEND)) != 0;
}

int flags_mount_root(int /*fd*/)
{
    return -1;
}
