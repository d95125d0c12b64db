// SPDX-License-Identifier: MIT
//
// What differs between the systems quadflip runs on for a run.  Each
// family has a source file of its own, os_posix.cpp and os_windows.cpp;
// the build compiles the one its target needs.  Whether a spare processor
// is at hand is told on POSIX systems by cpus_posix.cpp, on Windows by
// os_windows.cpp.
#ifndef QUADFLIP_OS_H
#define QUADFLIP_OS_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include <sys/types.h>

// The command line as UTF-8 strings, where the system hands it over in
// another form (Windows: UTF-16); elsewhere argv itself.
char **os_args(int *argc, char **argv);

// Readies the process before anything is opened: a standard descriptor
// that is closed is opened on the null device, so that no file can take
// its number and receive messages or path lines, and a reader that goes
// away or a file-size limit becomes a failed write rather than a silent
// death by signal.
void os_start();

// Writes text and a line end on standard output, flushed; false if that
// failed.  A console shows the characters that the UTF-8 bytes stand for.
bool os_put_line(const char *text);

// Whether standard error is a terminal (on Windows, a console), where a
// line written over and over can show how far a run has got.
bool os_err_terminal();

// Opens the file at path for reading, in binary mode.  A name of one of
// the process's own descriptors (/dev/stdin, /dev/fd/N) that is a socket,
// which cannot be opened by name, gives a copy of that descriptor.
std::FILE *os_open(const char *path);

// What an existing output of the input's length, on a file system whose
// identities do not show every name of a file, was found to hold.
enum class held {
    other,  // not the input's bytes: it is written as any output is
    input,  // the input's bytes, so it may be the input under another name
    result, // the input's bytes, whose every word reads the same both
            // ways: the output already holds the result
};

// Opens the file at path for writing, in binary mode, created if absent
// and emptied if present; a name of one of the process's own descriptors
// that is open for appending is opened for appending, so that nothing
// written there before is cut, and one that is a socket gives a copy of
// it.  Where the existing file and the regular file open at in both lie on
// file systems that give every file one identity under all its names, that
// identity has already told them apart, and no byte is compared.
// Elsewhere (an overlay, FUSE, a network file system, any not known) an
// existing regular file of in's length, not 0, that holds every byte the
// same cannot be told from the input under a name that its identity does
// not show (an overlay's upper folder, another spelling on FAT through
// FUSE): it is left as it was, null returned, *found saying so.
std::FILE *os_create(const char *path, int in, held *found);

// Whether path names one of the process's own descriptors that is open
// for appending (a standard output redirected with >>).
bool os_appends(const char *path);

// Whether the paths a and b name one FIFO; looked at before either is
// opened, since opening a FIFO waits for its other end.
bool os_same_fifo(const char *a, const char *b);

// One read(2) or write(2), retried when a signal interrupts it.
ssize_t os_read(int fd, unsigned char *p, std::size_t n);
ssize_t os_write(int fd, const unsigned char *p, std::size_t n);

// Whether a second thread would have a processor of its own: this process
// may run on two or more (its affinity, and its control group's CPU
// quota), and one of those is idle now.  Looked at once, before a run of
// more than one block.
bool os_spare_cpu();

enum class filekind { regular, directory, fifo, block, other };

// What the system says of the file at fd, in one look: its kind; its
// length, or -1 if it cannot be told; whether it may have holes, that is,
// takes less room than its length (the test that cp makes; files of /proc
// and the like, which say they are empty and are not, have none); and
// whether fd writes at the end whatever its offset (O_APPEND).
struct fileinfo {
    filekind kind;
    std::int64_t size;
    bool holes;
    bool append;
};
fileinfo os_info(int fd);

// Whether path names the file open at fd: the same file, or for a block
// device the same device under any name.
bool os_same_file(int fd, const char *path);

// Whether the paths a and b lead to one existing name, symbolic links
// followed: that name is one file, whichever file it is at the moment.
bool os_same_path(const char *a, const char *b);

// Finds the first data at or after pos in the regular file at fd:
// *data receives its start and *hole the end of that run of data; both are
// the file's length when no data follows.  Returns false where the system
// cannot tell holes from data.  Sets errno and returns false on failure too:
// errno is 0 when holes are merely not supported.
bool os_find_data(int fd, std::int64_t pos, std::int64_t *data,
                  std::int64_t *hole);
bool os_seek(int fd, std::int64_t pos);
bool os_truncate(int fd, std::int64_t length);

#endif
