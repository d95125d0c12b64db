// SPDX-License-Identifier: MIT
//
// Taking turns at a file among in-place runs where the system can tell
// neither who holds a lock nor a lock that only a run can hold: runs take
// turns at the folder.  Nothing waits for another program's lock on the
// file, since that program could be the run's own caller, which would wait
// for the run; the check before the rename stands guard.
#include "inplace_posix.h"
#include "posix.h"

#include <sys/file.h>

int lock_file(int folder, int fd)
{
    const int turn = folder_turn(folder);
    // Shows other programs that use flock(2) that the file is in use,
    // where no one holds a lock on it yet.
    (void)flock(fd, LOCK_EX | LOCK_NB);
    return turn;
}
