// SPDX-License-Identifier: MIT
//
// quadflip: reverse the byte order of every 32-bit word of a file.
#ifndef QUADFLIP_H
#define QUADFLIP_H

#include "swap.h"

#include <cstddef>
#include <cstdio>

// The input is read into blocks of bufsize bytes, at most nblocks of which
// are in flight to the writing thread: 1 MiB in all, whatever the size of
// the input.  Without that thread, the whole 1 MiB is one block.  A word
// split between two reads is carried over whole.
constexpr std::size_t bufsize = std::size_t{1} << 18;
constexpr std::size_t nblocks = 4;

// Copies infile to outfile with every whole 4-byte word byte-reversed; a
// final 1 to 3 bytes are dropped.  Holes of a regular input stay holes of
// a regular output.  A read or write failure ends the process with status 1.
void convert_words(std::FILE *infile, std::FILE *outfile);

// Ends the run with status 1 after the message "op: " and the text of
// errno, or of why; any temporary file of an in-place run is removed first.
[[noreturn]] void fail(const char *op);
[[noreturn]] void fail_because(const char *op, const char *why);

#endif
