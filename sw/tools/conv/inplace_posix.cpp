// SPDX-License-Identifier: MIT
//
// Converting a file in place on POSIX systems.
//
// The path is resolved once (resolve_posix.cpp), to a descriptor of the
// folder that holds the file and the file's name in it.  Every later step
// goes through that descriptor: opening the file, the checks
// (guard_posix.cpp), the temporary file, its name and its putting in place
// (tempfile_posix.cpp), and the sync.  A folder on the path that is
// renamed, or replaced by a symbolic link, during the run changes nothing:
// the file converted is the one in the folder first opened.
//
// No run waits for another, nor for any lock: the result is put in the
// file's place by exchanging the two names where the system can, and what
// comes out must be the file as the run took it, or the exchange is undone
// and the run fails.  Of two runs at once, the one that comes second finds
// the file changed.
#include "fail.h"
#include "fd.h"
#include "flags.h"
#include "guard_posix.h"
#include "inplace.h"
#include "inplace_run_posix.h"
#include "keep_posix.h"
#include "resolve_posix.h"
#include "tempfile_posix.h"

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

// The one run of this process, and its temporary file; a signal handler
// and the failure exit reach them here.
inplace_run run;
tempfile temp;

// Removes the temporary file when a failure ends the run.
void remove_temp()
{
    tempfile_clear(temp);
}

// Removes the temporary file when a signal ends the run.
extern "C" void interrupted(int sig)
{
    tempfile_clear(temp);
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
    // An immutable or append-only file was refused by its read-write open.
    if (flags_fixed(run.folder)) {
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

// fsync(2), but where the system has it (macOS), F_FULLFSYNC, which puts
// the data on the disk itself rather than in the drive's cache; a file
// system that refuses it gets fsync.
int sync_file(int fd)
{
#ifdef F_FULLFSYNC
    if (fcntl(fd, F_FULLFSYNC) == 0)
        return 0;
#endif
    return fsync(fd);
}

// Puts the complete result in the file's place.  Where names can be
// exchanged, what comes out of the file's name must be the file as the run
// took it; elsewhere the file is looked at once more just before the
// rename.
void put_in_place()
{
    const tempfile_checks checks = {
        [](const char *out) { return guard_took_out(run, out); },
        [] { return !guard_changed(run); }};
    const tempfile_outcome got = tempfile_put(temp, run.leaf.c_str(), checks);
    if (got == tempfile_outcome::done)
        return;
    if (got == tempfile_outcome::stuck_old)
        fail_left_old(temp.name.c_str());
    if (got == tempfile_outcome::stuck_other)
        fail_left_other(temp.name.c_str());
    if (got == tempfile_outcome::changed)
        fail_changed();
    fail("rename");
}

} // namespace

std::FILE *inplace_open(const char *path)
{
    place p = resolve(path);
    if (p.dir.get() < 0 && p.detached)
        fail_because("open",
                     "the file can be reached only through an open descriptor");
    if (p.dir.get() < 0)
        fail("open");
    run.folder = p.dir.release(); // the run's until the process ends
    run.leaf = p.name;
    fd file(openat(run.folder, run.leaf.c_str(),
                   O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    run.file = file.get();
    if (run.file < 0 || fcntl(run.file, F_SETFL, 0) != 0 ||
        fstat(run.file, &run.snapshot) != 0)
        fail("open");
    guard_settle(run);
    if (!S_ISREG(run.snapshot.st_mode)) // no longer the file that was read
        fail_changed();
    refuse_early();
    std::FILE *in = fd_stream(file, "rb");
    if (!in)
        fail("open");
    return in;
}

std::FILE *inplace_temp()
{
    catch_signals();
    on_fail(remove_temp);
    fd file = tempfile_open(temp, run.folder);
    if (file.get() < 0)
        fail("open");
    keep_early(run, file.get());
    std::FILE *out = fd_stream(file, "wb");
    if (!out)
        fail("open");
    return out;
}

// The input stays open until the process ends.
void inplace_commit(std::FILE * /*in*/, std::FILE *out)
{
    const int file = fileno(out);
    if (std::fflush(out) != 0)
        fail("write");
    // A change is told as such, rather than as whatever it made fail.
    if (guard_changed(run))
        fail_changed();
    keep_metadata(run, file);
    if (sync_file(file) != 0)
        fail("write");
    if (guard_changed(run))
        fail_changed();
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
