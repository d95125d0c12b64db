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
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

// Whether the volume that holds the file at h gives each file one file
// index, whatever name it is reached by, for as long as it is open: the
// system's own local file systems, which number files themselves (NTFS,
// ReFS) or by the place of their entry in a folder (FAT, exFAT), so that
// every spelling of a name finds the one index.  Not a network share,
// whose indexes are the server's word, nor a file system of another maker.
bool lasting_identity(HANDLE h)
{
    FILE_REMOTE_PROTOCOL_INFO remote{};
    if (GetFileInformationByHandleEx(h, FileRemoteProtocolInfo, &remote,
                                     sizeof remote))
        return false; // told only of a file on a network share
    wchar_t type[MAX_PATH + 1] = {};
    if (!GetVolumeInformationByHandleW(h, nullptr, 0, nullptr, nullptr, nullptr,
                                       type, MAX_PATH + 1))
        return false;
    for (const wchar_t *known : {L"NTFS", L"ReFS", L"FAT", L"FAT32", L"exFAT"})
        if (std::wcscmp(type, known) == 0)
            return true;
    return false;
}

// What the file at b holds of the file at a, both size bytes long, read
// from their starts: held::other from the first byte that differs.  False
// with errno set where either cannot be read.
bool compare(int a, int b, std::int64_t size, held *found)
{
    static unsigned char block[2][1 << 16];
    bool same_both_ways = size % 4 == 0;
    *found = held::other;
    if (!os_seek(a, 0) || !os_seek(b, 0))
        return false;
    for (std::int64_t at = 0; at < size;) {
        const ssize_t n = os_read(a, block[0], sizeof block[0]);
        const ssize_t m =
            n <= 0 ? n : os_read(b, block[1], static_cast<std::size_t>(n));
        if (n < 0 || m < 0)
            return false;
        if (n == 0 || m != n || // cut short meanwhile
            std::memcmp(block[0], block[1], static_cast<std::size_t>(n)) != 0)
            return true;
        for (ssize_t i = 0; i + 3 < n && same_both_ways; i += 4)
            same_both_ways = block[0][i] == block[0][i + 3] &&
                             block[0][i + 1] == block[0][i + 2];
        same_both_ways = same_both_ways && n % 4 == 0;
        at += n;
    }
    *found = same_both_ways ? held::result : held::input;
    return true;
}

// The existing file at name, where it is a file of the input's length (not
// 0) on a volume whose identities cannot be relied on, opened for reading
// and writing without being cut; -1 otherwise.
int open_doubtful(const std::wstring &name, int in, std::int64_t *size)
{
    const fileinfo input = os_info(in);
    if (input.kind != filekind::regular || input.size <= 0)
        return -1;
    HANDLE h =
        CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return -1;
    BY_HANDLE_FILE_INFORMATION about{};
    LARGE_INTEGER length{};
    if (GetFileType(h) != FILE_TYPE_DISK ||
        !GetFileInformationByHandle(h, &about) ||
        (about.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        !GetFileSizeEx(h, &length) || length.QuadPart != input.size ||
        (lasting_identity(win_handle(in)) && lasting_identity(h))) {
        CloseHandle(h);
        return -1;
    }
    const int file =
        _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDWR | _O_BINARY);
    if (file < 0)
        CloseHandle(h);
    *size = length.QuadPart;
    return file;
}

} // namespace

// Where identity cannot be relied on, an existing output of the input's
// length is compared with it first, through the handle that then writes it.
std::FILE *os_create(const char *path, int in, held *found)
{
    *found = held::other;
    std::wstring device;
    if (win_device(path, &device))
        return open_device(path, device);
    // Every other name in the form that holds beyond MAX_PATH.
    const std::wstring name = win_long(path);
    std::int64_t size = 0;
    fd out(open_doubtful(name, in, &size));
    if (out.get() < 0)
        return _wfopen(name.c_str(), L"wb");
    const std::int64_t offset = _lseeki64(in, 0, SEEK_CUR);
    const bool ok = compare(in, out.get(), size, found);
    if (!os_seek(in, offset) || !ok || *found != held::other ||
        !os_seek(out.get(), 0) || !os_truncate(out.get(), 0))
        return nullptr;
    return fd_stream(out, "wb");
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
