// SPDX-License-Identifier: MIT
//
// A descriptor that closes itself: the fd that holds it owns it, and
// closes it when it goes, unless it was handed on first, to a stream with
// fd_stream, or with release to an owner that keeps it open (the in-place
// run keeps its folder until the process ends).  The close leaves errno as
// it was, so that what a failure set survives its clean-up.
#ifndef QUADFLIP_FD_H
#define QUADFLIP_FD_H

#include <cerrno>
#include <cstdio>
#include <utility>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

struct fd {
    int n = -1; // -1: none

    fd() = default;
    explicit fd(int d) : n(d) {}
    fd(fd &&other) noexcept : n(other.release()) {}
    fd(const fd &) = delete;
    // The descriptor held before goes with other, at the end of the call.
    fd &operator=(fd other) noexcept
    {
        std::swap(n, other.n);
        return *this;
    }
    ~fd()
    {
        if (n < 0)
            return;
        const int err = errno;
#ifdef _WIN32
        (void)_close(n);
#else
        (void)close(n);
#endif
        errno = err;
    }

    int get() const
    {
        return n;
    }
    // Hands the descriptor on: it is no longer closed here.
    int release()
    {
        return std::exchange(n, -1);
    }
};

// A stream on the descriptor held by d, opened with fopen's mode, which
// owns the descriptor from then on.  nullptr, d still the owner, where d
// holds none (errno as the open that failed left it) or fdopen fails.
inline std::FILE *fd_stream(fd &d, const char *mode)
{
    if (d.get() < 0)
        return nullptr;
#ifdef _WIN32
    std::FILE *f = _fdopen(d.get(), mode);
#else
    std::FILE *f = fdopen(d.get(), mode);
#endif
    if (f)
        (void)d.release();
    return f;
}

#endif
