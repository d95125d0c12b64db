// SPDX-License-Identifier: MIT
//
// What the POSIX files share: finding a file's folder one name at a time,
// and telling whether two looks saw one file.
#ifndef QUADFLIP_POSIX_H
#define QUADFLIP_POSIX_H

#include <string>

#include <fcntl.h>
#include <sys/stat.h>

#ifdef O_PATH
constexpr int search_only = O_PATH; // needs no read permission on a folder
#else
constexpr int search_only = O_RDONLY;
#endif

// A folder, and the name in it that a path leads to.
struct place {
    int dir;
    std::string name;
};

// Resolves path as realpath does, symbolic links followed, but one name at
// a time from the current folder, so that the whole path need not fit in
// PATH_MAX.  Returns the folder that holds the last name, open for reading,
// or a dir of -1 with errno set.
place resolve(const char *path);

// Whether a and b are the status of one file: the same device and inode.
inline bool same_file(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

#endif
