// SPDX-License-Identifier: MIT
//
// What the POSIX files share: finding a file's folder one name at a time,
// telling whether two looks saw one file, the file's times, syncing, and
// exchanging two names.
#ifndef QUADFLIP_POSIX_H
#define QUADFLIP_POSIX_H

#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

// The portable build (QUADFLIP_PORTABLE) leaves out every interface that
// only Linux has, so that the paths of the other POSIX systems can be
// tried on Linux; the feature tests below and in the other POSIX files
// name it beside the feature.
#if defined(O_PATH) && !defined(QUADFLIP_PORTABLE)
constexpr int search_only = O_PATH; // needs no read permission on a folder
#else
constexpr int search_only = O_RDONLY;
#endif

// A file's last modification and last change, whatever the system calls
// the fields.
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

// A folder, and the name in it that a path leads to.
struct place {
    int dir;
    std::string name;
    bool detached; // a link's text leads elsewhere than the link itself
};

// Resolves path as realpath does, symbolic links followed, but one name at
// a time from the current folder, so that the whole path need not fit in
// PATH_MAX.  Returns the folder that holds the last name, open for reading,
// or a dir of -1 with errno set.  A link whose text leads to another file
// than the system itself follows it to (a descriptor's link in /proc, whose
// file may have no name at all) gives a dir of -1 and detached set: no
// name is ever built from what such a link reads as.
place resolve(const char *path);

// fsync(2), but where the system has it (macOS), F_FULLFSYNC, which puts
// the data on the disk itself rather than in the drive's cache; a file
// system that refuses it gets fsync.
int sync_file(int fd);

// Exchanges the names a and b in the folder dir, atomically, where the
// system and the file system can (renameat2 with RENAME_EXCHANGE on Linux,
// renameatx_np with RENAME_SWAP on macOS); -1 with errno EINVAL, ENOSYS,
// ENOTSUP or EOPNOTSUPP where they cannot.
int swap_names(int dir, const char *a, const char *b);

// Whether a and b are the status of one file: the same device and inode.
inline bool same_file(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

#endif
