// SPDX-License-Identifier: MIT
//
// The extended metadata of a file on POSIX systems: its access control
// list and its extended attributes.  meta_acl.cpp carries them over with
// libacl and libattr; meta_plain.cpp, for builds without those libraries,
// carries over nothing and refuses a file that has any.
#ifndef QUADFLIP_META_H
#define QUADFLIP_META_H

// Gives the file at to the ACL and the extended attributes of the file at
// from, replacing whatever ACL it got from its folder's default.  Returns
// false, with errno set, if any of them cannot be carried over.
bool meta_copy(int from, int to);

// Whether meta_copy could carry everything over, looked at while the new
// file at to is still empty, so that a run that could not end well is
// refused before anything is written; false, with errno set, if not.  It
// changes nothing.
bool meta_check(int from, int to);

#endif
