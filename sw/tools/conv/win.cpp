// SPDX-License-Identifier: MIT
//
// What the Windows files share: paths as UTF-8 and UTF-16, the errno
// nearest to a Windows error, and what a handle says of its file.
#include "win.h"

#include <cerrno>
#include <vector>

#include <io.h>

std::wstring win_wide(const char *utf8)
{
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
    std::wstring w(n > 0 ? static_cast<std::size_t>(n) : 1, L'\0');
    if (n <= 0 || MultiByteToWideChar(CP_UTF8, 0, utf8, -1, &w[0], n) != n)
        return std::wstring();
    w.resize(static_cast<std::size_t>(n) - 1);
    return w;
}

std::string win_narrow(const std::wstring &wide)
{
    if (wide.empty())
        return std::string();
    const int len = static_cast<int>(wide.size());
    int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), len, nullptr, 0,
                                nullptr, nullptr);
    std::string s(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
    if (n > 0)
        (void)WideCharToMultiByte(CP_UTF8, 0, wide.data(), len, &s[0], n,
                                  nullptr, nullptr);
    return s;
}

void win_errno(DWORD err)
{
    switch (err) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_BAD_NETPATH:
    case ERROR_INVALID_DRIVE:
        errno = ENOENT;
        break;
    case ERROR_ACCESS_DENIED:
    case ERROR_UNABLE_TO_REMOVE_REPLACED:
    case ERROR_UNABLE_TO_MOVE_REPLACEMENT:
    case ERROR_UNABLE_TO_MOVE_REPLACEMENT_2:
        errno = EACCES;
        break;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_USER_MAPPED_FILE:
        errno = EBUSY;
        break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        errno = ENOSPC;
        break;
    case ERROR_NOT_SAME_DEVICE:
        errno = EXDEV;
        break;
    case ERROR_WRITE_PROTECT:
        errno = EROFS;
        break;
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_BUFFER_OVERFLOW:
        errno = ENAMETOOLONG;
        break;
    case ERROR_DIRECTORY:
        errno = ENOTDIR;
        break;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        errno = EEXIST;
        break;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
        errno = ENOMEM;
        break;
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_PARAMETER:
        errno = EINVAL;
        break;
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_FUNCTION:
        errno = ENOSYS;
        break;
    default:
        errno = EIO;
        break;
    }
}

HANDLE win_handle(int fd)
{
    return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

std::wstring win_final_path(HANDLE h)
{
    std::vector<wchar_t> buf(32768);
    DWORD n = GetFinalPathNameByHandleW(
        h, buf.data(), static_cast<DWORD>(buf.size()), FILE_NAME_NORMALIZED);
    return n == 0 || n >= buf.size() ? std::wstring()
                                     : std::wstring(buf.data(), n);
}

HANDLE win_open_path(const char *path)
{
    return CreateFileW(win_wide(path).c_str(), 0,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                       nullptr);
}

bool win_same_id(const BY_HANDLE_FILE_INFORMATION &a,
                 const BY_HANDLE_FILE_INFORMATION &b)
{
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh &&
           a.nFileIndexLow == b.nFileIndexLow;
}

std::wstring win_file_path(const char *path)
{
    HANDLE h = win_open_path(path);
    if (h == INVALID_HANDLE_VALUE) {
        win_errno(GetLastError());
        return std::wstring();
    }
    std::wstring p = win_final_path(h);
    if (p.empty())
        win_errno(GetLastError());
    CloseHandle(h);
    return p;
}
