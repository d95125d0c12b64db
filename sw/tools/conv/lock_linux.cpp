// SPDX-License-Identifier: MIT
//
// Taking turns at a file among in-place runs on Linux, and honouring the
// locks that other programs hold on it.
#include "inplace_posix.h"
#include "posix.h"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iomanip>
#include <sstream>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

namespace
{

// The parent of the process pid, from /proc; 0 where it cannot be told.
pid_t parent_of(pid_t pid)
{
    std::FILE *f =
        std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
    if (!f)
        return 0;
    char line[1024];
    const bool got = std::fgets(line, sizeof line, f) != nullptr;
    (void)std::fclose(f);
    // "pid (name) S ppid ...": the name may hold spaces and parentheses.
    const char *close = got ? std::strrchr(line, ')') : nullptr;
    if (!close || std::strlen(close) < 5)
        return 0;
    char *end = nullptr;
    const long parent = std::strtol(close + 4, &end, 10);
    return end != close + 4 && *end == ' ' ? static_cast<pid_t>(parent) : 0;
}

// Whether the process pid holds a lock on the file st through any of its
// descriptors, as /proc/PID/fdinfo lists them ("lock: 1: OFDLCK ADVISORY
// WRITE -1 MAJ:MIN:INODE 0 EOF"): the only way to tell who holds an open
// file description lock.
bool holds_lock(pid_t pid, const struct stat &st)
{
    const std::string dir = "/proc/" + std::to_string(pid) + "/fdinfo";
    DIR *d = opendir(dir.c_str());
    if (!d)
        return false;
    // The file as the kernel names it there: "%02x:%02x:%lu".
    std::ostringstream name;
    name << std::hex << std::setfill('0') << std::setw(2) << major(st.st_dev)
         << ':' << std::setw(2) << minor(st.st_dev) << ':' << std::dec
         << st.st_ino;
    const std::string file = name.str();
    bool found = false;
    while (const dirent *e = readdir(d)) {
        std::ifstream info(dir + "/" + e->d_name);
        for (std::string line; !found && std::getline(info, line);) {
            // flock(2) locks do not conflict with the run's.
            if (line.compare(0, 5, "lock:") != 0 ||
                line.find("FLOCK") != std::string::npos)
                continue;
            std::istringstream words(line);
            for (std::string w; !found && words >> w;)
                found = w == file;
        }
        if (found)
            break;
    }
    (void)closedir(d);
    return found;
}

// Whether a lock on the file st, held by the process holder where that
// can be told (0 where not), is held by this run's caller, or the
// caller's caller, and so on: a lock that would be released only once the
// run has ended, and must not be waited for.
bool held_by_caller(const struct stat &st, pid_t holder)
{
    pid_t p = getppid();
    for (int depth = 0; p > 1 && depth < 64; ++depth, p = parent_of(p))
        if (p == holder || holds_lock(p, st))
            return true;
    return false;
}

// Waits for this run's turn at the file st among all runs of it, and
// returns what holds that turn until the process ends: a socket bound to
// a name of the file's own in the abstract namespace, which only a run
// can hold, whatever locks the run's caller holds on the file.  -1 where
// no such socket can be had.
int take_turn(const struct stat &st)
{
    const std::string name = "quadflip/" + std::to_string(st.st_dev) + "/" +
                             std::to_string(st.st_ino);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path + 1, name.data(), name.size());
    const auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) +
                                            1 + name.size());
    const int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -1;
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast)
    while (bind(s, reinterpret_cast<const sockaddr *>(&addr), len) != 0) {
        if (errno != EADDRINUSE && errno != EINTR) {
            (void)close(s);
            return -1;
        }
        const timespec pause{0, 5000000};
        (void)nanosleep(&pause, nullptr);
    }
    return s;
}

} // namespace

// Runs of one file take turns, by a name of the file's own that only a run
// can hold.  Beside that, an open file description lock on the whole file
// makes the run wait for any other program that holds a POSIX record lock
// (lockf, fcntl F_SETLK) or an open file description lock on it, but not
// for one that the run's own caller holds, which would wait for the run;
// and it does not conflict with flock(2), so a caller that wraps the run
// in flock(1) on the same file does not make it wait for ever.  Where the
// file system has no locks, the check before the rename stands guard.
int lock_file(int folder, int fd)
{
    struct stat st {
    };
    if (fstat(fd, &st) != 0)
        return -1;
    int turn = take_turn(st);
    if (turn < 0)
        turn = folder_turn(folder);
    for (;;) {
        struct flock whole {
        };
        whole.l_type = F_WRLCK;
        whole.l_whence = SEEK_SET;
        if (fcntl(fd, F_OFD_SETLK, &whole) == 0)
            return turn;
        if (errno == EINVAL) // a kernel without them
            break;
        if (errno != EAGAIN && errno != EACCES && errno != EINTR)
            return turn; // no locks on this file system
        struct flock holder = whole;
        if (fcntl(fd, F_OFD_GETLK, &holder) == 0 && holder.l_type != F_UNLCK &&
            held_by_caller(st, holder.l_pid > 0 ? holder.l_pid : 0))
            return turn;
        if (fcntl(fd, F_OFD_SETLKW, &whole) == 0 || errno != EINTR)
            return turn;
    }
    return turn;
}
