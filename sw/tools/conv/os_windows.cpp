// SPDX-License-Identifier: MIT
//
// What differs between systems for a run, on Windows, whether a processor
// is spare included.  Paths are UTF-8 inside the program and UTF-16 for
// the system: the command line is read as UTF-16, so that no name is
// turned into a look-alike in the ANSI code page.  Files have no inode
// numbers (the volume serial number and file index serve instead) and no
// holes to find.
#include "fail.h"
#include "fd.h"
#include "os.h"
#include "win_windows.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include <fcntl.h>
#include <io.h>
#include <shellapi.h>
#include <sys/stat.h>
#include <windows.h>

char **os_args(int *argc, char **argv)
{
    int n = 0;
    LPWSTR *wide = CommandLineToArgvW(GetCommandLineW(), &n);
    if (!wide || n < 1)
        return argv;
    static std::vector<std::string> args;
    static std::vector<char *> ptrs;
    for (int i = 0; i < n; ++i)
        args.push_back(win_narrow(wide[i]));
    for (std::string &a : args)
        ptrs.push_back(&a[0]);
    ptrs.push_back(nullptr);
    LocalFree(wide);
    *argc = n;
    return ptrs.data();
}

bool os_put_line(const char *text)
{
    // A console takes the characters themselves; a pipe or a file, the
    // UTF-8 bytes.
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (out != INVALID_HANDLE_VALUE && out != nullptr &&
        GetConsoleMode(out, &mode)) {
        if (std::fflush(stdout) != 0)
            return false;
        const std::wstring line = win_wide(text) + L"\r\n";
        DWORD put = 0;
        return WriteConsoleW(out, line.data(), static_cast<DWORD>(line.size()),
                             &put, nullptr) != 0;
    }
    return std::printf("%s\n", text) >= 0 && std::fflush(stdout) == 0;
}

// A console, and nothing else: _isatty holds for NUL too.
bool os_err_terminal()
{
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    return err != INVALID_HANDLE_VALUE && err != nullptr &&
           GetConsoleMode(err, &mode) != 0;
}

void os_start()
{
    for (int fd = 0; fd <= 2; ++fd)
        if (_get_osfhandle(fd) == -1) {
            int null = _open("NUL", _O_RDONLY);
            if (null >= 0 && null != fd) {
                (void)_dup2(null, fd);
                (void)_close(null);
            }
        }
}

ssize_t os_read(int fd, unsigned char *p, std::size_t n)
{
    return _read(fd, p, static_cast<unsigned>(n < INT_MAX ? n : INT_MAX));
}

ssize_t os_write(int fd, const unsigned char *p, std::size_t n)
{
    return _write(fd, p, static_cast<unsigned>(n < INT_MAX ? n : INT_MAX));
}

bool os_spare_cpu()
{
    DWORD_PTR mine = 0;
    DWORD_PTR system = 0;
    if (!GetProcessAffinityMask(GetCurrentProcess(), &mine, &system))
        return GetActiveProcessorCount(ALL_PROCESSOR_GROUPS) > 1;
    return (mine & (mine - 1)) != 0; // more than one bit set
}

fileinfo os_info(int fd)
{
    struct _stat64 st {
    };
    if (_fstat64(fd, &st) != 0)
        return {filekind::other, -1, false, false};
    BY_HANDLE_FILE_INFORMATION about{};
    if (GetFileType(win_handle(fd)) == FILE_TYPE_DISK &&
        GetFileInformationByHandle(win_handle(fd), &about) &&
        (about.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return {filekind::directory, -1, false, false};
    const auto type = st.st_mode & _S_IFMT;
    filekind kind = type == _S_IFREG   ? filekind::regular
                    : type == _S_IFDIR ? filekind::directory
                    : type == _S_IFIFO ? filekind::fifo
                                       : filekind::other;
    return {kind, st.st_size, false, false}; // no holes that can be found
}

namespace
{

// Opens the device at path (NUL, CON, COM1) for writing.  The console
// names, in a run that has no console, and a device that is not there
// are told as such rather than as a bad handle or a missing file.
std::FILE *open_device(const char *path, const std::wstring &device)
{
    HANDLE h = CreateFileW(win_wide(path).c_str(), GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD err = GetLastError();
        const bool console = _wcsicmp(device.c_str(), L"CON") == 0 ||
                             _wcsicmp(device.c_str(), L"CONOUT$") == 0 ||
                             _wcsicmp(device.c_str(), L"CONIN$") == 0;
        if (console && GetConsoleWindow() == nullptr)
            fail_because("open", "this run has no console to write to");
        win_errno(err);
        if (errno == ENOENT)
            errno = ENODEV;
        return nullptr;
    }
    fd file(
        _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | _O_BINARY));
    if (file.get() < 0) {
        CloseHandle(h);
        return nullptr;
    }
    return fd_stream(file, "wb");
}

} // namespace

// Every name of a file leads to its one file index, on FAT too: a file
// that is not the input by its identity is not the input.
std::FILE *os_create(const char *path, int /*in*/, bool *copy)
{
    *copy = false;
    std::wstring device;
    if (win_device(path, &device))
        return open_device(path, device);
    // Every other name in the form that holds beyond MAX_PATH.
    return _wfopen(win_long(path).c_str(), L"wb");
}

// The standard streams have no names on Windows.
bool os_appends(const char * /*path*/)
{
    return false;
}

std::FILE *os_open(const char *path)
{
    // Shared with every other use, removal and renaming included, so that
    // holding it open keeps no other run from replacing the file.  A folder
    // opens too, to be refused as one.
    HANDLE h = CreateFileW(
        win_long(path).c_str(), GENERIC_READ,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        win_errno(GetLastError());
        return nullptr;
    }
    fd file(
        _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDONLY | _O_BINARY));
    if (file.get() < 0) {
        CloseHandle(h);
        return nullptr;
    }
    return fd_stream(file, "rb");
}

bool os_same_fifo(const char * /*a*/, const char * /*b*/)
{
    return false; // no FIFOs with names in the file system
}

bool os_same_file(int fd, const char *path)
{
    return win_leads_to(path, win_handle(fd));
}

bool os_same_path(const char *a, const char *b)
{
    const std::wstring pa = win_file_path(a);
    return !pa.empty() && pa == win_file_path(b);
}

bool os_find_data(int /*fd*/, std::int64_t /*pos*/, std::int64_t * /*data*/,
                  std::int64_t * /*hole*/)
{
    errno = 0;
    return false;
}

bool os_seek(int fd, std::int64_t pos)
{
    return _lseeki64(fd, pos, SEEK_SET) >= 0;
}

bool os_truncate(int fd, std::int64_t length)
{
    return _chsize_s(fd, length) == 0;
}
