// SPDX-License-Identifier: MIT
//
// An in-place run on POSIX systems, and the steps that its files share:
// inplace_posix.cpp opens, writes and commits; guard_posix.cpp tells
// whether the file changed; keep_posix.cpp gives the result what makes the
// file that file.
#ifndef QUADFLIP_INPLACE_POSIX_H
#define QUADFLIP_INPLACE_POSIX_H

#include <string>

#include <sys/stat.h>

// The run: the folder and the file's name in it; the file, with its
// status as the run took it; the temporary file's name in the folder once
// it has one (an unnamed one has none until it is complete).
struct inplace_run {
    int folder = -1;
    std::string leaf;
    int file = -1;
    struct stat snapshot {
    };
    std::string tmpleaf;
    const char *volatile tmpname = nullptr; // what a signal must remove
};

// Waits until the file's times could no longer be those of a change made
// now, then takes its snapshot again: on a file system with whole-second
// times, or with the kernel's coarse clock, a write in the same tick as
// the last one would leave every time as it was.
void settle(inplace_run &run);

// Whether anything has happened to the file since its snapshot, or its
// name now holds another.
bool file_changed(const inplace_run &run);

// Whether what the exchange of the result with the file's name took out of
// that name, now named out in the folder, is the file as the run took it.
// Its change time is not compared: the exchange itself moves it.
bool took_out_the_file(const inplace_run &run, const char *out);

// Gives the new file at fd, while it is empty, the owner and group of the
// run's file and what must be set before its data; whatever cannot be
// carried over ends the run before anything is written.
void keep_early(const inplace_run &run, int fd);

// Gives the new file at fd, once its data is written, everything else of
// the run's file: ACL, extended attributes, mode, inode flags; whatever
// cannot be carried over ends the run.
void keep_metadata(const inplace_run &run, int fd);

#endif
