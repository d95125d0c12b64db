// SPDX-License-Identifier: MIT
//
// Watching a file with kqueue (macOS and the BSDs).
#include "watch.h"

#include <sys/event.h>
#include <sys/time.h>
#include <sys/types.h>
#include <unistd.h>

#include <fcntl.h>

int watch_open(int fd)
{
#ifdef QUADFLIP_NO_WATCH // a build for the tests of the fallback
    (void)fd;
    return -1;
#else
    const int q = kqueue();
    if (q < 0)
        return -1;
    (void)fcntl(q, F_SETFD, FD_CLOEXEC);
    struct kevent change {
    };
    EV_SET(&change, static_cast<uintptr_t>(fd), EVFILT_VNODE, EV_ADD | EV_CLEAR,
           NOTE_WRITE | NOTE_EXTEND | NOTE_ATTRIB | NOTE_RENAME | NOTE_DELETE |
               NOTE_REVOKE | NOTE_LINK,
           0, nullptr);
    if (kevent(q, &change, 1, nullptr, 0, nullptr) != 0) {
        (void)close(q);
        return -1;
    }
    return q;
#endif
}

bool watch_seen(int w)
{
    struct kevent event {
    };
    const timespec now{0, 0};
    return kevent(w, nullptr, 0, &event, 1, &now) != 0;
}
