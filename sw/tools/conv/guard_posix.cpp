// SPDX-License-Identifier: MIT
//
// What keeps an in-place run from losing another program's work on POSIX
// systems: the lock that serialises runs of one file, the watch that sees
// any change made to it, and the comparison of its status before the
// rename.
#include "inplace_posix.h"
#include "posix.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#ifdef __linux__
#include <sys/inotify.h>
#endif

namespace
{

// The parent of the process pid, from /proc; 0 where it cannot be told.
pid_t parent_of(pid_t pid)
{
    std::FILE *f =
        std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
    if (!f)
        return 0;
    char line[1024];
    const bool got = std::fgets(line, sizeof line, f) != nullptr;
    (void)std::fclose(f);
    // "pid (name) S ppid ...": the name may hold spaces and parentheses.
    const char *close = got ? std::strrchr(line, ')') : nullptr;
    if (!close || std::strlen(close) < 5)
        return 0;
    char *end = nullptr;
    const long parent = std::strtol(close + 4, &end, 10);
    return end != close + 4 && *end == ' ' ? static_cast<pid_t>(parent) : 0;
}

// Whether pid is this run's caller, or the caller's caller, and so on.
[[maybe_unused]] bool is_caller(pid_t pid)
{
    pid_t p = getppid();
    for (int depth = 0; p > 1 && depth < 64; ++depth, p = parent_of(p))
        if (p == pid)
            return true;
    return false;
}

bool same_time(const struct timespec &a, const struct timespec &b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

} // namespace

// An open file description lock (Linux) does not conflict with flock(2),
// so a caller that wraps the run in flock(1) on the same file does not
// make it wait for ever.  It does conflict with a POSIX record lock (lockf,
// fcntl F_SETLK): one held by the run's own caller, which would wait for
// the run, is not waited for; one held by any other process is.
// Elsewhere flock(2) serves.  Where the file system has no locks, the
// check before the rename still stands guard.
void lock_file(int fd)
{
#ifdef F_OFD_SETLKW
    for (;;) {
        struct flock whole {
        };
        whole.l_type = F_WRLCK;
        whole.l_whence = SEEK_SET;
        if (fcntl(fd, F_OFD_SETLK, &whole) == 0)
            return;
        if (errno == EINVAL) // a kernel without them
            break;
        if (errno != EAGAIN && errno != EACCES && errno != EINTR)
            return; // no locks on this file system
        struct flock holder = whole;
        if (fcntl(fd, F_OFD_GETLK, &holder) == 0 && holder.l_type != F_UNLCK &&
            holder.l_pid > 0 && is_caller(holder.l_pid))
            return;
        if (fcntl(fd, F_OFD_SETLKW, &whole) == 0 || errno != EINTR)
            return;
    }
#endif
    while (flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
}

// Where the system has no such watch, or no room for one more, the
// comparison of the file's status still stands guard.
int watch_file(int fd)
{
#ifdef __linux__
    int w = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    const std::string proc = "/proc/self/fd/" + std::to_string(fd);
    if (w >= 0 && inotify_add_watch(w, proc.c_str(),
                                    IN_MODIFY | IN_ATTRIB | IN_MOVE_SELF |
                                        IN_DELETE_SELF | IN_UNMOUNT) < 0) {
        (void)close(w);
        w = -1;
    }
    return w;
#else
    (void)fd;
    return -1;
#endif
}

// A change seen by the watch, or a status that differs, the change time
// included, which no program can set back.
bool file_changed(const inplace_run &run)
{
    char events[4096];
    if (run.watch >= 0 && read(run.watch, events, sizeof events) != -1)
        return true; // an event, or a watch that went away
    if (run.watch >= 0 && errno != EAGAIN)
        return true;
    const struct stat &was = run.snapshot;
    struct stat now {
    };
    struct stat named {
    };
    return fstat(run.file, &now) != 0 || now.st_size != was.st_size ||
           now.st_mode != was.st_mode || now.st_uid != was.st_uid ||
           now.st_gid != was.st_gid || !same_time(now.st_mtim, was.st_mtim) ||
           !same_time(now.st_ctim, was.st_ctim) ||
           fstatat(run.folder, run.leaf.c_str(), &named, AT_SYMLINK_NOFOLLOW) !=
               0 ||
           !same_file(named, was);
}
