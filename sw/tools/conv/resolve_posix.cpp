// SPDX-License-Identifier: MIT
//
// Resolving a path to its folder and last name on POSIX systems, one name
// at a time, each through the folder before it.
#include "resolve_posix.h"
#include "stat_posix.h"

#include <cerrno>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// The portable build (QUADFLIP_PORTABLE) leaves out every interface that
// only Linux has, so that the paths of the other POSIX systems can be
// tried on Linux; the feature tests here and in the other POSIX files name
// it beside the feature.
#if defined(O_PATH) && !defined(QUADFLIP_PORTABLE)
constexpr int search_only = O_PATH; // needs no read permission on a folder
#else
constexpr int search_only = O_RDONLY;
#endif

} // namespace

place resolve(const char *path)
{
    std::string rest = path;
    fd dir;
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
        if (dir.get() < 0 || absolute) {
            dir = fd(); // the folder reached so far goes first
            std::string first = ".";
            if (absolute) {
                first = names.empty() ? "/" : "/" + names.front();
                if (!names.empty())
                    names.erase(names.begin());
            }
            dir =
                fd(open(first.c_str(), search_only | O_DIRECTORY | O_CLOEXEC));
            if (dir.get() < 0)
                return {};
        }
        for (const std::string &name : names) {
            dir = fd(openat(dir.get(), name.c_str(),
                            search_only | O_DIRECTORY | O_CLOEXEC));
            if (dir.get() < 0)
                return {};
        }
        if (last.empty() || last == "." || last == "..") {
            errno = EISDIR; // a folder, not a file
            break;
        }
        struct stat st {
        };
        if (fstatat(dir.get(), last.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (followed && errno == ENOENT) // yet the link led somewhere
                return {fd(), {}, true};
            break;
        }
        if (!S_ISLNK(st.st_mode)) {
            if (followed && !same_file(st, target))
                return {fd(), {}, true};
            // The folder itself, open for reading, so that it can be synced.
            fd real(openat(dir.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            std::string name = real.get() < 0 ? std::string() : last;
            return {std::move(real), std::move(name), false};
        }
        // Where the first link really leads, for the name found through
        // its text to be checked against.
        if (!followed && fstatat(dir.get(), last.c_str(), &target, 0) == 0)
            followed = true;
        std::vector<char> to(static_cast<std::size_t>(st.st_size) + 2);
        ssize_t n = readlinkat(dir.get(), last.c_str(), to.data(), to.size());
        if (n < 0)
            break;
        if (static_cast<std::size_t>(n) == to.size()) { // grew meanwhile
            errno = ELOOP;
            break;
        }
        rest.assign(to.data(), static_cast<std::size_t>(n));
    }
    return {};
}
