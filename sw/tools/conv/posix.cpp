// SPDX-License-Identifier: MIT
//
// Resolving a path to its folder and last name on POSIX systems, syncing a
// file to the disk, and exchanging two names.
#include "posix.h"

#include <cerrno>
#include <cstdio>
#include <vector>

#include <unistd.h>

#if defined(__linux__) && !defined(QUADFLIP_PORTABLE)
#include <sys/syscall.h>
#endif

place resolve(const char *path)
{
    std::string rest = path;
    int dir = -1;
    bool followed = false; // through a link, to the file in target
    struct stat target {
    };
    for (int hops = 0;; ++hops) {
        if (hops > 40) {
            errno = ELOOP;
            break;
        }
        // Every name but the last is a folder to enter.
        std::vector<std::string> names;
        for (std::size_t at = 0; at <= rest.size();) {
            std::size_t end = rest.find('/', at);
            if (end == std::string::npos)
                end = rest.size();
            if (end > at || end == rest.size())
                names.push_back(rest.substr(at, end - at));
            at = end + 1;
        }
        const std::string last = names.back();
        names.pop_back();
        // An absolute path starts at its first folder, opened by its whole
        // name: an emulator that maps a system root of its own over "/"
        // (qemu -L) maps that name as it does any other.
        const bool absolute = !rest.empty() && rest[0] == '/';
        if (dir < 0 || absolute) {
            if (dir >= 0)
                (void)close(dir);
            std::string first = ".";
            if (absolute) {
                first = names.empty() ? "/" : "/" + names.front();
                if (!names.empty())
                    names.erase(names.begin());
            }
            dir = open(first.c_str(), search_only | O_DIRECTORY | O_CLOEXEC);
            if (dir < 0)
                return {-1, {}, false};
        }
        for (const std::string &name : names) {
            int next = openat(dir, name.c_str(),
                              search_only | O_DIRECTORY | O_CLOEXEC);
            (void)close(dir);
            dir = next;
            if (dir < 0)
                return {-1, {}, false};
        }
        if (last.empty() || last == "." || last == "..") {
            errno = EISDIR; // a folder, not a file
            break;
        }
        struct stat st {
        };
        if (fstatat(dir, last.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (followed && errno == ENOENT) { // yet the link led somewhere
                (void)close(dir);
                return {-1, {}, true};
            }
            break;
        }
        if (!S_ISLNK(st.st_mode)) {
            if (followed && !same_file(st, target)) {
                (void)close(dir);
                return {-1, {}, true};
            }
            // The folder itself, open for reading, so that it can be synced.
            int real = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            (void)close(dir);
            return {real, real < 0 ? std::string() : last, false};
        }
        // Where the first link really leads, for the name found through
        // its text to be checked against.
        if (!followed && fstatat(dir, last.c_str(), &target, 0) == 0)
            followed = true;
        std::vector<char> to(static_cast<std::size_t>(st.st_size) + 2);
        ssize_t n = readlinkat(dir, last.c_str(), to.data(), to.size());
        if (n < 0)
            break;
        if (static_cast<std::size_t>(n) == to.size()) { // grew meanwhile
            errno = ELOOP;
            break;
        }
        rest.assign(to.data(), static_cast<std::size_t>(n));
    }
    const int err = errno;
    if (dir >= 0)
        (void)close(dir);
    errno = err;
    return {-1, {}, false};
}

int sync_file(int fd)
{
#ifdef F_FULLFSYNC
    if (fcntl(fd, F_FULLFSYNC) == 0)
        return 0;
#endif
    return fsync(fd);
}

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
