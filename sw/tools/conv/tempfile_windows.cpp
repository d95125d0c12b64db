// SPDX-License-Identifier: MIT
//
// The temporary file that takes a file's place, on Windows: a hidden file
// beside the file, shared for deletion, which ReplaceFileW puts over the
// file, moving the file aside to be checked, then removed or put back.
#include "tempfile_windows.h"
#include "tempname.h"
#include "win_windows.h"

#include <cstdint>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

std::FILE *tempfile_open(tempfile &t, const std::wstring &folder)
{
    HANDLE h = INVALID_HANDLE_VALUE;
    if (!tempname_try([&](const std::string &name) {
            t.path = folder + win_wide(name.c_str());
            h = CreateFileW(t.path.c_str(), GENERIC_WRITE, FILE_SHARE_DELETE,
                            nullptr, CREATE_NEW, FILE_ATTRIBUTE_HIDDEN,
                            nullptr);
            if (h == INVALID_HANDLE_VALUE)
                win_errno(GetLastError());
            return h != INVALID_HANDLE_VALUE;
        }))
        return nullptr;
    t.named = t.path.c_str();
    int fd =
        _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | _O_BINARY);
    t.out = fd < 0 ? nullptr : _fdopen(fd, "wb");
    return t.out;
}

bool tempfile_close(tempfile &t)
{
    std::FILE *out = t.out;
    const bool ok = std::fflush(out) == 0 && _commit(_fileno(out)) == 0;
    t.out = nullptr;
    return std::fclose(out) == 0 && ok;
}

tempfile_outcome tempfile_put(tempfile &t, const std::wstring &target,
                              bool (*took_out)(const std::wstring &old))
{
    t.old = t.path + L".old";
    // Only this run removes t from now on: the console handler must not
    // take it from between the two moves of a replacement.
    t.named = nullptr;
    if (!ReplaceFileW(target.c_str(), t.path.c_str(), t.old.c_str(),
                      REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)) {
        const DWORD err = GetLastError();
        t.named = t.path.c_str();
        if (err == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) {
            // The file went to t.old, and t could not follow: the file
            // goes back, unless its name was taken meanwhile.
            if (!MoveFileExW(t.old.c_str(), target.c_str(),
                             MOVEFILE_WRITE_THROUGH))
                return tempfile_outcome::unreplaced;
        } else if ((err == ERROR_FILE_NOT_FOUND ||
                    err == ERROR_PATH_NOT_FOUND) &&
                   GetFileAttributesW(t.path.c_str()) !=
                       INVALID_FILE_ATTRIBUTES) {
            return tempfile_outcome::changed; // the file's name went
        }
        win_errno(err);
        return tempfile_outcome::failed;
    }
    // t is in place.  What came out must be the caller's file, which goes
    // (unless another replacement took it on already); anything else, or
    // a file that cannot go, is put back over t.
    const bool changed = !took_out(t.old);
    if (!changed &&
        (DeleteFileW(t.old.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND))
        return tempfile_outcome::done;
    const DWORD err = GetLastError();
    if (!MoveFileExW(t.old.c_str(), target.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return changed ? tempfile_outcome::stuck_other
                       : tempfile_outcome::stuck_old;
    if (changed)
        return tempfile_outcome::changed;
    win_errno(err);
    return tempfile_outcome::failed;
}

void tempfile_clear(tempfile &t)
{
    const wchar_t *name = t.named;
    if (!name)
        return;
    if (t.out)
        (void)std::fclose(t.out);
    t.out = nullptr;
    (void)DeleteFileW(name);
}

void tempfile_delete(const tempfile &t)
{
    const wchar_t *name = t.named;
    if (name)
        (void)DeleteFileW(name); // open with FILE_SHARE_DELETE: goes at exit
}
