// SPDX-License-Identifier: MIT
//
// The extended metadata of a file on POSIX systems: its access control
// list and its extended attributes.  meta_linux.cpp carries them over
// with Linux's attribute calls, meta_macos.cpp with fcopyfile(3);
// meta_none.cpp, for the BSDs and the portable build, carries over nothing
// and refuses a file that has any.
#ifndef QUADFLIP_META_H
#define QUADFLIP_META_H

// Gives the file at to the ACL and the extended attributes of the file at
// from, replacing whatever ACL it got from its folder's default.  Returns
// false, with errno set, if any of them cannot be carried over.
bool meta_copy(int from, int to);

// Whether meta_copy could carry everything over, looked at while the new
// file at to is still empty, so that a run that could not end well is
// refused before anything is written; false, with errno set, if not.  It
// may carry some of it over already: meta_copy is called all the same
// once the data is written.
bool meta_check(int from, int to);

#endif
