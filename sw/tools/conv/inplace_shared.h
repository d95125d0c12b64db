// SPDX-License-Identifier: MIT
//
// What the in-place files of every platform share.
#ifndef QUADFLIP_INPLACE_SHARED_H
#define QUADFLIP_INPLACE_SHARED_H

#include <functional>
#include <string>

// Ends the run: another program changed the file while it was converted.
[[noreturn]] void fail_changed();

// Makes the temporary file under the first free name of .quadflip.PID.N,
// N from 0: make(name) tries one name and returns whether it made the
// file, with errno EEXIST where the name is taken.  Returns false, errno
// set, on any other failure or when every name is taken.
bool make_temp(unsigned long pid,
               const std::function<bool(const std::string &)> &make);

// The process ID in name, if it is a temporary file's (.quadflip.PID.N);
// otherwise 0.
unsigned long temp_owner(const char *name);

#endif
