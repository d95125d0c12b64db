// SPDX-License-Identifier: MIT
//
// quadflip: reverse the byte order of every 32-bit word of a file.
//
//   quadflip infile outfile [-b]
//
// Each path is printed as its file is opened.  Every failure is told once on
// standard error and ends the run with status 1.
#include "convert.h"
#include "fail.h"
#include "inplace.h"
#include "os.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{

// Writes path on a line of standard output before its file is opened, so
// that the line is out even if the open blocks or the run is killed, and
// comes before anything written to the same place.
void announce(const char *path)
{
    if (!os_put_line(path))
        fail("write");
}

// Opens the input, refusing one FIFO as both files (it would be fed its own
// output forever) before the open, which would wait for a writer, and a
// folder after it, before the output is touched: a typo must not empty it.
std::FILE *open_input(const char *inname, const char *outname)
{
    announce(inname);
    if (os_same_fifo(inname, outname)) {
        announce(outname);
        fail_because("open", "input and output are the same FIFO");
    }
    std::FILE *in = os_open(inname, false);
    if (!in)
        fail("open");
    if (os_info(fileno(in)).kind == filekind::directory) {
        errno = EISDIR;
        fail("read");
    }
    return in;
}

// Whether the output names the input, whose kind is kind: opening it for
// writing would destroy the input before it is read.  The same name counts
// as the same file even if another run has just put a new file there.  One
// FIFO or one block device as both files is refused: a FIFO would be fed
// its own output forever, and a device converted over itself is left part
// converted by any interruption, with nothing to say which part.
bool names_input(std::FILE *in, filekind kind, const char *inname,
                 const char *outname)
{
    const bool same = os_same_file(fileno(in), outname);
    if (same && kind == filekind::fifo)
        fail_because("open", "input and output are the same FIFO");
    if (same && kind == filekind::block)
        fail_because("open", "input and output are the same device");
    return kind == filekind::regular && (same || os_same_path(inname, outname));
}

// The file that the output replaces once the conversion is complete,
// rather than being written as it goes: the input itself, converted in
// place; or an existing output that might be the input under a name that
// its identity does not show, which must not be cut before the input is
// read.  Null when the output is written directly.
std::FILE *replaced_file(std::FILE **in, const char *inname,
                         const char *outname)
{
    const filekind kind = os_info(fileno(*in)).kind;
    if (names_input(*in, kind, inname, outname)) {
        (void)std::fclose(*in);
        *in = inplace_open(outname);
        return *in;
    }
    if (kind == filekind::regular && os_may_be_same(fileno(*in), outname))
        return inplace_open(outname);
    return nullptr;
}

} // namespace

int main(int argc, char *argv[])
{
    argv = os_args(&argc, argv);
    if (argc < 3)
        std::exit(1);
    if (argc > 3 && std::strcmp(argv[3], "-b") != 0) {
        (void)std::fprintf(stderr, "%s: bad arg %s\n", argv[0], argv[3]);
        std::exit(1);
    }
    os_start();

    const char *inname = argv[1];
    const char *outname = argv[2];
    std::FILE *in = open_input(inname, outname);
    announce(outname);
    std::FILE *out = nullptr;
    std::FILE *replaced = replaced_file(&in, inname, outname);
    if (replaced) {
        // The tail of a file whose length is not whole words, dropped,
        // would be lost for good.
        if (os_info(fileno(in)).size % 4 != 0)
            fail_because("open", "the file's length is not a multiple of 4");
        out = inplace_temp();
    } else if (!(out = os_open(outname, true))) {
        fail("open");
    }

    convert_words(in, out);
    if (replaced)
        inplace_commit(replaced, out);
    else if (std::fflush(out) != 0 || std::fclose(out) != 0)
        fail("write"); // a write that failed only now, as on NFS
    std::exit(0);
}
