// SPDX-License-Identifier: MIT
//
// What a file's status (stat(2)) says of its identity and its times,
// whatever the system calls the fields.
#ifndef QUADFLIP_STAT_POSIX_H
#define QUADFLIP_STAT_POSIX_H

#include <sys/stat.h>

// A file's last modification and last change.
#ifdef __APPLE__
inline const struct timespec &modified(const struct stat &st)
{
    return st.st_mtimespec;
}
inline const struct timespec &changed(const struct stat &st)
{
    return st.st_ctimespec;
}
#else
inline const struct timespec &modified(const struct stat &st)
{
    return st.st_mtim;
}
inline const struct timespec &changed(const struct stat &st)
{
    return st.st_ctim;
}
#endif

// Whether a and b are the status of one file: the same device and inode.
inline bool same_file(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

#endif
