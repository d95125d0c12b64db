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

#include <cstddef>
#include <ctime>
#include <fstream>
#include <sstream>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
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

// Whether the process pid holds a lock on the file st through any of its
// descriptors, as /proc/PID/fdinfo lists them ("lock: 1: OFDLCK ADVISORY
// WRITE -1 MAJ:MIN:INODE 0 EOF"): the only way to tell who holds an open
// file description lock.
bool holds_lock(pid_t pid, const struct stat &st)
{
    const std::string dir = "/proc/" + std::to_string(pid) + "/fdinfo";
    DIR *d = opendir(dir.c_str());
    if (!d)
        return false;
    bool found = false;
    while (const dirent *e = readdir(d)) {
        std::ifstream info(dir + "/" + e->d_name);
        for (std::string line; !found && std::getline(info, line);) {
            // flock(2) locks do not conflict with the run's.
            if (line.compare(0, 5, "lock:") != 0 ||
                line.find("FLOCK") != std::string::npos)
                continue;
            std::istringstream words(line);
            for (std::string w; !found && words >> w;) {
                unsigned major = 0;
                unsigned minor = 0;
                unsigned long long ino = 0;
                char tail = 0;
                if (std::sscanf(w.c_str(), "%x:%x:%llu%c", &major, &minor, &ino,
                                &tail) == 3)
                    found = ino == st.st_ino && major == major(st.st_dev) &&
                            minor == minor(st.st_dev);
            }
        }
        if (found)
            break;
    }
    (void)closedir(d);
    return found;
}

// Whether a lock on the file st, held by the process holder where that
// can be told (0 where not), is held by this run's caller, or the
// caller's caller, and so on: a lock that would be released only once the
// run has ended, and must not be waited for.
bool held_by_caller(const struct stat &st, pid_t holder)
{
    pid_t p = getppid();
    for (int depth = 0; p > 1 && depth < 64; ++depth, p = parent_of(p))
        if (p == holder || holds_lock(p, st))
            return true;
    return false;
}

// Waits for this run's turn at the file st among all runs of it, and
// returns what holds that turn until the process ends: a socket bound to
// a name of the file's own in the abstract namespace, which only a run
// can hold, whatever locks the run's caller holds on the file.  -1 where
// the system has no such names.
int take_turn(const struct stat &st)
{
#ifdef __linux__
    const std::string name = "quadflip/" + std::to_string(st.st_dev) + "/" +
                             std::to_string(st.st_ino);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path + 1, name.data(), name.size());
    const auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) +
                                            1 + name.size());
    const int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -1;
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast)
    while (bind(s, reinterpret_cast<const sockaddr *>(&addr), len) != 0) {
        if (errno != EADDRINUSE && errno != EINTR) {
            (void)close(s);
            return -1;
        }
        const timespec pause{0, 5000000};
        (void)nanosleep(&pause, nullptr);
    }
    return s;
#else
    (void)st;
    return -1;
#endif
}

bool same_time(const struct timespec &a, const struct timespec &b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

long long nanoseconds(const struct timespec &t)
{
    return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

} // namespace

// Runs of one file take turns.  Beside that, an open file description lock
// (Linux) on the whole file makes the run wait for any other program that
// holds a POSIX record lock (lockf, fcntl F_SETLK) or an open file
// description lock on it, but not for one that the run's own caller holds,
// which would wait for the run; and it does not conflict with flock(2), so
// a caller that wraps the run in flock(1) on the same file does not make
// it wait for ever.  Elsewhere flock(2) serves.  Where the file system has
// no locks, the check before the rename still stands guard.
int lock_file(int fd)
{
    struct stat st {
    };
    if (fstat(fd, &st) != 0)
        return -1;
    const int turn = take_turn(st);
#ifdef F_OFD_SETLKW
    for (;;) {
        struct flock whole {
        };
        whole.l_type = F_WRLCK;
        whole.l_whence = SEEK_SET;
        if (fcntl(fd, F_OFD_SETLK, &whole) == 0)
            return turn;
        if (errno == EINVAL) // a kernel without them
            break;
        if (errno != EAGAIN && errno != EACCES && errno != EINTR)
            return turn; // no locks on this file system
        struct flock holder = whole;
        if (fcntl(fd, F_OFD_GETLK, &holder) == 0 && holder.l_type != F_UNLCK &&
            held_by_caller(st, holder.l_pid > 0 ? holder.l_pid : 0))
            return turn;
        if (fcntl(fd, F_OFD_SETLKW, &whole) == 0 || errno != EINTR)
            return turn;
    }
#endif
    while (flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    return turn;
}

// Where the system has no such watch, or no room for one more, the
// comparison of the file's status still stands guard.
int watch_file(int fd)
{
#if defined(__linux__) && !defined(QUADFLIP_NO_WATCH)
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

// The file's times step by a tick: whole seconds on some file systems,
// two on FAT (whose times are even), and the kernel's coarse clock, a few
// milliseconds, on the others.  A modification time set into the future
// is not waited for; the change time cannot be set.
void settle(inplace_run &run)
{
    if (run.watch >= 0)
        return;
    const struct stat &st = run.snapshot;
    const bool whole = st.st_mtim.tv_nsec == 0 && st.st_ctim.tv_nsec == 0;
    const long long tick = !whole                       ? 20000000LL
                           : st.st_ctim.tv_sec % 2 != 0 ? 1000000000LL
                                                        : 2000000000LL;
    timespec now{};
    (void)clock_gettime(CLOCK_REALTIME, &now);
    long long last = nanoseconds(st.st_ctim);
    const long long modified = nanoseconds(st.st_mtim);
    if (modified > last && modified <= nanoseconds(now))
        last = modified;
    const long long until = last + tick;
    for (int naps = 0; nanoseconds(now) < until && naps < 100; ++naps) {
        const long long left = until - nanoseconds(now);
        const timespec nap{
            0, static_cast<long>(left < 50000000LL ? left : 50000000LL)};
        (void)nanosleep(&nap, nullptr);
        (void)clock_gettime(CLOCK_REALTIME, &now);
    }
    if (fstat(run.file, &run.snapshot) != 0)
        run.snapshot.st_ino = 0; // told as a change before the rename
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
