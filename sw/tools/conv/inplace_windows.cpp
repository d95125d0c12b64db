// SPDX-License-Identifier: MIT
//
// Converting a file in place on Windows.  The result goes to a hidden file
// beside the file, which ReplaceFileW puts over it, keeping the file's
// attributes, security, alternate data streams and creation time.  No run
// waits for another, nor for any lock: of two runs at once, the second to
// finish finds the file changed.
#include "fail.h"
#include "inplace.h"
#include "inplace_shared.h"
#include "os.h"
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
struct inplace_run {
    std::wstring target;
    int file = -1;
    BY_HANDLE_FILE_INFORMATION snapshot{};
    FILE_BASIC_INFO times{};
    std::wstring tmppath;
    const wchar_t *volatile tmpname = nullptr; // what Ctrl-C must remove
    std::FILE *tmpout = nullptr;
};

// The one run of this process; the console handler and the failure exit
// reach it here.
inplace_run run;

// Removes the temporary file on Ctrl-C, Ctrl-Break or the console's
// closing, then lets the run end as it would have.
BOOL WINAPI interrupted(DWORD /*event*/)
{
    const wchar_t *name = run.tmpname;
    if (name)
        (void)DeleteFileW(name); // open with FILE_SHARE_DELETE: goes at exit
    return FALSE;
}

// Removes the temporary file when a failure ends the run.
void remove_temp()
{
    const wchar_t *name = run.tmpname;
    if (!name)
        return;
    if (run.tmpout) // an open file cannot be removed
        (void)std::fclose(run.tmpout);
    (void)DeleteFileW(name);
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
    const BY_HANDLE_FILE_INFORMATION &was = run.snapshot;
    BY_HANDLE_FILE_INFORMATION now{};
    FILE_BASIC_INFO times{};
    HANDLE h = win_handle(run.file);
    return !GetFileInformationByHandle(h, &now) || !times_of(h, &times) ||
           !win_same_id(now, was) || now.nFileSizeHigh != was.nFileSizeHigh ||
           now.nFileSizeLow != was.nFileSizeLow ||
           now.dwFileAttributes != was.dwFileAttributes ||
           times.LastWriteTime.QuadPart != run.times.LastWriteTime.QuadPart ||
           times.ChangeTime.QuadPart != run.times.ChangeTime.QuadPart ||
           !os_same_file(run.file, win_narrow(run.target).c_str());
}

// Puts the result over the file; the result keeps the file's attributes.
void replace()
{
    if (!ReplaceFileW(run.target.c_str(), run.tmppath.c_str(), nullptr,
                      REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)) {
        const DWORD err = GetLastError();
        // The file is gone and the result kept its own name: put it in the
        // file's place, or leave it where it is, complete.
        if (err == ERROR_UNABLE_TO_MOVE_REPLACEMENT &&
            !MoveFileExW(run.tmppath.c_str(), run.target.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            run.tmpname = nullptr;
            const std::string why =
                "the file could not be replaced; its conversion is " +
                win_narrow(run.tmppath);
            fail_because("rename", why.c_str());
        }
        if (err != ERROR_UNABLE_TO_MOVE_REPLACEMENT) {
            win_errno(err);
            fail("rename");
        }
    }
    run.tmpname = nullptr;
}

} // namespace

std::FILE *inplace_open(const char *path)
{
    run.target = win_file_path(path);
    if (run.target.empty())
        fail("open");
    HANDLE h =
        CreateFileW(run.target.c_str(), GENERIC_READ | GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        win_errno(GetLastError());
        fail("open");
    }
    run.file =
        _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDWR | _O_BINARY);
    if (run.file < 0)
        fail("open");
    if (!GetFileInformationByHandle(h, &run.snapshot) ||
        !times_of(h, &run.times)) {
        win_errno(GetLastError());
        fail("open");
    }
    // A read-only file could not be replaced: refused now, as the open of
    // a file without write permission is on POSIX systems, rather than
    // after the whole conversion.
    if (run.snapshot.dwFileAttributes & FILE_ATTRIBUTE_READONLY) {
        errno = EACCES;
        fail("open");
    }
    std::FILE *in = _fdopen(run.file, "rb");
    if (!in)
        fail("open");
    return in;
}

std::FILE *inplace_temp()
{
    (void)SetConsoleCtrlHandler(interrupted, TRUE);
    on_fail(remove_temp);
    const std::wstring folder =
        run.target.substr(0, run.target.find_last_of(L'\\') + 1);
    HANDLE h = INVALID_HANDLE_VALUE;
    if (!make_temp([&](const std::string &name) {
            run.tmppath = folder + win_wide(name.c_str());
            h = CreateFileW(run.tmppath.c_str(), GENERIC_WRITE,
                            FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_HIDDEN, nullptr);
            if (h == INVALID_HANDLE_VALUE)
                win_errno(GetLastError());
            return h != INVALID_HANDLE_VALUE;
        }))
        fail("open");
    run.tmpname = run.tmppath.c_str();
    int fd =
        _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | _O_BINARY);
    run.tmpout = fd < 0 ? nullptr : _fdopen(fd, "wb");
    if (!run.tmpout)
        fail("open");
    return run.tmpout;
}

void inplace_commit(std::FILE *in, std::FILE *out)
{
    bool ok = std::fflush(out) == 0 && _commit(_fileno(out)) == 0;
    run.tmpout = nullptr;
    if (std::fclose(out) != 0 || !ok)
        fail("write");
    if (changed())
        fail_changed();

    // Not every implementation carries the attributes over (wine keeps the
    // result's own): the result takes the file's before it replaces it.
    const DWORD attrs =
        run.snapshot.dwFileAttributes &
        (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
         FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
    if (!SetFileAttributesW(run.tmppath.c_str(),
                            attrs != 0 ? attrs : FILE_ATTRIBUTE_NORMAL)) {
        win_errno(GetLastError());
        fail("chmod");
    }
    (void)std::fclose(in); // an open file cannot be replaced
    replace();
}
