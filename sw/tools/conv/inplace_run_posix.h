// SPDX-License-Identifier: MIT
//
// The file that an in-place run converts on POSIX systems, as the run took
// it: inplace_posix.cpp sets it up, guard_posix.cpp and keep_posix.cpp
// look at it.
#ifndef QUADFLIP_INPLACE_RUN_POSIX_H
#define QUADFLIP_INPLACE_RUN_POSIX_H

#include <string>

#include <sys/stat.h>

// The folder and the file's name in it; the file, with its status as the
// run took it.  Both descriptors stay open until the process ends: the
// folder's is the run's, the file's the input stream's.
struct inplace_run {
    int folder = -1;
    std::string leaf;
    int file = -1;
    struct stat snapshot {
    };
};

#endif
