// SPDX-License-Identifier: MIT
//
// A watch on a file for any change made to it: its data, its metadata, its
// name.  watch_inotify.cpp (Linux), watch_kqueue.cpp (macOS and the BSDs)
// and watch_none.cpp (elsewhere: the comparison of the file's status
// alone stands guard).
#ifndef QUADFLIP_WATCH_H
#define QUADFLIP_WATCH_H

// Starts watching the file open at fd; -1 where the system has no such
// watch, or no room for one more.
int watch_open(int fd);

// Whether the watch w has seen a change since it started, or has gone
// away and can no longer tell.
bool watch_seen(int w);

#endif
