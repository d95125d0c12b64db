// SPDX-License-Identifier: MIT
//
// What differs between systems for a run, on POSIX systems: Linux, macOS,
// the BSDs and the like.  Whether a processor is spare is told by
// cpus_posix.cpp.
#include "fd.h"
#include "os.h"
#include "resolve_posix.h"
#include "stat_posix.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__linux__) && !defined(QUADFLIP_PORTABLE)
#include <sys/vfs.h>
#elif defined(__APPLE__)
#include <sys/mount.h>
#include <sys/param.h>
#endif

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

// Whether the file system that holds the file at fd gives each of its
// files one identity (device and inode) whatever name it is reached by,
// for as long as the file is open, so that two names of the input always
// show as one.  Those chosen are known to: the file systems on disk with
// inode numbers of their own (ext2/3/4, xfs, btrfs, f2fs, bcachefs, zfs),
// whose device number is the file system's; tmpfs, whose inodes live in
// memory alone; and the kernel's vfat and exfat, which have no inode
// numbers on the disk but look up every open file by the place of its
// entry in its folder, so that every spelling of its name finds the one
// inode in memory.  Not chosen: an overlay, whose merged view and upper
// folder show one file under two devices; FUSE, where a daemon may number
// each spelling apart (fusefat does); network file systems, whose numbers
// are the server's word; and anything else.
bool lasting_identity(int fd)
{
#if defined(__linux__) && !defined(QUADFLIP_PORTABLE)
    struct statfs sfs {
    };
    if (fstatfs(fd, &sfs) != 0)
        return false;
    switch (static_cast<std::uint32_t>(sfs.f_type)) {
    case 0xEF53U:     // ext2, ext3, ext4
    case 0x58465342U: // xfs
    case 0x9123683EU: // btrfs
    case 0xF2F52010U: // f2fs
    case 0xCA451A4EU: // bcachefs
    case 0x2FC12FC1U: // zfs
    case 0x01021994U: // tmpfs
    case 0x4D44U:     // vfat, msdos
    case 0x2011BAB0U: // exfat
        return true;
    default:
        return false;
    }
#elif defined(__APPLE__)
    struct statfs sfs {
    };
    return fstatfs(fd, &sfs) == 0 &&
           (std::strcmp(sfs.f_fstypename, "apfs") == 0 ||
            std::strcmp(sfs.f_fstypename, "hfs") == 0);
#else
    (void)fd;
    return false;
#endif
}

// Whether each of the n bytes at p, whole words from a word's start, is a
// word that reads the same with its bytes reversed.
bool symmetric(const unsigned char *p, std::size_t n)
{
    if (n % 4 != 0)
        return false;
    for (std::size_t i = 0; i < n; i += 4)
        if (p[i] != p[i + 3] || p[i + 1] != p[i + 2])
            return false;
    return true;
}

// The next stretch at or after pos where either of the regular files a and
// b may hold data: [*from, *to), or *from at size where neither does.
// Where the system cannot find holes, the whole rest.  False on failure.
bool next_data(int a, int b, bool holes, off_t pos, off_t size, off_t *from,
               off_t *to)
{
    std::int64_t da = 0;
    std::int64_t ha = 0;
    std::int64_t db = 0;
    std::int64_t hb = 0;
    *from = pos;
    *to = size;
    if (!holes)
        return true;
    if (!os_find_data(a, pos, &da, &ha) || !os_find_data(b, pos, &db, &hb))
        return errno == 0;
    const std::int64_t d = std::min(da, db);
    const std::int64_t h = std::max(da == d ? ha : d, db == d ? hb : d);
    *from = std::max(pos, static_cast<off_t>(std::min<std::int64_t>(d, size)) &
                              ~off_t{3});
    *to = static_cast<off_t>(std::min<std::int64_t>(h, size));
    if (*to <= *from) // a file cut short meanwhile: read on, to find it
        *to = std::max(*from, size);
    return true;
}

// What the regular file b holds of the regular file a, both size bytes
// long: held::other from the first byte that differs.  Only where either
// has data is read; a hole reads as zeros, which read the same both ways.
// False with errno set where either cannot be read.
bool compare(int a, int b, off_t size, bool holes, held *found)
{
    static unsigned char block[2][1 << 16];
    bool same_both_ways = size % 4 == 0;
    *found = held::other;
    for (off_t at = 0, end = 0; at < size; at = end) {
        if (!next_data(a, b, holes, at, size, &at, &end))
            return false;
        for (; at < end;) {
            const auto want = static_cast<std::size_t>(
                std::min<off_t>(end - at, sizeof block[0]));
            const ssize_t n = pread(a, block[0], want, at);
            const ssize_t m = n <= 0 ? n : pread(b, block[1], want, at);
            if (n < 0 || m < 0)
                return false;
            if (n == 0 || m != n || // cut short meanwhile
                std::memcmp(block[0], block[1], static_cast<std::size_t>(n)) !=
                    0)
                return true;
            same_both_ways = same_both_ways &&
                             symmetric(block[0], static_cast<std::size_t>(n));
            at += n;
        }
    }
    *found = same_both_ways ? held::result : held::input;
    return true;
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

std::FILE *os_create(const char *path, int in, held *found)
{
    *found = held::other;
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
    // Of the input's length: opened without cutting it, then looked at and
    // written through that one descriptor.  One that cannot be opened so
    // is opened as any output is: it is not the input, whose every name
    // can be read.
    struct stat st {
    };
    fd out = open_regular(path, &st);
    if (out.get() < 0)
        return open_stream(path, "wb");
    if (same_file(input, st)) { // put there since it was looked at
        *found = held::input;
        return nullptr;
    }
    const bool lasting = lasting_identity(in) && lasting_identity(out.get());
    if (!lasting && st.st_size == input.st_size) {
        // Finding holes moves the offsets: the input's is put back, to be
        // read from where it stands.
        const off_t offset = lseek(in, 0, SEEK_CUR);
        const bool holes = os_info(in).holes || os_info(out.get()).holes;
        const bool ok = compare(in, out.get(), st.st_size, holes, found);
        if (lseek(in, offset, SEEK_SET) != offset || !ok ||
            *found != held::other)
            return nullptr;
    }
    if (fcntl(out.get(), F_SETFL, 0) != 0 ||
        lseek(out.get(), 0, SEEK_SET) != 0 || ftruncate(out.get(), 0) != 0)
        return nullptr;
    return fd_stream(out, "wb");
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
