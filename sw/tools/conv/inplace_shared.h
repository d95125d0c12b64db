// SPDX-License-Identifier: MIT
//
// What the in-place code of every platform shares: the temporary file's
// names, and the message for a file changed under a run.
#ifndef QUADFLIP_INPLACE_SHARED_H
#define QUADFLIP_INPLACE_SHARED_H

#include <functional>
#include <string>

// Ends the run: another program changed the file while it was converted.
[[noreturn]] void fail_changed();

// Makes the temporary file under a name no one can foresee,
// .quadflip.XXXXXXXXXXXX with twelve random letters and digits:
// make(name) tries one name and returns whether it made the file, with
// errno EEXIST where the name is taken, and then another name is tried.
// Returns false, errno set, on any other failure, or when a hundred names
// in a row were taken.
bool make_temp(const std::function<bool(const std::string &)> &make);

#endif
