// SPDX-License-Identifier: MIT
//
// POSIX systems: Linux, the BSDs and the like.
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
#include <unistd.h>

namespace
{

// The in-place run: the file's path and its descriptor, locked, with its
// status when the lock was taken; the folder that holds it; the temporary
// file, and its name once it has one (an unnamed one has none until it is
// complete).
std::string target;
int lockfd = -1;
struct stat locked {
};
std::string folder;
int dirfd = -1;
std::string tmppath;
const char *volatile tmpname; // what a signal must remove

extern "C" void interrupted(int sig)
{
    const char *name = tmpname;
    if (name)
        (void)unlink(name);
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

// Gives the complete unnamed temporary file at fd a name in the folder.
void name_temp(int fd)
{
    const std::string proc = "/proc/self/fd/" + std::to_string(fd);
    for (unsigned i = 0;; ++i) {
        tmppath = folder + ".quadflip." + std::to_string(getpid()) + "." +
                  std::to_string(i);
        bool ok = with_signals_held([&] {
            if (linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, tmppath.c_str(),
                       AT_SYMLINK_FOLLOW) != 0)
                return false;
            tmpname = tmppath.c_str();
            return true;
        });
        if (ok)
            return;
        if (errno != EEXIST || i == 1000)
            fail("rename");
    }
}

bool same_time(const struct timespec &a, const struct timespec &b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

} // namespace

void os_start()
{
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
            int null = open("/dev/null", O_RDONLY); // takes the number fd
            (void)null;
        }
    (void)std::signal(SIGPIPE, SIG_IGN);
    (void)std::signal(SIGXFSZ, SIG_IGN);
}

ssize_t os_read(int fd, unsigned char *p, std::size_t n)
{
    ssize_t got;
    do
        got = read(fd, p, n);
    while (got < 0 && errno == EINTR);
    return got;
}

ssize_t os_write(int fd, const unsigned char *p, std::size_t n)
{
    ssize_t put;
    do
        put = write(fd, p, n);
    while (put < 0 && errno == EINTR);
    return put;
}

fileinfo os_info(int fd)
{
    struct stat st {
    };
    if (fstat(fd, &st) != 0)
        return {filekind::other, -1, false};
    filekind kind = S_ISREG(st.st_mode)    ? filekind::regular
                    : S_ISDIR(st.st_mode)  ? filekind::directory
                    : S_ISFIFO(st.st_mode) ? filekind::fifo
                                           : filekind::other;
    return {kind, st.st_size,
            kind == filekind::regular && st.st_size > 0 &&
                st.st_blocks < st.st_size / 512};
}

bool os_same_file(int fd, const char *path)
{
    struct stat a {
    };
    struct stat b {
    };
    return fstat(fd, &a) == 0 && stat(path, &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

bool os_same_path(const char *a, const char *b)
{
    char *ra = realpath(a, nullptr);
    char *rb = realpath(b, nullptr);
    bool same = ra && rb && std::strcmp(ra, rb) == 0;
    std::free(ra);
    std::free(rb);
    return same;
}

bool os_find_data(int fd, std::int64_t pos, std::int64_t *data,
                  std::int64_t *hole)
{
#if defined(SEEK_DATA) && defined(SEEK_HOLE)
    off_t d = lseek(fd, pos, SEEK_DATA);
    if (d < 0 && errno == ENXIO) { // nothing but a hole to the end
        d = lseek(fd, 0, SEEK_END);
        if (d < 0)
            return false;
        *data = *hole = d;
        return true;
    }
    if (d < 0) {
        if (errno == EINVAL) // not supported here
            errno = 0;
        return false;
    }
    off_t h = lseek(fd, d, SEEK_HOLE);
    if (h < 0)
        return false;
    *data = d;
    *hole = h;
    return true;
#else
    (void)fd, (void)pos, (void)data, (void)hole;
    errno = 0;
    return false;
#endif
}

bool os_seek(int fd, std::int64_t pos)
{
    return lseek(fd, pos, SEEK_SET) >= 0;
}

bool os_truncate(int fd, std::int64_t length)
{
    int r;
    do
        r = ftruncate(fd, length);
    while (r != 0 && errno == EINTR);
    return r == 0;
}

std::FILE *inplace_open(const char *path)
{
    char *real = realpath(path, nullptr);
    if (!real)
        fail("open");
    target = real;
    std::free(real);
    folder = target.substr(0, target.rfind('/') + 1);

    // Another run may put its result over the file while this one waits for
    // the lock; then it is that result which is converted.
    for (;;) {
        int fd = open(target.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0)
            fail("open");
        // Where the file system has no locks, the check before the rename
        // still stands guard.
        while (flock(fd, LOCK_EX) != 0 && errno == EINTR) {
        }
        struct stat now {
        };
        if (fstat(fd, &locked) != 0)
            fail("open");
        if (stat(target.c_str(), &now) == 0 && now.st_dev == locked.st_dev &&
            now.st_ino == locked.st_ino) {
            lockfd = fd;
            break;
        }
        (void)close(fd);
    }
    std::FILE *in = fdopen(lockfd, "rb");
    if (!in)
        fail("open");
    return in;
}

std::FILE *inplace_temp()
{
    dirfd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirfd < 0)
        fail("open");
    catch_signals();
    int fd = unnamed_temp();
    if (fd < 0) {
        tmppath = folder + ".quadflip.XXXXXX";
        if (!with_signals_held([&] {
                fd = mkstemp(tmppath.data());
                if (fd < 0)
                    return false;
                tmpname = tmppath.c_str();
                return true;
            }))
            fail("open");
    }
    // Keeping the owner works only with the privilege to give files away;
    // without it the file stays the runner's, as any new file would.
    (void)!fchown(fd, locked.st_uid, locked.st_gid);
    if (fchmod(fd, locked.st_mode & 07777) != 0)
        fail("chmod");
    std::FILE *out = fdopen(fd, "wb");
    if (!out)
        fail("open");
    return out;
}

void inplace_commit(std::FILE *in, std::FILE *out)
{
    (void)in; // open, and locked, until the process ends
    int fd = fileno(out);
    if (std::fflush(out) != 0 || fsync(fd) != 0)
        fail("write");

    struct stat now {
    };
    struct stat file {
    };
    if (stat(target.c_str(), &now) != 0 || now.st_dev != locked.st_dev ||
        now.st_ino != locked.st_ino || fstat(lockfd, &file) != 0 ||
        file.st_size != locked.st_size ||
        !same_time(file.st_mtim, locked.st_mtim))
        fail_because("rename", "the file was changed during the run");

    // An unnamed result gets its name only now, and the name goes over the
    // file at once: SIGKILL between the two system calls is all that can
    // leave it behind.
    if (!tmpname)
        name_temp(fd);
    if (std::rename(tmpname, target.c_str()) != 0)
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
        (void)unlink(name);
}
