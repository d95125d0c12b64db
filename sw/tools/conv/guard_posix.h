// SPDX-License-Identifier: MIT
//
// What tells an in-place run on POSIX systems that another program changed
// the file meanwhile: guard_posix.cpp.
#ifndef QUADFLIP_GUARD_POSIX_H
#define QUADFLIP_GUARD_POSIX_H

#include "inplace_run_posix.h"

// Waits until the file's times could no longer be those of a change made
// now, then takes its snapshot again: on a file system with whole-second
// times, or with the kernel's coarse clock, a write in the same tick as
// the last one would leave every time as it was.
void guard_settle(inplace_run &run);

// Whether anything has happened to the file since its snapshot, or its
// name now holds another.
bool guard_changed(const inplace_run &run);

// Whether what the exchange of the result with the file's name took out of
// that name, now named out in the folder, is the file as the run took it.
// Its change time is not compared: the exchange itself moves it.
bool guard_took_out(const inplace_run &run, const char *out);

#endif
