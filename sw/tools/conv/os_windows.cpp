// SPDX-License-Identifier: MIT
//
// Windows.  Files have no inode numbers (the volume serial number and file
// index serve instead), an open file cannot be replaced, and there are no
// holes to find.
#include "os.h"
#include "quadflip.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

namespace
{

// The in-place run: the file's path and its descriptor, locked, with what
// it was when the lock was taken; the temporary file and its stream.
std::string target;
int lockfd = -1;
BY_HANDLE_FILE_INFORMATION locked{};
std::string tmppath;
const char *tmpname;
std::FILE *tmpout;

HANDLE handle(int fd)
{
    return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

HANDLE open_path(const char *path, DWORD flags)
{
    return CreateFileA(path, 0,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, flags, nullptr);
}

bool info(HANDLE h, BY_HANDLE_FILE_INFORMATION *i)
{
    return GetFileInformationByHandle(h, i) != 0;
}

bool same_id(const BY_HANDLE_FILE_INFORMATION &a,
             const BY_HANDLE_FILE_INFORMATION &b)
{
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh &&
           a.nFileIndexLow == b.nFileIndexLow;
}

// The path of the file that path names, symbolic links followed; empty if
// there is none.
std::string final_path(const char *path)
{
    HANDLE h = open_path(path, FILE_FLAG_BACKUP_SEMANTICS);
    char buf[32768];
    DWORD n = h == INVALID_HANDLE_VALUE
                  ? 0
                  : GetFinalPathNameByHandleA(h, buf, sizeof buf,
                                              FILE_NAME_NORMALIZED);
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
    return n == 0 || n >= sizeof buf ? std::string() : std::string(buf, n);
}

std::string file_path(const char *path)
{
    std::string p = final_path(path);
    if (p.empty()) {
        errno = ENOENT;
        fail("open");
    }
    return p;
}

} // namespace

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

fileinfo os_info(int fd)
{
    struct _stat64 st {
    };
    if (_fstat64(fd, &st) != 0)
        return {filekind::other, -1, false};
    const auto type = st.st_mode & _S_IFMT;
    filekind kind = type == _S_IFREG   ? filekind::regular
                    : type == _S_IFDIR ? filekind::directory
                    : type == _S_IFIFO ? filekind::fifo
                                       : filekind::other;
    return {kind, st.st_size, false}; // no holes that can be found
}

std::FILE *os_open(const char *path, bool write)
{
    return std::fopen(path, write ? "wb" : "rb");
}

bool os_same_fifo(const char * /*a*/, const char * /*b*/)
{
    return false; // no FIFOs with names in the file system
}

bool os_same_file(int fd, const char *path)
{
    HANDLE out = open_path(path, FILE_ATTRIBUTE_NORMAL);
    if (out == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION a{};
    BY_HANDLE_FILE_INFORMATION b{};
    bool same = info(handle(fd), &a) && info(out, &b) && same_id(a, b);
    CloseHandle(out);
    return same;
}

bool os_same_path(const char *a, const char *b)
{
    const std::string pa = final_path(a);
    return !pa.empty() && pa == final_path(b);
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

std::FILE *inplace_open(const char *path)
{
    target = file_path(path);
    lockfd = _open(target.c_str(), _O_RDWR | _O_BINARY);
    if (lockfd < 0)
        fail("open");
    // Another run that holds the file open keeps this run from replacing
    // it, and the check before the replacement stands guard against any
    // other program.
    OVERLAPPED whole{};
    (void)LockFileEx(handle(lockfd), LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD,
                     MAXDWORD, &whole);
    if (!info(handle(lockfd), &locked)) {
        errno = EACCES;
        fail("open");
    }
    std::FILE *in = _fdopen(lockfd, "rb");
    if (!in)
        fail("open");
    return in;
}

std::FILE *inplace_temp()
{
    tmppath = target.substr(0, target.find_last_of("/\\") + 1) +
              ".quadflip.XXXXXX";
    int fd = mkstemp(tmppath.data());
    if (fd < 0)
        fail("open");
    tmpname = tmppath.c_str();
    tmpout = _fdopen(fd, "wb");
    if (!tmpout)
        fail("open");
    return tmpout; // with the runner's default attributes
}

void inplace_commit(std::FILE *in, std::FILE *out)
{
    bool ok = std::fflush(out) == 0 && _commit(_fileno(out)) == 0;
    tmpout = nullptr;
    if (std::fclose(out) != 0 || !ok)
        fail("write");

    BY_HANDLE_FILE_INFORMATION now{};
    if (!info(handle(lockfd), &now) || !same_id(now, locked) ||
        now.nFileSizeHigh != locked.nFileSizeHigh ||
        now.nFileSizeLow != locked.nFileSizeLow ||
        CompareFileTime(&now.ftLastWriteTime, &locked.ftLastWriteTime) != 0 ||
        !os_same_file(lockfd, target.c_str()))
        fail_because("rename", "the file was changed during the run");

    (void)std::fclose(in); // an open file cannot be replaced
    if (!MoveFileExA(tmpname, target.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        errno = EACCES;
        fail("rename");
    }
    tmpname = nullptr;
}

void inplace_abort()
{
    if (!tmpname)
        return;
    if (tmpout) // an open file cannot be removed
        (void)std::fclose(tmpout);
    (void)std::remove(tmpname);
}
