// SPDX-License-Identifier: MIT
//
// The temporary file that takes a file's place, on POSIX systems: made
// with O_TMPFILE or under a random name, named through /proc/self/fd once
// complete, and put in place by an exchange of two names or by a rename.
// Whenever it gets or loses a name, every signal is held back, so that a
// signal finds it either without a name or with its name in named.
#include "tempfile_posix.h"
#include "tempname.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#if defined(__linux__) && !defined(QUADFLIP_PORTABLE)
#include <sys/syscall.h>
#endif

namespace
{

// Runs name_it with every signal held back.
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

// Gives t a name in its folder, made by make(name), which returns whether
// it did.
template <class F> bool name_it(tempfile &t, F make)
{
    return tempname_try([&](const std::string &name) {
        return with_signals_held([&] {
            if (!make(name.c_str()))
                return false;
            t.name = name;
            t.named = t.name.c_str();
            return true;
        });
    });
}

// A file with no name in folder, where the system can make one (Linux):
// a run killed even by SIGKILL then leaves nothing behind.  *none is set
// where that cannot be done here.  QUADFLIP_NAMED_TEMP builds without it,
// so that the tests can try the named temporary file on any system.
fd unnamed(int folder, bool *none)
{
#if defined(O_TMPFILE) && !defined(QUADFLIP_NAMED_TEMP) &&                     \
    !defined(QUADFLIP_PORTABLE)
    *none = access("/proc/self/fd", X_OK) != 0;
    if (*none)
        return fd();
    fd file(openat(folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
    // Kernels and file systems that lack O_TMPFILE refuse it with these.
    *none = file.get() < 0 &&
            (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL);
    return file;
#else
    (void)folder;
    *none = true;
    return fd();
#endif
}

// Exchanges the names a and b in the folder dir, atomically, where the
// system and the file system can (renameat2 with RENAME_EXCHANGE on Linux,
// renameatx_np with RENAME_SWAP on macOS); -1 with errno EINVAL, ENOSYS,
// ENOTSUP or EOPNOTSUPP where they cannot.
int swap_names(int dir, const char *a, const char *b)
{
#if defined(__linux__) && defined(SYS_renameat2) && !defined(QUADFLIP_PORTABLE)
    const unsigned int exchange = 1U << 1; // RENAME_EXCHANGE
    return static_cast<int>(syscall(SYS_renameat2, dir, a, dir, b, exchange));
#elif defined(RENAME_SWAP)
    return renameatx_np(dir, a, dir, b, RENAME_SWAP);
#else
    (void)dir, (void)a, (void)b;
    errno = ENOSYS;
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

} // namespace

fd tempfile_open(tempfile &t, int folder)
{
    t.folder = folder;
    bool none = false;
    fd file = unnamed(folder, &none);
    if (none && !name_it(t, [&](const char *name) {
            file = fd(openat(folder, name,
                             O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
            return file.get() >= 0;
        }))
        return fd();
    t.file = file.get();
    return file;
}

tempfile_outcome tempfile_put(tempfile &t, const char *leaf,
                              const tempfile_checks &checks)
{
    // A file without a name gets it only now, and goes in its place at
    // once: SIGKILL between those steps is all that can leave it behind.
    if (!t.named) {
        const std::string proc = "/proc/self/fd/" + std::to_string(t.file);
        if (!name_it(t, [&](const char *name) {
                return linkat(AT_FDCWD, proc.c_str(), t.folder, name,
                              AT_SYMLINK_FOLLOW) == 0;
            }))
            return tempfile_outcome::failed;
    }
    const char *tmp = t.named;
    // What went wrong, if anything: leaf held another file (changed), or
    // else the caller's file that came out could not be removed; and
    // whether what came out could not be put back either, so that it stays
    // under t's name (stuck), where it must not be removed as t would be.
    bool changed = false;
    bool stuck = false;
    const bool ok = with_signals_held([&] {
        if (swap_names(t.folder, tmp, leaf) == 0) {
            changed = !checks.took_out(tmp);
            // The caller's file, under t's name: removed, t is in place.
            if (!changed && unlinkat(t.folder, tmp, 0) == 0) {
                t.named = nullptr;
                return true;
            }
            const int err = errno;
            stuck = swap_names(t.folder, tmp, leaf) != 0;
            if (stuck)
                t.named = nullptr;
            errno = err;
            return false;
        }
        if (errno == ENOENT) { // a name went meanwhile
            changed = true;
            return false;
        }
        if (!no_exchange(errno))
            return false;
        if (!checks.unchanged()) { // no exchange here: a last look
            changed = true;
            return false;
        }
        if (renameat(t.folder, tmp, t.folder, leaf) != 0)
            return false;
        t.named = nullptr;
        return true;
    });
    if (ok)
        return tempfile_outcome::done;
    if (stuck)
        return changed ? tempfile_outcome::stuck_other
                       : tempfile_outcome::stuck_old;
    return changed ? tempfile_outcome::changed : tempfile_outcome::failed;
}
