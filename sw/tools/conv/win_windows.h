// SPDX-License-Identifier: MIT
//
// What the Windows files share, in win_windows.cpp: paths, which the rest
// of the program holds as UTF-8 and Windows takes as UTF-16; the errno
// nearest to a Windows error; and what a handle says of its file.
#ifndef QUADFLIP_WIN_WINDOWS_H
#define QUADFLIP_WIN_WINDOWS_H

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

// The form of path that the system takes beyond MAX_PATH: its full path
// as "\\?\C:\..." or "\\?\UNC\server\share\...", which no later step
// shortens or rewrites; a device name (CON, NUL, COM1) or a path already in
// that form as given.
std::wstring win_long(const char *path);

// Whether path names a device rather than a file, as the system reads it
// (CON, NUL, COM1, and on some versions "con.txt"); *name receives the
// device's name.
bool win_device(const char *path, std::wstring *name);

// Whether path leads to the file at h: the same volume and file index.
bool win_leads_to(const char *path, HANDLE h);

// Whether a and b describe one file: the same volume and file index.
bool win_same_id(const BY_HANDLE_FILE_INFORMATION &a,
                 const BY_HANDLE_FILE_INFORMATION &b);

// The full path of the file that path names, or an empty one with errno
// set.
std::wstring win_file_path(const char *path);

#endif
