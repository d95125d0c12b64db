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
// its status once locked, and what holds this run's turn at it; what
// watches it for changes; the temporary file's name in the folder once it
// has one (an unnamed one has none until it is complete).
struct inplace_run {
    int folder = -1;
    std::string leaf;
    int file = -1;
    int turn = -1;
    struct stat snapshot {
    };
    int watch = -1;
    std::string tmpleaf;
    const char *volatile tmpname = nullptr; // what a signal must remove
};

// Waits for this run's turn at the file at fd, in the folder at folder,
// among in-place runs of it, and for the locks of other programs on it
// that the system lets it honour, without waiting for ever on a lock that
// the run's caller holds.  Returns what holds the turn, to be closed only
// if the run moves on to another file, or -1.  lock_linux.cpp and
// lock_posix.cpp.
int lock_file(int folder, int fd);

// Waits for an exclusive flock(2) lock on the folder open at folder, taken
// through a description of its own, and returns that, to be closed to
// release it; -1 where it cannot be had, or where it is held with no run
// at work in the folder.  In-place runs of files in that folder take turns
// at it where nothing finer serves.  turn_posix.cpp.
int folder_turn(int folder);

// Where the run has no watch, waits until the file's times could no longer
// be those of a change made now, then takes its snapshot again: on a file
// system with whole-second times, or with the kernel's coarse clock, a
// write in the same tick as the last one would leave every time as it was.
void settle(inplace_run &run);

// Whether anything has happened to the file since its snapshot, or its
// name now holds another.
bool file_changed(const inplace_run &run);

// Gives the new file at fd, while it is empty, the owner and group of the
// run's file and what must be set before its data; whatever cannot be
// carried over ends the run before anything is written.
void keep_early(const inplace_run &run, int fd);

// Gives the new file at fd, once its data is written, everything else of
// the run's file: ACL, extended attributes, mode, inode flags; whatever
// cannot be carried over ends the run.
void keep_metadata(const inplace_run &run, int fd);

#endif
