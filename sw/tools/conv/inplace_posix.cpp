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
//
// No run waits for another, nor for any lock: the result is put in the
// file's place by exchanging the two names where the system can, and what
// comes out must be the file as the run took it, or the exchange is undone
// and the run fails.  Of two runs at once, the one that comes second finds
// the file changed.
#include "inplace_posix.h"
#include "fail.h"
#include "flags.h"
#include "inplace.h"
#include "inplace_shared.h"
#include "posix.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#if defined(__linux__) && !defined(QUADFLIP_PORTABLE)
#include <linux/capability.h>
#include <sys/syscall.h>
#endif

namespace
{

// The one run of this process; a signal handler and the failure exit reach
// it here.
inplace_run run;

// Removes the temporary file, if it has a name; safe in a signal handler.
void remove_temp()
{
    const char *name = run.tmpname;
    if (name)
        (void)unlinkat(run.folder, name, 0);
}

extern "C" void interrupted(int sig)
{
    remove_temp();
    (void)raise(sig); // the handler was reset: this ends the process
}

// Removes the temporary file when a signal would end the run, for every
// signal that ends a process by default and that the caller has not set
// to be ignored (as nohup does SIGHUP).  SIGPIPE and SIGXFSZ are not among
// them: os_start ignores them, so that they come as failed writes.
void catch_signals()
{
    std::vector<int> sigs = {SIGHUP,  SIGINT,  SIGQUIT, SIGILL,  SIGTRAP,
                             SIGABRT, SIGBUS,  SIGFPE,  SIGUSR1, SIGSEGV,
                             SIGUSR2, SIGALRM, SIGTERM, SIGXCPU, SIGVTALRM,
                             SIGPROF, SIGSYS};
#ifdef SIGPOLL
    sigs.push_back(SIGPOLL);
#endif
#ifdef SIGPWR
    sigs.push_back(SIGPWR);
#endif
#ifdef SIGSTKFLT
    sigs.push_back(SIGSTKFLT);
#endif
#ifdef SIGEMT
    sigs.push_back(SIGEMT);
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

// Gives the temporary file a name in the folder, made by make(name), which
// returns whether it did.
template <class F> bool name_temp(F make)
{
    return make_temp([&](const std::string &name) {
        return with_signals_held([&] {
            if (!make(name.c_str()))
                return false;
            run.tmpleaf = name;
            run.tmpname = run.tmpleaf.c_str();
            return true;
        });
    });
}

// Whether this process may remove or rename another user's file in a
// sticky folder (CAP_FOWNER).
bool may_override_sticky()
{
#if defined(__linux__) && !defined(QUADFLIP_PORTABLE)
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
    if (fstat(run.folder, &folder) != 0)
        fail("open");
    const uid_t me = geteuid();
    if ((folder.st_mode & S_ISVTX) && me != run.snapshot.st_uid &&
        me != folder.st_uid && !may_override_sticky()) {
        errno = EPERM;
        fail("rename");
    }
    if (flags_fixed(run.folder) || flags_fixed(run.file)) {
        errno = EPERM; // names can be neither added nor removed
        fail("rename");
    }
    // Another file mounted on the name; where the system cannot tell, one
    // of another file system.
    int mounted = flags_mount_root(run.file);
    if (mounted < 0)
        mounted = folder.st_dev != run.snapshot.st_dev;
    if (mounted) {
        errno = EBUSY;
        fail("rename");
    }
    // The result takes what the file takes, holes staying holes.  A file
    // system that tells no sizes is taken at its word when it fills.
    struct statvfs vfs {
    };
    if (fstatvfs(run.folder, &vfs) == 0 && vfs.f_blocks != 0) {
        const auto room = static_cast<unsigned long long>(
                              me == 0 ? vfs.f_bfree : vfs.f_bavail) *
                          vfs.f_frsize;
        if (static_cast<unsigned long long>(run.snapshot.st_blocks) * 512 >
            room) {
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
#if defined(O_TMPFILE) && !defined(QUADFLIP_NAMED_TEMP) &&                     \
    !defined(QUADFLIP_PORTABLE)
    if (access("/proc/self/fd", X_OK) != 0)
        return -1;
    int fd = openat(run.folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    // Kernels and file systems that lack O_TMPFILE refuse it with these.
    if (fd < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
        fail("open");
    return fd;
#else
    return -1;
#endif
}

// Whether err says that the system or the file system cannot exchange two
// names (ENOTSUP and EOPNOTSUPP are one number on some systems).
bool no_exchange(int err)
{
    if (err == EOPNOTSUPP)
        return true;
    return err == EINVAL || err == ENOSYS || err == ENOTSUP;
}

// Puts the complete result, named run.tmpname, in the file's place, with
// every signal held back so that none can remove what the exchange took
// out.  Where the system can exchange two names, it does, and the file
// must come out as the run took it: anything else (another run's result,
// a new file, the file written meanwhile) is put back, and the run fails.
// Elsewhere the result is renamed over the file, just after a last look.
void put_in_place()
{
    const char *tmp = run.tmpname;
    const char *leaf = run.leaf.c_str();
    // What went wrong, if anything: the file was changed (changed), or
    // the old file could not be removed (kept); and whether what came out
    // could not be put back either, so that it stays under the temporary
    // name (stuck), where it must not be removed as the result would be.
    bool changed = false;
    bool kept = false;
    bool stuck = false;
    const bool ok = with_signals_held([&] {
        if (swap_names(run.folder, tmp, leaf) == 0) {
            changed = !took_out_the_file(run, tmp);
            // The file, as it was, under the temporary name: removed, the
            // run is done.
            if (!changed && unlinkat(run.folder, tmp, 0) == 0) {
                run.tmpname = nullptr;
                return true;
            }
            kept = !changed;
            const int err = errno;
            stuck = swap_names(run.folder, tmp, leaf) != 0;
            if (stuck)
                run.tmpname = nullptr;
            errno = err;
            return false;
        }
        if (errno == ENOENT) { // a name went meanwhile
            changed = true;
            return false;
        }
        if (!no_exchange(errno))
            return false;
        if (file_changed(run)) { // no exchange here: a last look
            changed = true;
            return false;
        }
        if (renameat(run.folder, tmp, run.folder, leaf) != 0)
            return false;
        run.tmpname = nullptr;
        return true;
    });
    if (ok)
        return;
    if (stuck) {
        const std::string why =
            (kept ? "the file was converted, but its old data could not be "
                    "removed: it is "
                  : "the file was changed during the run, and what was put "
                    "in its place is now ") +
            run.tmpleaf;
        fail_because("rename", why.c_str());
    }
    if (changed)
        fail_changed();
    fail("rename");
}

} // namespace

std::FILE *inplace_open(const char *path)
{
    place p = resolve(path);
    if (p.dir < 0 && p.detached)
        fail_because("open",
                     "the file can be reached only through an open descriptor");
    if (p.dir < 0)
        fail("open");
    run.folder = p.dir;
    run.leaf = p.name;
    run.file = openat(run.folder, run.leaf.c_str(),
                      O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (run.file < 0 || fcntl(run.file, F_SETFL, 0) != 0 ||
        fstat(run.file, &run.snapshot) != 0)
        fail("open");
    settle(run);
    if (!S_ISREG(run.snapshot.st_mode)) // no longer the file that was read
        fail_changed();
    refuse_early();
    std::FILE *in = fdopen(run.file, "rb");
    if (!in)
        fail("open");
    return in;
}

std::FILE *inplace_temp()
{
    catch_signals();
    on_fail(remove_temp);
    int fd = unnamed_temp();
    if (fd < 0 && !name_temp([&](const char *name) {
            fd = openat(run.folder, name,
                        O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            return fd >= 0;
        }))
        fail("open");
    keep_early(run, fd);
    std::FILE *out = fdopen(fd, "wb");
    if (!out)
        fail("open");
    return out;
}

// The input stays open until the process ends.
void inplace_commit(std::FILE * /*in*/, std::FILE *out)
{
    int fd = fileno(out);
    if (std::fflush(out) != 0)
        fail("write");
    // A change is told as such, rather than as whatever it made fail.
    if (file_changed(run))
        fail_changed();
    keep_metadata(run, fd);
    if (sync_file(fd) != 0)
        fail("write");
    if (file_changed(run))
        fail_changed();

    // An unnamed result gets its name only now, and goes in the file's
    // place at once: SIGKILL between those steps is all that can leave it
    // behind.
    if (!run.tmpname) {
        const std::string proc = "/proc/self/fd/" + std::to_string(fd);
        if (!name_temp([&](const char *name) {
                return linkat(AT_FDCWD, proc.c_str(), run.folder, name,
                              AT_SYMLINK_FOLLOW) == 0;
            }))
            fail("rename");
    }
    put_in_place();
    // The data is on the disk already, so a failing close is not expected;
    // it is told all the same.
    if (std::fclose(out) != 0)
        fail("write");
    // The new name is on the disk only once the folder is; a file system
    // that cannot sync a folder says EINVAL.
    if (sync_file(run.folder) != 0 && errno != EINVAL)
        fail("fsync");
}
