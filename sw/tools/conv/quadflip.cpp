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
    std::FILE *in = os_open(inname);
    if (!in)
        fail("open");
    if (os_info(fileno(in)).kind == filekind::directory) {
        errno = EISDIR;
        fail("read");
    }
    return in;
}

// Whether the output names the input, whose kind is kind: opening it for
// writing would destroy the input before it is read, so a regular file is
// converted in place.  The same name counts as the same file even if
// another run has just put a new file there.  One FIFO or one block device
// as both files is refused: a FIFO would be fed its own output forever,
// and a device converted over itself is left part converted by any
// interruption, with nothing to say which part.  So is a file appended to
// itself, which would grow as it is read.
bool names_input(std::FILE *in, filekind kind, const char *inname,
                 const char *outname)
{
    const bool same = os_same_file(fileno(in), outname);
    if (same && kind == filekind::fifo)
        fail_because("open", "input and output are the same FIFO");
    if (same && kind == filekind::block)
        fail_because("open", "input and output are the same device");
    if (same && os_appends(outname))
        fail_because("open", "input and output are the same file");
    return kind == filekind::regular && (same || os_same_path(inname, outname));
}

// Opens the file that both paths name for a conversion in place, in place
// of the input as it was opened.  The tail of a file whose length is not
// whole words, dropped, would be lost for good.
std::FILE *open_in_place(std::FILE *in, const char *outname)
{
    (void)std::fclose(in);
    in = inplace_open(outname);
    if (os_info(fileno(in)).size % 4 != 0)
        fail_because("open", "the file's length is not a multiple of 4");
    return in;
}

// Opens the output, which is not the input as far as its identity shows.
// Where identity may not show every name, an existing file that cannot be
// told from the input is refused rather than emptied, since it may be the
// input under another name; unless it holds the result already, as when
// every word reads the same both ways (a blank image), which ends the run.
std::FILE *open_output(std::FILE *in, const char *outname)
{
    held found = held::other;
    std::FILE *out = os_create(outname, fileno(in), &found);
    if (found == held::result)
        std::exit(0);
    if (found == held::input)
        fail_because("open", "the output holds the same bytes as the input, "
                             "and may be the input under another name: "
                             "remove it, or choose another name");
    if (!out)
        fail("open");
    return out;
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
    const bool inplace =
        names_input(in, os_info(fileno(in)).kind, inname, outname);
    std::FILE *out = nullptr;
    if (inplace) {
        in = open_in_place(in, outname);
        out = inplace_temp();
    } else {
        out = open_output(in, outname);
    }

    convert_words(in, out);
    if (inplace)
        inplace_commit(in, out);
    else if (std::fflush(out) != 0 || std::fclose(out) != 0)
        fail("write"); // a write that failed only now, as on NFS
    std::exit(0);
}
