// SPDX-License-Identifier: MIT
//
// Converting a file in place on Windows.  The result goes to a hidden file
// beside the file (tempfile_windows.cpp), which ReplaceFileW puts over it,
// keeping the file's attributes, security, alternate data streams and
// creation time, and moving the file aside, where the run checks that it
// is the file it converted.  No run waits for another, nor for any lock:
// of two runs at once, the second to finish finds the file changed.
#include "fail.h"
#include "inplace.h"
#include "os.h"
#include "tempfile_windows.h"
#include "win_windows.h"

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
// file was once the run held it.
struct inplace_run {
    std::wstring target;
    int file = -1;
    BY_HANDLE_FILE_INFORMATION snapshot{};
    FILE_BASIC_INFO times{};
};

// The one run of this process, and its temporary file; the console handler
// and the failure exit reach them here.
inplace_run run;
tempfile temp;

// Removes the temporary file on Ctrl-C, Ctrl-Break or the console's
// closing, then lets the run end as it would have.
BOOL WINAPI interrupted(DWORD /*event*/)
{
    tempfile_delete(temp);
    return FALSE;
}

// Removes the temporary file when a failure ends the run.
void remove_temp()
{
    tempfile_clear(temp);
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

// Whether what the replacement took out of the file's name, now at old,
// is the file the run converted: the same file, of the same size and
// modification time (its change time moved with its name).
bool took_out(const std::wstring &old)
{
    HANDLE h = CreateFileW(
        old.c_str(), FILE_READ_ATTRIBUTES,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    const BY_HANDLE_FILE_INFORMATION &was = run.snapshot;
    BY_HANDLE_FILE_INFORMATION now{};
    const bool same = GetFileInformationByHandle(h, &now) &&
                      win_same_id(now, was) &&
                      now.nFileSizeHigh == was.nFileSizeHigh &&
                      now.nFileSizeLow == was.nFileSizeLow &&
                      now.ftLastWriteTime.dwLowDateTime ==
                          was.ftLastWriteTime.dwLowDateTime &&
                      now.ftLastWriteTime.dwHighDateTime ==
                          was.ftLastWriteTime.dwHighDateTime;
    CloseHandle(h);
    return same;
}

// Puts the result over the file; the result keeps the file's attributes.
// A file that the replacement left beside is named by its name there.
void replace()
{
    const tempfile_outcome got = tempfile_put(temp, run.target, took_out);
    if (got == tempfile_outcome::done)
        return;
    if (got == tempfile_outcome::changed)
        fail_changed();
    if (got == tempfile_outcome::failed)
        fail("rename");
    const std::string left =
        win_narrow(temp.old.substr(temp.old.find_last_of(L'\\') + 1));
    if (got == tempfile_outcome::stuck_old)
        fail_left_old(left.c_str());
    if (got == tempfile_outcome::stuck_other)
        fail_left_other(left.c_str());
    const std::string why =
        "the file could not be replaced, and its old data is now " + left;
    fail_because("rename", why.c_str());
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
    std::FILE *out = tempfile_open(temp, folder);
    if (!out)
        fail("open");
    return out;
}

// The output is the temporary file's own stream, which tempfile_close
// closes.
void inplace_commit(std::FILE *in, std::FILE * /*out*/)
{
    if (!tempfile_close(temp))
        fail("write");
    if (changed())
        fail_changed();

    // Not every implementation carries the attributes over (wine keeps the
    // result's own): the result takes the file's before it replaces it.
    const DWORD attrs =
        run.snapshot.dwFileAttributes &
        (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
         FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
    if (!SetFileAttributesW(temp.path.c_str(),
                            attrs != 0 ? attrs : FILE_ATTRIBUTE_NORMAL)) {
        win_errno(GetLastError());
        fail("chmod");
    }
    (void)std::fclose(in); // an open file cannot be replaced
    replace();
}
