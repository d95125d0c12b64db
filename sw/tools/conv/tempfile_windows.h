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
// there and nothing but a failure is to remove it, and otherwise null
// (during the replacement too): what tempfile_clear and tempfile_delete
// remove.  old is where the replacement puts what it takes out of the
// file's name: the path with ".old" added, which no other temporary
// file's name can be.
struct tempfile {
    std::wstring path;
    std::wstring old;
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

// How tempfile_put ended.  failed: errno says why.  changed: the name no
// longer held the caller's file.  Either way the name holds what it held,
// and t, if still there, keeps its name, for tempfile_clear.  Or what
// came out of the name is left at t.old, where nothing removes it: the
// caller's file, with t in its place (stuck_old) or with t not in place
// (unreplaced), or another file that had taken its place (stuck_other).
enum class tempfile_outcome {
    done,
    failed,
    changed,
    stuck_old,
    stuck_other,
    unreplaced
};

// Puts the closed file t over the file at target, which its attributes,
// security, alternate data streams and creation time carry over to t.
// What comes out of target goes to t.old; took_out says whether it is the
// caller's file.  If so it is removed; if not, or if it cannot be, it is
// put back.
tempfile_outcome tempfile_put(tempfile &t, const std::wstring &target,
                              bool (*took_out)(const std::wstring &old));

// Removes t, if it is there, closing its stream first: an open file
// cannot be removed.
void tempfile_clear(tempfile &t);

// Has t removed, if it is there, once its stream is closed, as it is when
// the process ends; from another thread than the one writing it.
void tempfile_delete(const tempfile &t);

#endif
