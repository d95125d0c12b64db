// quadflip: reverse the byte order of every 32-bit word of a file.
#ifndef QUADFLIP_H
#define QUADFLIP_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

using word = std::uint32_t;

// Bytes moved per read and per write.  A multiple of 4, so a block holds
// whole words; a word split across two reads is carried to the next block.
constexpr std::size_t bufsize = std::size_t{1} << 17;

// value with its four bytes in reverse order.
word swap_word(word value);

// Reverses the bytes of each of the n words at p, in place; p need not be
// aligned.
void swap_words(unsigned char *p, std::size_t n);

// Copies infile to outfile with every whole 4-byte word byte-reversed; a
// final 1 to 3 bytes are dropped.  A read or write failure ends the process
// with status 1.
void convert_words(std::FILE *infile, std::FILE *outfile);

#endif
