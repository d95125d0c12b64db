// SPDX-License-Identifier: MIT
//
// The temporary file that takes a file's place, on POSIX systems:
// tempfile_posix.cpp.  It is made beside the file, without a name where
// the system can (Linux's O_TMPFILE), so that even SIGKILL leaves nothing
// behind, and under a random name otherwise.  It gets its name, if it has
// none, and its place only once it is complete; until then tempfile_clear,
// which a failure and a signal run, removes it.
#ifndef QUADFLIP_TEMPFILE_POSIX_H
#define QUADFLIP_TEMPFILE_POSIX_H

#include "fd.h"

#include <string>

#include <fcntl.h>
#include <unistd.h>

// The folder the file is made in, which its maker holds open; the file;
// its name in the folder, once it has one.  named is that name while the
// file is under it, and otherwise null: what tempfile_clear removes.
struct tempfile {
    int folder = -1;
    int file = -1;
    std::string name;
    const char *volatile named = nullptr;
};

// Makes the temporary file t, empty, in folder.  Returns it open for
// writing; the caller owns the descriptor, and t keeps its number.  None,
// with errno set, where it cannot be made.  QUADFLIP_NAMED_TEMP and the
// portable build make it named from the start.
fd tempfile_open(tempfile &t, int folder);

// What tempfile_put asks of its caller: whether what an exchange took out
// of the name to be replaced, now named out in the folder, is the file
// the caller means to replace; and, where names cannot be exchanged,
// whether the name still holds that file, just before the rename.
struct tempfile_checks {
    bool (*took_out)(const char *out);
    bool (*unchanged)();
};

// How tempfile_put ended.  failed: errno says why.  changed: leaf no
// longer held the caller's file.  Either way leaf is as it was, and t keeps
// its name, for tempfile_clear.  Or t took leaf's place, but what came out
// could neither be removed nor put back, and is left under t.name, where
// nothing removes it (t.named is null): the caller's file (stuck_old), or
// another that had taken its place (stuck_other).
enum class tempfile_outcome { done, failed, changed, stuck_old, stuck_other };

// Puts the complete file t in the place of leaf, in its folder; the caller
// syncs t before, and the folder after.  A file without a name gets one
// first, through /proc/self/fd.  Where the system can exchange two names,
// it does, and whatever else than the caller's file comes out of leaf is
// put back.  Elsewhere t is renamed over leaf, just after a last look.
// Every signal is held back meanwhile, so that none removes what came out.
tempfile_outcome tempfile_put(tempfile &t, const char *leaf,
                              const tempfile_checks &checks);

// Removes t, if it has a name.  Safe in a signal handler.
inline void tempfile_clear(const tempfile &t)
{
    const char *name = t.named;
    if (name)
        (void)unlinkat(t.folder, name, 0);
}

#endif
