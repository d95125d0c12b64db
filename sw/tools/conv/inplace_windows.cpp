// SPDX-License-Identifier: MIT
//
// Converting a file in place on Windows.  The result goes to a hidden file
// beside the file, which ReplaceFileW puts over it, keeping the file's
// attributes, security, alternate data streams and creation time.  Runs of
// one file are serialised by a named mutex derived from its full path.
#include "os.h"
#include "quadflip.h"
#include "win.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace
{

// The in-place run: the file's full path, and its descriptor with what the
// file was once the run held it; the temporary file's path and stream.
std::wstring target;
int lockfd = -1;
BY_HANDLE_FILE_INFORMATION locked{};
FILE_BASIC_INFO lockedtimes{};
std::wstring tmppath;
const wchar_t *volatile tmpname; // what Ctrl-C must remove
std::FILE *tmpout;

// Removes the temporary file on Ctrl-C, Ctrl-Break or the console's
// closing, then lets the run end as it would have.
BOOL WINAPI interrupted(DWORD /*event*/)
{
    const wchar_t *name = tmpname;
    if (name)
        (void)DeleteFileW(name); // open with FILE_SHARE_DELETE: goes at exit
    return FALSE;
}

// The mutex that serialises in-place runs of the file at path: named after
// the path, letters folded to one case as the file system folds them.
HANDLE run_mutex(const std::wstring &path)
{
    std::wstring folded = path;
    (void)CharUpperBuffW(&folded[0], static_cast<DWORD>(folded.size()));
    std::uint64_t h = 14695981039346656037ULL; // FNV-1a
    for (wchar_t c : folded) {
        h ^= static_cast<std::uint16_t>(c);
        h *= 1099511628211ULL;
    }
    wchar_t name[64];
    (void)swprintf(name, 64, L"Local\\quadflip-%016llx",
                   static_cast<unsigned long long>(h));
    return CreateMutexW(nullptr, FALSE, name);
}

bool times_of(HANDLE h, FILE_BASIC_INFO *times)
{
    return GetFileInformationByHandleEx(h, FileBasicInfo, times,
                                        sizeof *times) != 0;
}

// Whether the file was written, touched, or its attributes changed since
// the run took it, or its path now leads to another file.
bool changed()
{
    BY_HANDLE_FILE_INFORMATION now{};
    FILE_BASIC_INFO times{};
    HANDLE h = win_handle(lockfd);
    return !GetFileInformationByHandle(h, &now) || !times_of(h, &times) ||
           now.dwVolumeSerialNumber != locked.dwVolumeSerialNumber ||
           now.nFileIndexHigh != locked.nFileIndexHigh ||
           now.nFileIndexLow != locked.nFileIndexLow ||
           now.nFileSizeHigh != locked.nFileSizeHigh ||
           now.nFileSizeLow != locked.nFileSizeLow ||
           now.dwFileAttributes != locked.dwFileAttributes ||
           times.LastWriteTime.QuadPart !=
               lockedtimes.LastWriteTime.QuadPart ||
           times.ChangeTime.QuadPart != lockedtimes.ChangeTime.QuadPart ||
           !os_same_file(lockfd, win_narrow(target).c_str());
}

} // namespace

std::FILE *inplace_open(const char *path)
{
    target = win_file_path(path);
    if (target.empty())
        fail("open");
    // Held until the process ends; a run that ended without releasing it
    // leaves it abandoned, which a waiting run takes all the same.
    HANDLE mutex = run_mutex(target);
    if (mutex)
        (void)WaitForSingleObject(mutex, INFINITE);
    // Opened only now, so that a run that waited converts what the run
    // before it left.
    HANDLE h = CreateFileW(target.c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE |
                               FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        win_errno(GetLastError());
        fail("open");
    }
    lockfd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDWR | _O_BINARY);
    if (lockfd < 0)
        fail("open");
    // No other program may write the file while it is converted.
    OVERLAPPED whole{};
    (void)LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole);
    if (!GetFileInformationByHandle(h, &locked) || !times_of(h, &lockedtimes)) {
        win_errno(GetLastError());
        fail("open");
    }
    std::FILE *in = _fdopen(lockfd, "rb");
    if (!in)
        fail("open");
    return in;
}

std::FILE *inplace_temp()
{
    (void)SetConsoleCtrlHandler(interrupted, TRUE);
    const std::wstring folder = target.substr(0, target.find_last_of(L'\\') + 1);
    HANDLE h = INVALID_HANDLE_VALUE;
    for (unsigned i = 0; h == INVALID_HANDLE_VALUE && i <= 1000; ++i) {
        tmppath = folder + L".quadflip." + std::to_wstring(GetCurrentProcessId()) +
                  L"." + std::to_wstring(i);
        h = CreateFileW(tmppath.c_str(), GENERIC_WRITE, FILE_SHARE_DELETE,
                        nullptr, CREATE_NEW, FILE_ATTRIBUTE_HIDDEN, nullptr);
        if (h == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS)
            break;
    }
    if (h == INVALID_HANDLE_VALUE) {
        win_errno(GetLastError());
        fail("open");
    }
    tmpname = tmppath.c_str();
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | _O_BINARY);
    tmpout = fd < 0 ? nullptr : _fdopen(fd, "wb");
    if (!tmpout)
        fail("open");
    return tmpout;
}

void inplace_commit(std::FILE *in, std::FILE *out)
{
    bool ok = std::fflush(out) == 0 && _commit(_fileno(out)) == 0;
    tmpout = nullptr;
    if (std::fclose(out) != 0 || !ok)
        fail("write");
    if (changed())
        fail_because("rename", "the file was changed during the run");

    // Not every implementation carries the attributes over (wine keeps the
    // result's own): the result takes the file's before it replaces it.
    const DWORD attrs = locked.dwFileAttributes &
                        (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                         FILE_ATTRIBUTE_ARCHIVE |
                         FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
    if (!SetFileAttributesW(tmppath.c_str(),
                            attrs != 0 ? attrs : FILE_ATTRIBUTE_NORMAL)) {
        win_errno(GetLastError());
        fail("chmod");
    }

    (void)std::fclose(in); // an open file cannot be replaced
    if (!ReplaceFileW(target.c_str(), tmppath.c_str(), nullptr,
                      REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)) {
        const DWORD err = GetLastError();
        // The file is gone and the result kept its own name: put it in the
        // file's place, or leave it where it is, complete.
        if (err == ERROR_UNABLE_TO_MOVE_REPLACEMENT &&
            !MoveFileExW(tmppath.c_str(), target.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            tmpname = nullptr;
            const std::string why =
                "the file could not be replaced; its conversion is " +
                win_narrow(tmppath);
            fail_because("rename", why.c_str());
        }
        if (err != ERROR_UNABLE_TO_MOVE_REPLACEMENT) {
            win_errno(err);
            fail("rename");
        }
    }
    tmpname = nullptr;
}

void inplace_abort()
{
    const wchar_t *name = tmpname;
    if (!name)
        return;
    if (tmpout) // an open file cannot be removed
        (void)std::fclose(tmpout);
    (void)DeleteFileW(name);
}
