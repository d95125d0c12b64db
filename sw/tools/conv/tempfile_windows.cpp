// SPDX-License-Identifier: MIT
//
// The temporary file that takes a file's place, on Windows: a hidden file
// beside the file, shared for deletion, which ReplaceFileW puts over the
// file.
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

tempfile_outcome tempfile_put(tempfile &t, const std::wstring &target)
{
    if (!ReplaceFileW(target.c_str(), t.path.c_str(), nullptr,
                      REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)) {
        const DWORD err = GetLastError();
        if (err != ERROR_UNABLE_TO_MOVE_REPLACEMENT) {
            win_errno(err);
            return tempfile_outcome::failed;
        }
        // The file is gone and t kept its own name: put it in the file's
        // place, or leave it where it is, complete.
        if (!MoveFileExW(t.path.c_str(), target.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            t.named = nullptr;
            return tempfile_outcome::stuck;
        }
    }
    t.named = nullptr;
    return tempfile_outcome::done;
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
