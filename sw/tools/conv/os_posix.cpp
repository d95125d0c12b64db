// SPDX-License-Identifier: MIT
//
// What differs between systems for a run, on POSIX systems: Linux, macOS,
// the BSDs and the like.  Whether a processor is spare is told by
// cpus_linux.cpp or cpus_posix.cpp.
#include "fd.h"
#include "os.h"
#include "resolve_posix.h"
#include "stat_posix.h"

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

// Opens path with fopen's mode; a socket, which cannot be opened by name,
// named as one of the process's own descriptors, gives a copy of it.
std::FILE *open_stream(const char *path, const char *mode)
{
    const int own = own_descriptor(path);
    std::FILE *f = std::fopen(path, mode);
    if (f || errno != ENXIO || own < 0)
        return f;
    const int err = errno;
    struct stat st {
    };
    if (fstat(own, &st) != 0 || !S_ISSOCK(st.st_mode)) {
        errno = err;
        return nullptr;
    }
    fd copy(fcntl(own, F_DUPFD_CLOEXEC, 3));
    return fd_stream(copy, mode);
}

// Whether the files at a and b hold the same size bytes: 1 if they do, 0
// if not (told at the first difference), -1 with errno set where either
// cannot be read.
int same_bytes(int a, int b, off_t size)
{
    static unsigned char block[2][1 << 16];
    for (off_t at = 0; at < size;) {
        const ssize_t n = pread(a, block[0], sizeof block[0], at);
        if (n <= 0)
            return n < 0 ? -1 : 0; // cut short meanwhile
        const ssize_t m = pread(b, block[1], static_cast<std::size_t>(n), at);
        if (m <= 0)
            return m < 0 ? -1 : 0;
        if (std::memcmp(block[0], block[1], static_cast<std::size_t>(m)) != 0)
            return 0;
        at += m;
    }
    return 1;
}

// The file at path, opened for reading and writing without being cut, and
// its status in *st; none where it cannot be opened or is no longer a
// regular file, which is then closed before anything else is opened.
fd open_regular(const char *path, struct stat *st)
{
    fd file(open(path, O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (file.get() >= 0 &&
        (fstat(file.get(), st) != 0 || !S_ISREG(st->st_mode)))
        return fd();
    return file;
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

bool os_err_terminal()
{
    return isatty(2) == 1;
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

std::FILE *os_open(const char *path)
{
    return open_stream(path, "rb");
}

bool os_appends(const char *path)
{
    const int own = own_descriptor(path);
    const int flags = own < 0 ? -1 : fcntl(own, F_GETFL);
    return flags >= 0 && (flags & O_APPEND) != 0;
}

std::FILE *os_create(const char *path, int in, bool *copy)
{
    *copy = false;
    if (os_appends(path))
        return open_stream(path, "ab");
    struct stat input {
    };
    struct stat named {
    };
    if (fstat(in, &input) != 0 || !S_ISREG(input.st_mode) ||
        input.st_size == 0 || stat(path, &named) != 0 ||
        !S_ISREG(named.st_mode) || named.st_size != input.st_size)
        return open_stream(path, "wb");
    // Of the input's length: opened without cutting it, and compared
    // through the descriptor that is then written.  One that cannot be
    // read is not the input, whose every name can be.
    struct stat st {
    };
    fd out = open_regular(path, &st);
    if (out.get() < 0)
        return open_stream(path, "wb");
    const int same = same_bytes(in, out.get(), st.st_size);
    if (same == 0 && fcntl(out.get(), F_SETFL, 0) == 0 &&
        ftruncate(out.get(), 0) == 0) {
        std::FILE *f = fd_stream(out, "wb");
        if (f)
            return f;
    }
    *copy = same == 1;
    return nullptr;
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

bool os_same_path(const char *a, const char *b)
{
    place pb; // declared first, so that a's folder is closed first
    const place pa = resolve(a);
    if (pa.dir.get() < 0)
        return false;
    pb = resolve(b);
    struct stat da {
    };
    struct stat db {
    };
    struct stat fa {
    };
    return pb.dir.get() >= 0 && pa.name == pb.name &&
           fstat(pa.dir.get(), &da) == 0 && fstat(pb.dir.get(), &db) == 0 &&
           same_file(da, db) &&
           fstatat(pa.dir.get(), pa.name.c_str(), &fa, AT_SYMLINK_NOFOLLOW) ==
               0;
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
