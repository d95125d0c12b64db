// SPDX-License-Identifier: MIT
//
// Turns at a folder among in-place runs, where nothing finer serves: an
// exclusive flock(2) lock on the folder.  Any program that can read the
// folder can hold that lock as well, the run's own caller among them
// ("flock . quadflip f f"), which would be waiting for the run; so a turn
// that is held is waited for only while a run is seen at work in the
// folder, by the temporary file that it writes there.
#include "inplace_posix.h"
#include "inplace_shared.h"
#include "posix.h"

#include <cerrno>
#include <chrono>
#include <ctime>
#include <limits>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

using steady = std::chrono::steady_clock;

// How long a turn may be held with no run at work in the folder: a run
// has its temporary file within a tick of the file's times of taking its
// turn, two seconds at most (on FAT).
constexpr auto grace = std::chrono::seconds(3);

// How often the whole folder is looked through for a run at work.
constexpr auto look_every = std::chrono::milliseconds(200);

// Whether name is a temporary file's of a live run.
bool of_a_live_run(const char *name)
{
    const unsigned long pid = temp_owner(name);
    return pid <=
               static_cast<unsigned long>(std::numeric_limits<pid_t>::max()) &&
           alive(static_cast<pid_t>(pid));
}

// The name of a temporary file of a live run in the folder, or "".
std::string run_at_work(int folder)
{
    const int fd = openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return {};
    DIR *d = fdopendir(fd);
    if (!d) {
        (void)close(fd);
        return {};
    }
    std::string found;
    while (const dirent *e = readdir(d))
        if (of_a_live_run(e->d_name)) {
            found = e->d_name;
            break;
        }
    (void)closedir(d);
    return found;
}

// Whether the temporary file name, seen before, is still there and its
// run alive.
bool still_at_work(int folder, const std::string &name)
{
    struct stat st {
    };
    return fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
           of_a_live_run(name.c_str());
}

} // namespace

int folder_turn(int folder)
{
    const int fd = openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    std::string seen; // a run's temporary file in the folder
    auto idle_since = steady::now();
    auto next_look = idle_since;
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0)
            return fd;
        if (errno != EWOULDBLOCK && errno != EINTR)
            break;
        const auto now = steady::now();
        if (!seen.empty() && !still_at_work(folder, seen))
            seen.clear();
        if (seen.empty() && now >= next_look) {
            seen = run_at_work(folder);
            next_look = now + look_every;
        }
        if (!seen.empty())
            idle_since = now;
        else if (now - idle_since >= grace)
            break; // the check before the rename stands guard
        const timespec nap{0, 10000000};
        (void)nanosleep(&nap, nullptr);
    }
    (void)close(fd);
    return -1;
}
