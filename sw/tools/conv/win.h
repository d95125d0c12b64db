// SPDX-License-Identifier: MIT
//
// What os_windows.cpp and inplace_windows.cpp share: paths, which the
// rest of the program holds as UTF-8 and Windows takes as UTF-16, and the
// errno nearest to a Windows error.
#ifndef QUADFLIP_WIN_H
#define QUADFLIP_WIN_H

#include <string>

#include <windows.h>

std::wstring win_wide(const char *utf8);
std::string win_narrow(const std::wstring &wide);

// Sets errno to the value nearest to the Windows error err.
void win_errno(DWORD err);

HANDLE win_handle(int fd);

// The full path of the file at h, symbolic links followed ("\\?\C:\..."),
// or an empty one.
std::wstring win_final_path(HANDLE h);

// The full path of the file that path names, or an empty one with errno
// set.
std::wstring win_file_path(const char *path);

#endif
