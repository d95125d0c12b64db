// SPDX-License-Identifier: MIT
//
// Watching a file with inotify (Linux), through its descriptor's name in
// /proc, so that no path is looked up again.
#include "watch.h"

#include <cerrno>
#include <string>

#include <sys/inotify.h>
#include <unistd.h>

int watch_open(int fd)
{
#ifdef QUADFLIP_NO_WATCH // a build for the tests of the fallback
    (void)fd;
    return -1;
#else
    const int w = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    const std::string proc = "/proc/self/fd/" + std::to_string(fd);
    if (w >= 0 && inotify_add_watch(w, proc.c_str(),
                                    IN_MODIFY | IN_ATTRIB | IN_MOVE_SELF |
                                        IN_DELETE_SELF | IN_UNMOUNT) < 0) {
        (void)close(w);
        return -1;
    }
    return w;
#endif
}

bool watch_seen(int w)
{
    char events[4096];
    return read(w, events, sizeof events) != -1 || errno != EAGAIN;
}
