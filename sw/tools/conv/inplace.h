// SPDX-License-Identifier: MIT
//
// Converting a file in place: inplace_posix.cpp and inplace_windows.cpp.
// The result goes to a temporary file beside the file (tempfile_posix.cpp,
// tempfile_windows.cpp), which replaces the file only once it is complete
// and on the disk; until then any failure or signal leaves the file as it
// was.
#ifndef QUADFLIP_INPLACE_H
#define QUADFLIP_INPLACE_H

#include <cstdio>

// Opens the file that path names for reading and writing (so it needs the
// permission that a two-file run needs), refuses a run that could not end
// in a rename, and returns the file as the input.  It waits for no lock:
// runs at once are told apart when each commits.
std::FILE *inplace_open(const char *path);

// Creates the temporary file and returns it as the output.  From now on a
// failure removes it.
std::FILE *inplace_temp();

// Completes the output and puts it over the file, durably, unless the file
// was changed meanwhile, by another run's commit among others.  It may
// close the input.
void inplace_commit(std::FILE *in, std::FILE *out);

#endif
