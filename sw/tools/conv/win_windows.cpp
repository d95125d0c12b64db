// SPDX-License-Identifier: MIT
//
// What the Windows files share: paths as UTF-8 and UTF-16, the errno
// nearest to a Windows error, and what a handle says of its file.
#include "win_windows.h"

#include <cerrno>
#include <cwchar>
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

namespace
{

bool starts(const std::wstring &s, const wchar_t *prefix)
{
    return s.compare(0, std::wcslen(prefix), prefix) == 0;
}

// The full path that the system makes of path, or an empty one.
std::wstring full_path(const std::wstring &path)
{
    const DWORD n = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (n == 0)
        return std::wstring();
    std::wstring full(n, L'\0');
    const DWORD got = GetFullPathNameW(path.c_str(), n, &full[0], nullptr);
    if (got == 0 || got >= n)
        return std::wstring();
    full.resize(got);
    return full;
}

// The name of the device that path names, or an empty one.  CreateFileW
// takes CONIN$ and CONOUT$ for the console by their names alone; every
// other device name (CON, NUL, AUX, COM1, in some versions with an
// extension or in a folder too) the full path shows as "\\.\NAME".
std::wstring device_name(const std::wstring &path)
{
    if (_wcsicmp(path.c_str(), L"CONIN$") == 0 ||
        _wcsicmp(path.c_str(), L"CONOUT$") == 0)
        return path;
    if (starts(path, L"\\\\?\\"))
        return std::wstring();
    const std::wstring full = starts(path, L"\\\\.\\") ? path : full_path(path);
    return starts(full, L"\\\\.\\") ? full.substr(4) : std::wstring();
}

} // namespace

std::wstring win_long(const char *path)
{
    const std::wstring given = win_wide(path);
    if (starts(given, L"\\\\?\\") || !device_name(given).empty())
        return given;
    const std::wstring full = full_path(given);
    if (full.size() > 2 && full[1] == L':' && full[2] == L'\\')
        return L"\\\\?\\" + full;
    if (starts(full, L"\\\\"))
        return L"\\\\?\\UNC\\" + full.substr(2);
    return given;
}

bool win_device(const char *path, std::wstring *name)
{
    *name = device_name(win_wide(path));
    return !name->empty();
}

bool win_same_id(const BY_HANDLE_FILE_INFORMATION &a,
                 const BY_HANDLE_FILE_INFORMATION &b)
{
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh &&
           a.nFileIndexLow == b.nFileIndexLow;
}

namespace
{

// The path of the file at h on its volume ("\dir\file"), or an empty one.
std::wstring volume_path(HANDLE h)
{
    std::vector<DWORD> buf((sizeof(FILE_NAME_INFO) + 32768 * sizeof(wchar_t)) /
                           sizeof(DWORD));
    auto *info = reinterpret_cast<FILE_NAME_INFO *>(buf.data());
    if (!GetFileInformationByHandleEx(
            h, FileNameInfo, info,
            static_cast<DWORD>(buf.size() * sizeof(DWORD))))
        return std::wstring();
    return std::wstring(info->FileName, info->FileNameLength / sizeof(wchar_t));
}

// A handle on the file or folder at path for looking at it, shared with
// every other use of it, removal included.
HANDLE open_for_looking(const std::wstring &path)
{
    return CreateFileW(
        path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// Whether path leads to the file at h.
bool leads_to(const std::wstring &path, HANDLE h)
{
    HANDLE other = open_for_looking(path);
    if (other == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION a{};
    BY_HANDLE_FILE_INFORMATION b{};
    const bool same = GetFileInformationByHandle(h, &a) &&
                      GetFileInformationByHandle(other, &b) &&
                      win_same_id(a, b);
    CloseHandle(other);
    return same;
}

} // namespace

bool win_leads_to(const char *path, HANDLE h)
{
    return leads_to(win_long(path), h);
}

std::wstring win_file_path(const char *path)
{
    const std::wstring given = win_long(path);
    HANDLE h = open_for_looking(given);
    if (h == INVALID_HANDLE_VALUE) {
        win_errno(GetLastError());
        return std::wstring();
    }
    std::wstring p = win_final_path(h);
    const DWORD err = GetLastError();
    // Not every implementation gives a final path beyond MAX_PATH (wine
    // does not): the file's path on its volume then serves, on the drive
    // that the name given starts on, once it is seen to lead to the file.
    if (p.empty() && starts(given, L"\\\\?\\") && given.size() > 6 &&
        given[5] == L':') {
        const std::wstring on_volume = volume_path(h);
        if (!on_volume.empty() && on_volume[0] == L'\\' &&
            leads_to(given.substr(0, 6) + on_volume, h))
            p = given.substr(0, 6) + on_volume;
    }
    if (p.empty())
        win_errno(err);
    CloseHandle(h);
    return p;
}
