// SPDX-License-Identifier: MIT
//
// The temporary file that takes a file's place, on Windows:
// tempfile_windows.cpp.  It is made hidden, under a random name, in the
// file's folder, and put in the file's place by ReplaceFileW only once it
// is complete; until then tempfile_clear, which a failure runs, removes
// it, and tempfile_delete, which the console handler runs, has it removed
// when the process ends.
#ifndef QUADFLIP_TEMPFILE_WINDOWS_H
#define QUADFLIP_TEMPFILE_WINDOWS_H

#include <cstdio>
#include <string>

// The file's full path, once it has one; the stream it is written
// through, until it is closed.  named is the path while the file is
// there, and otherwise null: what tempfile_clear removes.
struct tempfile {
    std::wstring path;
    std::FILE *out = nullptr;
    const wchar_t *volatile named = nullptr;
};

// Makes the temporary file t, empty, in folder (a full path that ends in
// a backslash), and returns the stream to write it through, which t owns
// until tempfile_close; nullptr, with errno set, where it cannot.
std::FILE *tempfile_open(tempfile &t, const std::wstring &folder);

// Puts t's data on the disk and closes its stream; false, with errno set,
// if either failed.
bool tempfile_close(tempfile &t);

// How tempfile_put ended.  failed: errno says why, and the file to be
// replaced is as it was.  stuck: that file is gone, and t, complete, could
// not take its name: it stays under t.path, and t.named is null, so that
// nothing removes it.
enum class tempfile_outcome { done, failed, stuck };

// Puts the closed file t over the file at target, which its attributes,
// security, alternate data streams and creation time carry over to t.
tempfile_outcome tempfile_put(tempfile &t, const std::wstring &target);

// Removes t, if it is there, closing its stream first: an open file
// cannot be removed.
void tempfile_clear(tempfile &t);

// Has t removed, if it is there, once its stream is closed, as it is when
// the process ends; from another thread than the one writing it.
void tempfile_delete(const tempfile &t);

#endif
