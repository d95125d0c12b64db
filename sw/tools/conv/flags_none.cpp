// SPDX-License-Identifier: MIT
//
// Systems without inode flags or projects: there is nothing to carry over.
#include "flags.h"

bool flags_prepare(int /*from*/, int /*to*/)
{
    return true;
}

bool flags_copy(int /*from*/, int /*to*/)
{
    return true;
}

bool flags_fixed(int /*fd*/)
{
    return false;
}

int flags_mount_root(int /*fd*/)
{
    return -1;
}
