// SPDX-License-Identifier: MIT
//
// Resolving a path to its folder and last name on POSIX systems, taking
// turns at a folder, and syncing a file to the disk.
#include "posix.h"

#include <cerrno>
#include <vector>

#include <signal.h>
#include <unistd.h>

place resolve(const char *path)
{
    std::string rest = path;
    int dir = -1;
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
                return {-1, {}};
        }
        for (const std::string &name : names) {
            int next = openat(dir, name.c_str(),
                              search_only | O_DIRECTORY | O_CLOEXEC);
            (void)close(dir);
            dir = next;
            if (dir < 0)
                return {-1, {}};
        }
        if (last.empty() || last == "." || last == "..") {
            errno = EISDIR; // a folder, not a file
            break;
        }
        struct stat st {
        };
        if (fstatat(dir, last.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            break;
        if (!S_ISLNK(st.st_mode)) {
            // The folder itself, open for reading, so that it can be synced.
            int real = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            (void)close(dir);
            return {real, real < 0 ? std::string() : last};
        }
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
    return {-1, {}};
}

int sync_file(int fd)
{
#ifdef F_FULLFSYNC
    if (fcntl(fd, F_FULLFSYNC) == 0)
        return 0;
#endif
    return fsync(fd);
}

bool alive(pid_t pid)
{
    return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM);
}
