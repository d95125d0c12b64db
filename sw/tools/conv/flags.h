// SPDX-License-Identifier: MIT
//
// A file's inode flags and project, as chattr and xfs_io show them: no
// copy-on-write, no dump, no access times, synchronous writes and the like,
// and the project its blocks count against; on the BSD family, the file
// flags of chflags(1).  flags_linux.cpp, flags_bsd.cpp (macOS and the
// BSDs), and flags_none.cpp for the portable build and the systems that
// have none.
#ifndef QUADFLIP_FLAGS_H
#define QUADFLIP_FLAGS_H

// Gives the empty file at to what must be set before any data, as the
// file at from has it: the no-copy-on-write flag, DAX, the extent size
// hint, and the project.  Returns false, with errno set, if it cannot.
bool flags_prepare(int from, int to);

// Gives the file at to the inode flags of the file at from that a user
// may set, once its data is written.  Returns false, with errno set, if
// any of them cannot be set.
bool flags_copy(int from, int to);

// Whether the folder at fd is immutable or append-only: names can be
// neither added nor removed there.  False where that cannot be told.
bool flags_fixed(int fd);

// Whether the file at fd is the root of a mount: 1 or 0, or -1 where the
// system cannot tell (the caller then compares devices).
int flags_mount_root(int fd);

#endif
