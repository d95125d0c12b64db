// SPDX-License-Identifier: MIT
//
// Converting a file in place on POSIX systems.
//
// The path is resolved once, to a descriptor of the folder that holds the
// file and the file's name in it.  Every later step goes through that
// descriptor: opening the file, the checks, the temporary file, its name,
// the rename and the sync.  A folder on the path that is renamed, or
// replaced by a symbolic link, during the run changes nothing: the file
// converted is the one in the folder first opened.
#include "meta.h"
#include "os.h"
#include "quadflip.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#ifdef __linux__
#include <linux/capability.h>
#include <sys/inotify.h>
#include <sys/syscall.h>
#endif

namespace
{

// The run: the folder and the file's name in it; the file, locked, with its
// status once locked; what watches it for changes; the temporary file's
// name in the folder once it has one (an unnamed one has none until it is
// complete).
int dirfd = -1;
std::string leaf;
int lockfd = -1;
struct stat locked {
};
int watchfd = -1;
std::string tmpleaf;
const char *volatile tmpname; // what a signal must remove

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
place resolve(const char *path)
{
    std::string rest = path;
    int dir = -1;
    for (int hops = 0;; ++hops) {
        if (hops > 40) {
            errno = ELOOP;
            break;
        }
        // Every name but the last is a folder to enter.
        std::vector<std::string> names;
        for (std::size_t at = 0; at <= rest.size();) {
            std::size_t end = rest.find('/', at);
            if (end == std::string::npos)
                end = rest.size();
            if (end > at || end == rest.size())
                names.push_back(rest.substr(at, end - at));
            at = end + 1;
        }
        const std::string last = names.back();
        names.pop_back();
        // An absolute path starts at its first folder, opened by its whole
        // name: an emulator that maps a system root of its own over "/"
        // (qemu -L) maps that name as it does any other.
        const bool absolute = !rest.empty() && rest[0] == '/';
        if (dir < 0 || absolute) {
            if (dir >= 0)
                (void)close(dir);
            std::string first = ".";
            if (absolute) {
                first = names.empty() ? "/" : "/" + names.front();
                if (!names.empty())
                    names.erase(names.begin());
            }
            dir = open(first.c_str(), search_only | O_DIRECTORY | O_CLOEXEC);
            if (dir < 0)
                return {-1, {}};
        }
        for (const std::string &name : names) {
            int next = openat(dir, name.c_str(),
                              search_only | O_DIRECTORY | O_CLOEXEC);
            (void)close(dir);
            dir = next;
            if (dir < 0)
                return {-1, {}};
        }
        if (last.empty() || last == "." || last == "..") {
            errno = EISDIR; // a folder, not a file
            break;
        }
        struct stat st {
        };
        if (fstatat(dir, last.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            break;
        if (!S_ISLNK(st.st_mode)) {
            // The folder itself, open for reading, so that it can be synced.
            int real = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            (void)close(dir);
            return {real, real < 0 ? std::string() : last};
        }
        std::vector<char> to(static_cast<std::size_t>(st.st_size) + 2);
        ssize_t n = readlinkat(dir, last.c_str(), to.data(), to.size());
        if (n < 0)
            break;
        if (static_cast<std::size_t>(n) == to.size()) { // grew meanwhile
            errno = ELOOP;
            break;
        }
        rest.assign(to.data(), static_cast<std::size_t>(n));
    }
    const int err = errno;
    if (dir >= 0)
        (void)close(dir);
    errno = err;
    return {-1, {}};
}

extern "C" void interrupted(int sig)
{
    const char *name = tmpname;
    if (name)
        (void)unlinkat(dirfd, name, 0);
    (void)raise(sig); // the handler was reset: this ends the process
}

// Removes the temporary file when a signal would end the run, for every
// signal that ends a process by default and that the caller has not set
// to be ignored (as nohup does SIGHUP).
void catch_signals()
{
    std::vector<int> sigs = {SIGHUP,  SIGINT,  SIGQUIT,   SIGILL,  SIGTRAP,
                             SIGABRT, SIGBUS,  SIGFPE,    SIGUSR1, SIGSEGV,
                             SIGUSR2, SIGALRM, SIGTERM,   SIGXCPU, SIGVTALRM,
                             SIGPROF, SIGSYS,  SIGPIPE,   SIGXFSZ};
#ifdef SIGPOLL
    sigs.push_back(SIGPOLL);
#endif
#ifdef SIGPWR
    sigs.push_back(SIGPWR);
#endif
#ifdef SIGSTKFLT
    sigs.push_back(SIGSTKFLT);
#endif
#ifdef SIGRTMIN
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig)
        sigs.push_back(sig);
#endif
    struct sigaction sa {
    };
    sa.sa_handler = interrupted;
    sa.sa_flags = static_cast<int>(SA_RESETHAND);
    sigfillset(&sa.sa_mask);
    for (int sig : sigs) {
        struct sigaction old {
        };
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
            (void)sigaction(sig, &sa, nullptr);
    }
}

// Runs name_it with every signal held back, so that a signal sees the
// temporary file either without a name or with its name in tmpname.
template <class F> bool with_signals_held(F name_it)
{
    sigset_t all;
    sigset_t old;
    sigfillset(&all);
    (void)pthread_sigmask(SIG_BLOCK, &all, &old);
    bool ok = name_it();
    int err = errno;
    (void)pthread_sigmask(SIG_SETMASK, &old, nullptr);
    errno = err;
    return ok;
}

// Gives the temporary file a name in the folder: the next free one of
// .quadflip.PID.N, made by make(name), which returns whether it did.
template <class F> bool name_temp(F make)
{
    for (unsigned i = 0; i <= 1000; ++i) {
        tmpleaf = ".quadflip." + std::to_string(getpid()) + "." +
                  std::to_string(i);
        if (with_signals_held([&] {
                if (!make(tmpleaf.c_str()))
                    return false;
                tmpname = tmpleaf.c_str();
                return true;
            }))
            return true;
        if (errno != EEXIST)
            return false;
    }
    return false;
}

// The parent of the process pid, from /proc; 0 where it cannot be told.
pid_t parent_of(pid_t pid)
{
    std::FILE *f = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
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
bool is_caller(pid_t pid)
{
    pid_t p = getppid();
    for (int depth = 0; p > 1 && depth < 64; ++depth, p = parent_of(p))
        if (p == pid)
            return true;
    return false;
}

// Waits for an exclusive lock on the whole file that serialises in-place
// runs.  An open file description lock (Linux) does not conflict with
// flock(2), so a caller that wraps the run in flock(1) on the same file
// does not make it wait for ever.  It does conflict with a POSIX record
// lock (lockf, fcntl F_SETLK): one held by the run's own caller, which
// would wait for the run, is not waited for; one held by any other
// process is.  Elsewhere flock(2) serves.  Where the file system has no
// locks, the check before the rename still stands guard.
void lock(int fd)
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

// Watches the file for any change made to it from now on: its data, its
// metadata, its name.  Where the system has no such watch, or no room for
// one more, the comparison of its status still stands guard.
void watch(int fd)
{
#ifdef __linux__
    watchfd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    const std::string proc = "/proc/self/fd/" + std::to_string(fd);
    if (watchfd >= 0 &&
        inotify_add_watch(watchfd, proc.c_str(),
                          IN_MODIFY | IN_ATTRIB | IN_MOVE_SELF |
                              IN_DELETE_SELF | IN_UNMOUNT) < 0) {
        (void)close(watchfd);
        watchfd = -1;
    }
#else
    (void)fd;
#endif
}

bool same_time(const struct timespec &a, const struct timespec &b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Whether anything has happened to the file since it was locked: a change
// seen by the watch, or a status that differs, the change time included,
// which no program can set back; or whether its name now holds another.
bool changed()
{
    char events[4096];
    if (watchfd >= 0 && read(watchfd, events, sizeof events) != -1)
        return true; // an event, or a watch that went away
    if (watchfd >= 0 && errno != EAGAIN)
        return true;
    struct stat now {
    };
    struct stat named {
    };
    return fstat(lockfd, &now) != 0 || now.st_size != locked.st_size ||
           now.st_mode != locked.st_mode || now.st_uid != locked.st_uid ||
           now.st_gid != locked.st_gid ||
           !same_time(now.st_mtim, locked.st_mtim) ||
           !same_time(now.st_ctim, locked.st_ctim) ||
           fstatat(dirfd, leaf.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
           named.st_dev != locked.st_dev || named.st_ino != locked.st_ino;
}

// Whether this process may remove or rename another user's file in a
// sticky folder (CAP_FOWNER).
bool may_override_sticky()
{
#ifdef __linux__
    __user_cap_header_struct head{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct caps[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capget, &head, caps) == 0)
        return (caps[CAP_FOWNER / 32].effective >> (CAP_FOWNER % 32)) & 1;
#endif
    return geteuid() == 0;
}

// Refuses, before anything is written, a run whose rename could not
// succeed or whose result would not fit: the message says why.
void refuse_early()
{
    struct stat folder {
    };
    if (fstat(dirfd, &folder) != 0)
        fail("open");
    const uid_t me = geteuid();
    if ((folder.st_mode & S_ISVTX) && me != locked.st_uid &&
        me != folder.st_uid && !may_override_sticky()) {
        errno = EPERM;
        fail("rename");
    }
#if defined(STATX_ATTR_APPEND) && defined(STATX_ATTR_MOUNT_ROOT)
    struct statx sx {
    };
    if (statx(dirfd, "", AT_EMPTY_PATH, STATX_BASIC_STATS, &sx) == 0 &&
        (sx.stx_attributes & (STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE))) {
        errno = EPERM; // names can be neither added nor removed
        fail("rename");
    }
    if (statx(lockfd, "", AT_EMPTY_PATH, STATX_BASIC_STATS, &sx) == 0) {
        if (sx.stx_attributes & (STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE)) {
            errno = EPERM;
            fail("rename");
        }
        if (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) {
            errno = EBUSY; // another file is mounted on this name
            fail("rename");
        }
    }
#endif
    // The result takes what the file takes, holes staying holes.  A file
    // system that tells no sizes is taken at its word when it fills.
    struct statvfs vfs {
    };
    if (fstatvfs(dirfd, &vfs) == 0 && vfs.f_blocks != 0) {
        const auto room = static_cast<unsigned long long>(
                              me == 0 ? vfs.f_bfree : vfs.f_bavail) *
                          vfs.f_frsize;
        if (static_cast<unsigned long long>(locked.st_blocks) * 512 > room) {
            errno = ENOSPC;
            fail("write");
        }
    }
}

// A file with no name in the folder, where the system can make one (Linux):
// a run killed even by SIGKILL then leaves nothing behind.  It is named
// through /proc/self/fd once complete.  Returns -1 where that cannot be
// done.  QUADFLIP_NAMED_TEMP builds without it, so that the tests can try
// the named temporary file on any system.
int unnamed_temp()
{
#if defined(O_TMPFILE) && !defined(QUADFLIP_NAMED_TEMP)
    if (access("/proc/self/fd", X_OK) != 0)
        return -1;
    int fd = openat(dirfd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    // Kernels and file systems that lack O_TMPFILE refuse it with these.
    if (fd < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
        fail("open");
    return fd;
#else
    return -1;
#endif
}

// Whether a failed chmod says that the file system keeps no modes (FAT,
// exFAT, NTFS through FUSE), rather than that this runner may not.
bool keeps_no_modes(int err)
{
    return err == ENOSYS || err == EPERM || err == EOPNOTSUPP;
}

// Gives the new file at fd what makes the file that file: its owner and
// group, its ACL and extended attributes, and its mode.  It is done once
// the data is written, since a write clears the setuid and setgid bits and
// the file capabilities, and the owner before the mode, since a change of
// owner clears them too.  Whatever cannot be carried over ends the run,
// except an owner that this runner may not give away: the result is then
// the runner's, as any new file would be, with the file's group.
void keep_metadata(int fd)
{
    struct stat mine {
    };
    if (fstat(fd, &mine) != 0)
        fail("chown");
    if ((mine.st_uid != locked.st_uid || mine.st_gid != locked.st_gid) &&
        fchown(fd, locked.st_uid, locked.st_gid) != 0) {
        if (mine.st_gid != locked.st_gid &&
            fchown(fd, static_cast<uid_t>(-1), locked.st_gid) != 0)
            fail("chown");
        if (locked.st_mode & S_ISUID) { // it would run as another user
            errno = EPERM;
            fail("chown");
        }
    }
    if (!meta_copy(lockfd, fd))
        fail("chmod");
    const mode_t want = locked.st_mode & 07777;
    if (fchmod(fd, want) != 0) {
        if (!keeps_no_modes(errno))
            fail("chmod");
    } else if (fstat(fd, &mine) != 0 || (mine.st_mode & 07000) != (want & 07000)) {
        errno = EPERM; // a setuid or setgid bit was dropped
        fail("chmod");
    }
}

} // namespace

bool os_same_path(const char *a, const char *b)
{
    place pa = resolve(a);
    if (pa.dir < 0)
        return false;
    place pb = resolve(b);
    struct stat da {
    };
    struct stat db {
    };
    struct stat fa {
    };
    bool same = pb.dir >= 0 && pa.name == pb.name && fstat(pa.dir, &da) == 0 &&
                fstat(pb.dir, &db) == 0 && da.st_dev == db.st_dev &&
                da.st_ino == db.st_ino &&
                fstatat(pa.dir, pa.name.c_str(), &fa, AT_SYMLINK_NOFOLLOW) == 0;
    (void)close(pa.dir);
    if (pb.dir >= 0)
        (void)close(pb.dir);
    return same;
}

std::FILE *inplace_open(const char *path)
{
    place p = resolve(path);
    if (p.dir < 0)
        fail("open");
    dirfd = p.dir;
    leaf = p.name;

    // Another run may put its result over the file while this one waits for
    // the lock; then it is that result which is converted.
    for (;;) {
        int fd = openat(dirfd, leaf.c_str(),
                        O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0 || fcntl(fd, F_SETFL, 0) != 0)
            fail("open");
        lock(fd);
        struct stat now {
        };
        if (fstat(fd, &locked) != 0)
            fail("open");
        if (fstatat(dirfd, leaf.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
            now.st_dev == locked.st_dev && now.st_ino == locked.st_ino) {
            lockfd = fd;
            break;
        }
        (void)close(fd);
    }
    watch(lockfd);
    if (!S_ISREG(locked.st_mode)) // no longer the file that was read
        fail_because("rename", "the file was changed during the run");
    refuse_early();
    std::FILE *in = fdopen(lockfd, "rb");
    if (!in)
        fail("open");
    return in;
}

std::FILE *inplace_temp()
{
    catch_signals();
    int fd = unnamed_temp();
    if (fd < 0 && !name_temp([&](const char *name) {
            fd = openat(dirfd, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                        0600);
            return fd >= 0;
        }))
        fail("open");
    std::FILE *out = fdopen(fd, "wb");
    if (!out)
        fail("open");
    return out;
}

void inplace_commit(std::FILE *in, std::FILE *out)
{
    (void)in; // open, and locked, until the process ends
    int fd = fileno(out);
    if (std::fflush(out) != 0)
        fail("write");
    // A change is told as such, rather than as whatever it made fail.
    if (changed())
        fail_because("rename", "the file was changed during the run");
    keep_metadata(fd);
    if (fsync(fd) != 0)
        fail("write");
    if (changed())
        fail_because("rename", "the file was changed during the run");

    // An unnamed result gets its name only now, and the name goes over the
    // file at once: SIGKILL between the two system calls is all that can
    // leave it behind.
    if (!tmpname) {
        const std::string proc = "/proc/self/fd/" + std::to_string(fd);
        if (!name_temp([&](const char *name) {
                return linkat(AT_FDCWD, proc.c_str(), dirfd, name,
                              AT_SYMLINK_FOLLOW) == 0;
            }))
            fail("rename");
    }
    if (renameat(dirfd, tmpname, dirfd, leaf.c_str()) != 0)
        fail("rename");
    tmpname = nullptr;
    // The data is on the disk already, so a failing close is not expected;
    // it is told all the same.
    if (std::fclose(out) != 0)
        fail("write");
    // The new name is on the disk only once the folder is; a file system
    // that cannot sync a folder says EINVAL.
    if (fsync(dirfd) != 0 && errno != EINVAL)
        fail("fsync");
}

void inplace_abort()
{
    const char *name = tmpname;
    if (name)
        (void)unlinkat(dirfd, name, 0);
}
