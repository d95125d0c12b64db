// SPDX-License-Identifier: MIT
//
// Giving the result of an in-place run on POSIX systems what makes the
// file that file: keep_posix.cpp.
#ifndef QUADFLIP_KEEP_POSIX_H
#define QUADFLIP_KEEP_POSIX_H

#include "inplace_run_posix.h"

// Gives the new file at fd, while it is empty, the owner and group of the
// run's file and what must be set before its data; whatever cannot be
// carried over ends the run before anything is written.
void keep_early(const inplace_run &run, int fd);

// Gives the new file at fd, once its data is written, everything else of
// the run's file: ACL, extended attributes, mode, inode flags; whatever
// cannot be carried over ends the run.
void keep_metadata(const inplace_run &run, int fd);

#endif
