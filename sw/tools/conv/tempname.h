// SPDX-License-Identifier: MIT
//
// The names of temporary files, which the temporary files of every system
// take (tempfile_posix.cpp, tempfile_windows.cpp): tempname.cpp.
#ifndef QUADFLIP_TEMPNAME_H
#define QUADFLIP_TEMPNAME_H

#include <functional>
#include <string>

// Makes a file under a name no one can foresee,
// .quadflip.XXXXXXXXXXXX with twelve random letters and digits:
// make(name) tries one name and returns whether it made the file, with
// errno EEXIST where the name is taken, and then another name is tried.
// Returns false, errno set, on any other failure, or when a hundred names
// in a row were taken.
bool tempname_try(const std::function<bool(const std::string &)> &make);

#endif
