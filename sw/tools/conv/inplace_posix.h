// SPDX-License-Identifier: MIT
//
// An in-place run on POSIX systems, and the steps that its files share:
// inplace_posix.cpp opens, writes and commits; guard_posix.cpp locks and
// watches the file and tells whether it changed; keep_posix.cpp gives the
// result what makes the file that file.
#ifndef QUADFLIP_INPLACE_POSIX_H
#define QUADFLIP_INPLACE_POSIX_H

#include <string>

#include <sys/stat.h>

// The run: the folder and the file's name in it; the file, locked, with
// its status once locked; what watches it for changes; the temporary
// file's name in the folder once it has one (an unnamed one has none until
// it is complete).
struct inplace_run {
    int folder = -1;
    std::string leaf;
    int file = -1;
    struct stat snapshot {
    };
    int watch = -1;
    std::string tmpleaf;
    const char *volatile tmpname = nullptr; // what a signal must remove
};

// Waits for an exclusive lock on the file at fd that serialises in-place
// runs, without waiting for ever on a lock that the run's caller holds.
void lock_file(int fd);

// A watch on the file at fd for any change made to it from now on: its
// data, its metadata, its name; -1 where the system has none.
int watch_file(int fd);

// Whether anything has happened to the file since its snapshot, or its
// name now holds another.
bool file_changed(const inplace_run &run);

// Gives the new file at fd the owner, group, ACL, extended attributes and
// mode of the run's file; whatever cannot be carried over ends the run.
void keep_metadata(const inplace_run &run, int fd);

#endif
