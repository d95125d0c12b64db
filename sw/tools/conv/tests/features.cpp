// SPDX-License-Identifier: MIT
//
// What some tests need that not every system has, whether it is here, and
// the calls for it: mounts and images, pipes and sockets closed on exec,
// the room in a pipe, extended attributes, inode flags and project IDs,
// file times, files with no name, and the tools on the PATH.
#include "harness.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <sched.h>

#if __has_include(<linux/fs.h>)
#include <linux/fs.h> // before sys/mount.h, whose names it shares
#endif
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#ifdef __linux__ // elsewhere the calls take other arguments, or are missing
#include <sys/xattr.h>
#endif
#include <unistd.h>

namespace fs = std::filesystem;

namespace
{

// What the system has of what some tests need, as far as the build can
// tell; /proc is looked for when the tests run.
#ifdef CPU_SETSIZE
constexpr bool affinity_here = true;
#else
constexpr bool affinity_here = false;
#endif
#ifdef MS_BIND
constexpr bool mounts_here = true;
#else
constexpr bool mounts_here = false;
#endif
#ifdef F_GETPIPE_SZ
constexpr bool pipe_size_here = true;
#else
constexpr bool pipe_size_here = false;
#endif
#ifdef __linux__
constexpr bool xattrs_here = true;
#else
constexpr bool xattrs_here = false;
#endif
#if defined(FS_IOC_GETFLAGS) && defined(FS_IOC_FSGETXATTR)
constexpr bool inode_flags_here = true;
#else
constexpr bool inode_flags_here = false;
#endif

// Whether have holds; where not, says lack in *why.
bool there(bool have, const char *lack, std::string *why)
{
    if (!have && why)
        *why = lack;
    return have;
}

#ifdef FS_IOC_FSGETXATTR
// What FS_IOC_FSGETXATTR tells of the file at path, in *fa; whether it
// could be told.
bool fsxattr_of(const std::string &path, struct fsxattr *fa)
{
    const int fd = open(path.c_str(), O_RDONLY);
    const bool ok = fd >= 0 && ioctl(fd, FS_IOC_FSGETXATTR, fa) == 0;
    if (fd >= 0)
        close(fd);
    return ok;
}
#endif

} // namespace

bool has(feature f, std::string *why)
{
    switch (f) {
    case feature::affinity:
        return there(affinity_here,
                     "no processor affinity here (sched_setaffinity is "
                     "Linux's)",
                     why);
    case feature::mounts:
        return there(mounts_here,
                     "mounting as the tests do needs Linux's mount(2)", why);
    case feature::proc:
        return there(fs::exists("/proc/self/fdinfo"),
                     "no /proc/PID/fdinfo here: the threads and open files "
                     "of another process cannot be seen",
                     why);
    case feature::pipe_size:
        return there(pipe_size_here,
                     "the room in a pipe cannot be told here (F_GETPIPE_SZ "
                     "is Linux's)",
                     why);
    case feature::xattrs:
        return there(xattrs_here,
                     "no extended attributes through Linux's calls here", why);
    case feature::inode_flags:
        return there(inode_flags_here,
                     "no inode flags or project IDs here (FS_IOC_GETFLAGS is "
                     "Linux's)",
                     why);
    }
    return false;
}

bool installed(const std::string &tool)
{
    const char *path = std::getenv("PATH");
    std::istringstream dirs(path ? path : "");
    for (std::string d; std::getline(dirs, d, ':');)
        if (!d.empty() && access(d.append("/").append(tool).c_str(), X_OK) == 0)
            return true;
    return false;
}

mounted::~mounted()
{
    if (!ok)
        return;
    if (!fuse || !command({"fusermount", "-u", at})) {
#ifdef MNT_DETACH
        (void)umount2(at.c_str(), MNT_DETACH);
#else
        (void)unmount(at.c_str(), MNT_FORCE);
#endif
    }
}

bool mount_fs(const std::string &type, const std::string &at,
              const std::string &options)
{
#ifdef MS_BIND
    return mount(type.c_str(), at.c_str(), type.c_str(), 0, options.c_str()) ==
           0;
#else
    (void)type;
    (void)at;
    (void)options;
    errno = ENOSYS;
    return false;
#endif
}

bool bind_mount(const std::string &from, const std::string &at)
{
#ifdef MS_BIND
    return mount(from.c_str(), at.c_str(), nullptr, MS_BIND, nullptr) == 0;
#else
    (void)from;
    (void)at;
    errno = ENOSYS;
    return false;
#endif
}

int cloexec_pipe(int fds[2])
{
#ifdef __APPLE__ // no pipe2: nothing else runs a program meanwhile
    if (pipe(fds) != 0)
        return -1;
    for (int i : {0, 1})
        (void)fcntl(fds[i], F_SETFD, FD_CLOEXEC);
    return 0;
#else
    return pipe2(fds, O_CLOEXEC);
#endif
}

int cloexec_socketpair(int fds[2])
{
#ifdef SOCK_CLOEXEC
    return socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds);
#else // nothing else runs a program meanwhile
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
        return -1;
    for (int i : {0, 1})
        (void)fcntl(fds[i], F_SETFD, FD_CLOEXEC);
    return 0;
#endif
}

int pipe_room(int fd)
{
#ifdef F_GETPIPE_SZ
    return fcntl(fd, F_GETPIPE_SZ);
#else
    (void)fd;
    errno = ENOTSUP;
    return -1;
#endif
}

int set_xattr(const std::string &path, const char *name, const void *value,
              std::size_t size)
{
#ifdef __linux__
    return setxattr(path.c_str(), name, value, size, 0);
#else
    (void)path;
    (void)name;
    (void)value;
    (void)size;
    errno = ENOTSUP;
    return -1;
#endif
}

std::map<std::string, std::string> xattrs_of(const std::string &path)
{
    std::map<std::string, std::string> xattrs;
#ifdef __linux__
    std::vector<char> names(65536);
    ssize_t n = listxattr(path.c_str(), names.data(), names.size());
    for (ssize_t at = 0; at < n;) {
        const std::string name(&names[static_cast<std::size_t>(at)]);
        std::vector<char> value(65536);
        ssize_t len =
            getxattr(path.c_str(), name.c_str(), value.data(), value.size());
        xattrs[name] = std::string(value.data(),
                                   len > 0 ? static_cast<std::size_t>(len) : 0);
        at += static_cast<ssize_t>(name.size()) + 1;
    }
#else
    (void)path;
#endif
    return xattrs;
}

int inode_flag(char letter)
{
#ifdef FS_IOC_GETFLAGS
    switch (letter) {
    case 'A':
        return FS_NOATIME_FL;
    case 'C':
        return FS_NOCOW_FL;
    case 'd':
        return FS_NODUMP_FL;
    case 'S':
        return FS_SYNC_FL;
#ifdef FS_DAX_FL
    case 'x':
        return FS_DAX_FL;
#endif
    default:
        break;
    }
#endif
    (void)letter;
    return 0;
}

int inode_flags_of(const std::string &path)
{
#ifdef FS_IOC_GETFLAGS
    const int fd = open(path.c_str(), O_RDONLY);
    int flags = 0;
    const bool ok = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (fd >= 0)
        close(fd);
    return ok ? flags & ~(FS_EXTENT_FL | FS_INLINE_DATA_FL | FS_INDEX_FL |
                          FS_HUGE_FILE_FL)
              : -1;
#else
    (void)path;
    return -1;
#endif
}

long project_of(const std::string &path)
{
#ifdef FS_IOC_FSGETXATTR
    struct fsxattr fa {
    };
    return fsxattr_of(path, &fa) ? static_cast<long>(fa.fsx_projid) : -1;
#else
    (void)path;
    return -1;
#endif
}

long extsize_of(const std::string &path)
{
#ifdef FS_IOC_FSGETXATTR
    struct fsxattr fa {
    };
    if (!fsxattr_of(path, &fa))
        return -1;
    return (fa.fsx_xflags & FS_XFLAG_EXTSIZE) != 0
               ? static_cast<long>(fa.fsx_extsize)
               : 0;
#else
    (void)path;
    return -1;
#endif
}

bool set_inode_flags(const std::string &path, int flags, unsigned project,
                     unsigned extsize)
{
#if defined(FS_IOC_GETFLAGS) && defined(FS_IOC_FSGETXATTR)
    const int fd = open(path.c_str(), O_RDONLY);
    int now = 0;
    bool ok = fd >= 0;
    if (ok && flags != 0)
        ok = ioctl(fd, FS_IOC_GETFLAGS, &now) == 0 &&
             (now |= flags, ioctl(fd, FS_IOC_SETFLAGS, &now) == 0);
    if (ok && (project != 0 || extsize != 0)) {
        struct fsxattr fa {
        };
        ok = ioctl(fd, FS_IOC_FSGETXATTR, &fa) == 0;
        if (project != 0)
            fa.fsx_projid = project;
        if (extsize != 0) {
            fa.fsx_xflags |= FS_XFLAG_EXTSIZE;
            fa.fsx_extsize = extsize;
        }
        ok = ok && ioctl(fd, FS_IOC_FSSETXATTR, &fa) == 0;
    }
    if (fd >= 0)
        close(fd);
    return ok;
#else
    (void)path;
    (void)flags;
    (void)project;
    (void)extsize;
    return false;
#endif
}

std::array<struct timespec, 2> times_of(const struct stat &st)
{
#ifdef __APPLE__ // which names them st_atimespec and st_mtimespec
    return {st.st_atimespec, st.st_mtimespec};
#else
    return {st.st_atim, st.st_mtim};
#endif
}

std::string mount_image(const std::string &dir,
                        const std::vector<std::string> &mkfs,
                        unsigned long long size, const std::string &options,
                        mounted &m)
{
    std::string why;
    if (!has(feature::mounts, &why))
        return why;
    if (geteuid() != 0)
        return "mounting needs root";
    if (!installed(mkfs.at(0))) {
        const std::string &tool = mkfs[0];
        const char *package = tool == "mkfs.btrfs"  ? "btrfs-progs"
                              : tool == "mkfs.xfs"  ? "xfsprogs"
                              : tool == "mkfs.vfat" ? "dosfstools"
                                                    : "e2fsprogs";
        return tool + " is not installed (apt-get install " + package + ")";
    }
    const std::string img = dir + "/../" + fs::path(dir).filename().string() +
                            "." + fs::path(m.at).filename().string() + ".img";
    std::error_code ec;
    std::vector<std::string> make = mkfs;
    make.push_back(img);
    {
        std::ofstream(img, std::ios::binary | std::ios::trunc);
    }
    fs::resize_file(img, size, ec);
    const bool made = !ec && command(make);
    std::vector<std::string> mount = {"mount", "-o", "loop", img, m.at};
    if (!options.empty())
        mount[2] += "," + options;
    m.ok = made && (fs::create_directory(m.at, ec) || fs::is_directory(m.at)) &&
           command(mount);
    fs::remove(img, ec); // the mount holds it
    if (!made)
        return "cannot make a file system with " + mkfs[0] + " here";
    return m.ok ? "" : "cannot mount it with -o " + mount[2] + " here";
}

bool unnamed_files(const std::string &dir)
{
    if (portable_build())
        return false;
#ifdef O_TMPFILE
    const int fd = open(dir.c_str(), O_TMPFILE | O_WRONLY, 0600);
    if (fd < 0)
        return false;
    close(fd);
    return true;
#else
    (void)dir;
    return false;
#endif
}
