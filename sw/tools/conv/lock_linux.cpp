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

// The socket address of the turn at the file st: a name in the abstract
// namespace, after the file's device and inode.
struct turn_name {
    sockaddr_un addr{};
    socklen_t len = 0;
    const sockaddr *get() const
    {
        // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast)
        return reinterpret_cast<const sockaddr *>(&addr);
    }
};

turn_name name_of(const struct stat &st)
{
    const std::string name = "quadflip/" + std::to_string(st.st_dev) + "/" +
                             std::to_string(st.st_ino);
    turn_name t;
    t.addr.sun_family = AF_UNIX;
    std::memcpy(t.addr.sun_path + 1, name.data(), name.size());
    t.len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 +
                                   name.size());
    return t;
}

// Whether the turn is held by a run that this one must wait for, and
// which (*holder): the holder listens, so that its user can be told, and
// only a run of root's, of this user's or of the file's owner, any of whom
// could change the file anyway, is waited for.  Any user may take the name
// itself, so that a program of another user holding it, or one that does
// not listen, is not.
bool held_by_a_run(const turn_name &t, const struct stat &st, pid_t *holder)
{
    const int c =
        socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (c < 0)
        return false;
    ucred cred{};
    socklen_t n = sizeof cred;
    const bool told = connect(c, t.get(), t.len) == 0 &&
                      getsockopt(c, SOL_SOCKET, SO_PEERCRED, &cred, &n) == 0;
    (void)close(c);
    *holder = told ? cred.pid : 0;
    return told &&
           (cred.uid == 0 || cred.uid == geteuid() || cred.uid == st.st_uid);
}

// Waits for this run's turn at the file st among all runs of it, and
// returns what holds that turn until the process ends: a listening socket
// bound to the file's turn name, which a run holds whatever locks the
// run's caller holds on the file.  -1 where no such socket can be had, and
// -2 where the name is held by a program that is no run to wait for.
int take_turn(const struct stat &st)
{
    const turn_name t = name_of(st);
    const int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -1;
    pid_t holder = 0;
    int doubts = 0; // looks in a row that found no run holding it
    while (bind(s, t.get(), t.len) != 0) {
        const int err = errno;
        if (err != EADDRINUSE && err != EINTR) {
            (void)close(s);
            return -1;
        }
        // The holder is looked at once, and again only once it has gone:
        // the name may have been let go, and taken again, meanwhile.
        const bool known = alive(holder);
        if (err == EADDRINUSE && !known) {
            if (held_by_a_run(t, st, &holder)) {
                doubts = 0;
            } else if (++doubts == 2) {
                (void)close(s);
                return -2;
            } else {
                holder = 0;
                continue; // let go just now, perhaps: try again at once
            }
        }
        const timespec pause{0, 5000000};
        (void)nanosleep(&pause, nullptr);
    }
    (void)listen(s, SOMAXCONN);
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
    if (turn == -1)
        turn = folder_turn(folder);
    else if (turn < 0)
        turn = -1; // runs here take turns by the lock below alone
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
