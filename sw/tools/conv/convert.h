// SPDX-License-Identifier: MIT
//
// The conversion itself: read, reverse every whole word, write.
#ifndef QUADFLIP_CONVERT_H
#define QUADFLIP_CONVERT_H

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
// a regular output.  A read or write failure ends the run through fail().
void convert_words(std::FILE *infile, std::FILE *outfile);

#endif
