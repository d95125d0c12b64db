// SPDX-License-Identifier: MIT
//
// Resolving a path to the folder that holds its last name, one name at a
// time, on POSIX systems: resolve_posix.cpp.
#ifndef QUADFLIP_RESOLVE_POSIX_H
#define QUADFLIP_RESOLVE_POSIX_H

#include "fd.h"

#include <string>

// A folder, and the name in it that a path leads to.
struct place {
    fd dir;
    std::string name;
    bool detached = false; // a link's text leads elsewhere than the link
};

// Resolves path as realpath does, symbolic links followed, but one name at
// a time from the current folder, so that the whole path need not fit in
// PATH_MAX.  Returns the folder that holds the last name, open for reading,
// or no dir with errno set.  A link whose text leads to another file than
// the system itself follows it to (a descriptor's link in /proc, whose file
// may have no name at all) gives no dir and detached set: no name is ever
// built from what such a link reads as.
place resolve(const char *path);

#endif
