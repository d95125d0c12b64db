// SPDX-License-Identifier: MIT
//
// POSIX systems: Linux, the BSDs and the like.
#include "os.h"
#include "posix.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// The descriptor that a name of the process's own descriptors stands for
// (/dev/stdin, /dev/stdout, /dev/stderr, /dev/fd/N, /proc/self/fd/N), or
// -1 for any other name.
int own_descriptor(const char *path)
{
    static const char *const names[] = {"/dev/stdin", "/dev/stdout",
                                        "/dev/stderr"};
    for (int fd = 0; fd <= 2; ++fd)
        if (std::strcmp(path, names[fd]) == 0)
            return fd;
    for (const char *prefix : {"/dev/fd/", "/proc/self/fd/"}) {
        const std::size_t n = std::strlen(prefix);
        if (std::strncmp(path, prefix, n) != 0 || path[n] == '\0')
            continue;
        char *end = nullptr;
        const long fd = std::strtol(path + n, &end, 10);
        if (*end == '\0' && path[n] >= '0' && path[n] <= '9' && fd <= 1 << 30)
            return static_cast<int>(fd);
    }
    return -1;
}

} // namespace

char **os_args(int * /*argc*/, char **argv)
{
    return argv;
}

bool os_put_line(const char *text)
{
    return std::printf("%s\n", text) >= 0 && std::fflush(stdout) == 0;
}

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
        return {filekind::other, -1, false, false};
    filekind kind = S_ISREG(st.st_mode)    ? filekind::regular
                    : S_ISDIR(st.st_mode)  ? filekind::directory
                    : S_ISFIFO(st.st_mode) ? filekind::fifo
                    : S_ISBLK(st.st_mode)  ? filekind::block
                                           : filekind::other;
    const int flags = fcntl(fd, F_GETFL);
    return {kind, st.st_size,
            kind == filekind::regular && st.st_size > 0 &&
                st.st_blocks < st.st_size / 512,
            flags >= 0 && (flags & O_APPEND) != 0};
}

std::FILE *os_open(const char *path, bool write)
{
    const int own = own_descriptor(path);
    const int flags = own < 0 ? -1 : fcntl(own, F_GETFL);
    const bool append = write && flags >= 0 && (flags & O_APPEND) != 0;
    std::FILE *f = std::fopen(path, append ? "ab" : write ? "wb" : "rb");
    if (f || errno != ENXIO)
        return f;
    // A socket cannot be opened by name; the descriptor itself serves.
    const int err = errno;
    struct stat st {
    };
    if (own < 0 || fstat(own, &st) != 0 || !S_ISSOCK(st.st_mode)) {
        errno = err;
        return nullptr;
    }
    const int copy = fcntl(own, F_DUPFD_CLOEXEC, 3);
    f = copy < 0 ? nullptr : fdopen(copy, write ? "wb" : "rb");
    if (!f && copy >= 0)
        (void)close(copy);
    return f;
}

bool os_same_fifo(const char *a, const char *b)
{
    struct stat sa {
    };
    struct stat sb {
    };
    return stat(a, &sa) == 0 && S_ISFIFO(sa.st_mode) && stat(b, &sb) == 0 &&
           same_file(sa, sb);
}

bool os_same_file(int fd, const char *path)
{
    struct stat a {
    };
    struct stat b {
    };
    if (fstat(fd, &a) != 0 || stat(path, &b) != 0)
        return false;
    if (S_ISBLK(a.st_mode) && S_ISBLK(b.st_mode))
        return a.st_rdev == b.st_rdev;
    return same_file(a, b);
}

bool os_may_be_same(int fd, const char *path)
{
    struct stat a {
    };
    struct stat b {
    };
    if (fstat(fd, &a) != 0 || stat(path, &b) != 0 || !S_ISREG(a.st_mode) ||
        !S_ISREG(b.st_mode) || a.st_size != b.st_size || a.st_size == 0)
        return false;
    // An output that may not be read is taken for what it may be.
    const int out = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (out < 0)
        return true;
    static unsigned char head[2][1 << 16];
    const ssize_t n = pread(fd, head[0], sizeof head[0], 0);
    const ssize_t m = pread(out, head[1], sizeof head[1], 0);
    (void)close(out);
    return n < 0 || m < 0 || n != m ||
           std::memcmp(head[0], head[1], static_cast<std::size_t>(n)) == 0;
}

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
                fstat(pb.dir, &db) == 0 && same_file(da, db) &&
                fstatat(pa.dir, pa.name.c_str(), &fa, AT_SYMLINK_NOFOLLOW) == 0;
    (void)close(pa.dir);
    if (pb.dir >= 0)
        (void)close(pb.dir);
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
