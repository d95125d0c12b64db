// SPDX-License-Identifier: MIT
//
// What tells an in-place run on POSIX systems that another program changed
// the file meanwhile: the file's snapshot, taken once its times would show
// a change made now; the comparison of its status with that before the
// result is put in its place; and of what came out of its name after.
#include "guard_posix.h"
#include "stat_posix.h"

#include <cerrno>
#include <ctime>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

bool same_time(const struct timespec &a, const struct timespec &b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

long long nanoseconds(const struct timespec &t)
{
    return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

// The clock that stamps files: on Linux the kernel's coarse clock, which
// runs up to a tick of its own behind the precise one.
timespec file_clock()
{
    timespec now{};
#ifdef CLOCK_REALTIME_COARSE
    if (clock_gettime(CLOCK_REALTIME_COARSE, &now) == 0)
        return now;
#endif
    (void)clock_gettime(CLOCK_REALTIME, &now);
    return now;
}

} // namespace

// The file's times step by a tick: whole seconds on some file systems,
// two on FAT (whose times are even), and the kernel's coarse clock, a few
// milliseconds, on the others.  A modification time set into the future
// is not waited for; the change time cannot be set.
void guard_settle(inplace_run &run)
{
    const struct stat &st = run.snapshot;
    const bool whole = modified(st).tv_nsec == 0 && changed(st).tv_nsec == 0;
    // The tick of the file's times, and one of the clock's for good measure.
    const long long tick = (!whole                        ? 0LL
                            : changed(st).tv_sec % 2 != 0 ? 1000000000LL
                                                          : 2000000000LL) +
                           20000000LL;
    timespec now = file_clock();
    long long last = nanoseconds(changed(st));
    const long long mtime = nanoseconds(modified(st));
    if (mtime > last && mtime <= nanoseconds(now))
        last = mtime;
    // A change time ahead of this clock, as a server's may be, is waited
    // for one tick at most.
    const long long until =
        last < nanoseconds(now) ? last + tick : nanoseconds(now) + tick;
    for (int naps = 0; nanoseconds(now) < until && naps < 100; ++naps) {
        const long long left = until - nanoseconds(now);
        const timespec nap{
            0, static_cast<long>(left < 50000000LL ? left : 50000000LL)};
        (void)nanosleep(&nap, nullptr);
        now = file_clock();
    }
    if (fstat(run.file, &run.snapshot) != 0)
        run.snapshot.st_ino = 0; // told as a change before the rename
}

namespace
{

// Whether the file's status now differs from was in anything a change to
// its data, its mode or its owner moves.
bool differs(const struct stat &now, const struct stat &was)
{
    return !same_file(now, was) || now.st_size != was.st_size ||
           now.st_mode != was.st_mode || now.st_uid != was.st_uid ||
           now.st_gid != was.st_gid || !same_time(modified(now), modified(was));
}

} // namespace

// A status that differs, the change time included, which no program can
// set back; or a name that no longer holds the file.
bool guard_changed(const inplace_run &run)
{
    const struct stat &was = run.snapshot;
    struct stat now {
    };
    struct stat named {
    };
    return fstat(run.file, &now) != 0 || differs(now, was) ||
           !same_time(changed(now), changed(was)) ||
           fstatat(run.folder, run.leaf.c_str(), &named, AT_SYMLINK_NOFOLLOW) !=
               0 ||
           !same_file(named, was);
}

bool guard_took_out(const inplace_run &run, const char *out)
{
    struct stat now {
    };
    struct stat named {
    };
    return fstat(run.file, &now) == 0 && !differs(now, run.snapshot) &&
           fstatat(run.folder, out, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
           same_file(named, run.snapshot);
}
