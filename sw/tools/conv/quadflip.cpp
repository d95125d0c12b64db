// quadflip: reverse the byte order of every 32-bit word of a file.
//
//   quadflip infile outfile [-b]
//
// Each path is printed as its file is opened.  Every failure is told once on
// standard error and ends the run with status 1.

#include "quadflip.h"

#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace
{

// The temporary file of an in-place run, from its creation until it has
// been renamed over the original; removed on any failure.
std::string tmppath;
const char *volatile tmpname;
std::FILE *tmpout; // its stream while open

void remove_temp()
{
    if (!tmpname)
        return;
    if (tmpout) // Windows removes no file that is open
        (void)std::fclose(tmpout);
    (void)std::remove(tmpname);
}

[[noreturn]] void fail(const char *op)
{
    std::perror(op);
    remove_temp();
    std::exit(1);
}

// Writes path on a line of standard output.  A failure shows in
// ferror(stdout), which is checked before success is told.
void announce(const char *path)
{
    (void)std::printf("%s\n", path);
}

#ifdef _WIN32

ssize_t sys_read(int fd, unsigned char *p, std::size_t n)
{
    return _read(fd, p, static_cast<unsigned>(n));
}

ssize_t sys_write(int fd, const unsigned char *p, std::size_t n)
{
    return _write(fd, p, static_cast<unsigned>(n));
}

int sys_sync(int fd)
{
    return _commit(fd);
}

const char *const separators = "/\\";

// Whether path names the file that is open as infile (st receives its
// status).  Windows has no inode numbers; its file index serves instead.
bool same_file(std::FILE *infile, const char *path, struct stat *st)
{
    HANDLE in = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(infile)));
    HANDLE out = CreateFileA(
        path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION a{};
    BY_HANDLE_FILE_INFORMATION b{};
    bool same = fstat(_fileno(infile), st) == 0 && S_ISREG(st->st_mode) &&
                GetFileInformationByHandle(in, &a) &&
                GetFileInformationByHandle(out, &b) &&
                a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
                a.nFileIndexHigh == b.nFileIndexHigh &&
                a.nFileIndexLow == b.nFileIndexLow;
    CloseHandle(out);
    return same;
}

// The path of the file that path names, symbolic links followed.
std::string file_path(const char *path)
{
    HANDLE h = CreateFileA(
        path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    char buf[32768];
    DWORD n = h == INVALID_HANDLE_VALUE
                  ? 0
                  : GetFinalPathNameByHandleA(h, buf, sizeof buf,
                                              FILE_NAME_NORMALIZED);
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
    if (n == 0 || n >= sizeof buf) {
        errno = ENOENT;
        fail("open");
    }
    return std::string(buf, n);
}

// The new file has the runner's default permissions.
void take_owner_and_mode(int /*fd*/, const struct stat & /*st*/) {}

bool replace(const char *from, const char *to)
{
    if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING))
        return true;
    errno = EACCES;
    return false;
}

#else

ssize_t sys_read(int fd, unsigned char *p, std::size_t n)
{
    return read(fd, p, n);
}

ssize_t sys_write(int fd, const unsigned char *p, std::size_t n)
{
    return write(fd, p, n);
}

int sys_sync(int fd)
{
    return fsync(fd);
}

const char *const separators = "/";

// Whether path names the regular file that is open as infile (st receives
// its status).
bool same_file(std::FILE *infile, const char *path, struct stat *st)
{
    struct stat out {
    };
    return fstat(fileno(infile), st) == 0 && S_ISREG(st->st_mode) &&
           stat(path, &out) == 0 && out.st_dev == st->st_dev &&
           out.st_ino == st->st_ino;
}

// The path of the file that path names, symbolic links followed.
std::string file_path(const char *path)
{
    char *real = realpath(path, nullptr);
    if (!real)
        fail("open");
    std::string s = real;
    std::free(real);
    return s;
}

extern "C" void interrupted(int sig)
{
    if (tmpname)
        unlink(tmpname);
    (void)std::signal(sig, SIG_DFL);
    (void)std::raise(sig);
}

// Gives the new file at fd the owner and permissions of the file whose
// status is st, and removes it if the run is stopped by a signal.
void take_owner_and_mode(int fd, const struct stat &st)
{
    for (int sig : {SIGHUP, SIGINT, SIGTERM})
        (void)std::signal(sig, interrupted);
    // Keeping the owner works only with the privilege to give files away;
    // without it the file stays the runner's, as any new file would.
    (void)!fchown(fd, st.st_uid, st.st_gid);
    if (fchmod(fd, st.st_mode & 07777) != 0)
        fail("chmod");
}

bool replace(const char *from, const char *to)
{
    return std::rename(from, to) == 0;
}

#endif

// Opens the output.  When outfilename names the regular file open as
// infile, opening it for writing would destroy the input before it is
// read: the result goes instead to a new temporary file beside the file
// itself, and target receives the file's path, to be replaced at the end.
std::FILE *open_output(std::FILE *infile, const char *outfilename,
                       std::string &target)
{
    struct stat st {
    };
    if (!same_file(infile, outfilename, &st))
        return std::fopen(outfilename, "wb");

    target = file_path(outfilename);
    tmppath = target.substr(0, target.find_last_of(separators) + 1) +
              ".quadflip.XXXXXX";
    int fd = mkstemp(tmppath.data());
    if (fd < 0)
        fail("open");
    tmpname = tmppath.c_str();
    take_owner_and_mode(fd, st);
    tmpout = fdopen(fd, "wb");
    if (!tmpout)
        fail("open");
    return tmpout;
}

// Completes the output: flushes it, to the disk too when durable, and
// closes it, so that any write that failed is known before success is told.
void finish(std::FILE *outfile, bool durable)
{
    bool ok = std::fflush(outfile) == 0 &&
              (!durable || sys_sync(fileno(outfile)) == 0);
    int err = errno;
    tmpout = nullptr;
    if (std::fclose(outfile) != 0 && ok) {
        ok = false;
        err = errno;
    }
    errno = err;
    if (!ok)
        fail("write");
}

// Reads what the input has, up to n bytes: 0 at its end, -1 on failure.
ssize_t read_some(int fd, unsigned char *p, std::size_t n)
{
    ssize_t got;
    do
        got = sys_read(fd, p, n);
    while (got < 0 && errno == EINTR);
    return got;
}

bool write_all(int fd, const unsigned char *p, std::size_t n)
{
    while (n != 0) {
        ssize_t put = sys_write(fd, p, n);
        if (put < 0 && errno == EINTR)
            continue;
        if (put == 0)
            errno = EIO; // no progress and no reason given
        if (put <= 0)
            return false;
        p += put;
        n -= static_cast<std::size_t>(put);
    }
    return true;
}

// The blocks in flight between this thread, which reads and swaps them,
// and the writing thread.  Block k sits in ring[k % nblocks].
struct queue {
    std::mutex m;
    std::condition_variable cv;
    std::size_t len[nblocks] = {};
    std::size_t filled = 0;  // blocks handed to the writer so far
    std::size_t written = 0; // blocks the writer has finished
    bool done = false;       // no block will follow
    int err = 0;             // errno of the writer's failed write
};

alignas(64) unsigned char ring[nblocks][bufsize];

void write_blocks(queue &q, int out)
{
    std::unique_lock<std::mutex> lock(q.m);
    for (;;) {
        q.cv.wait(lock, [&] { return q.written < q.filled || q.done; });
        if (q.written == q.filled)
            return;
        std::size_t k = q.written % nblocks;
        lock.unlock();
        bool ok = write_all(out, ring[k], q.len[k]);
        int err = errno;
        lock.lock();
        if (!ok) {
            q.err = err;
            q.cv.notify_all();
            return;
        }
        ++q.written;
        q.cv.notify_all();
    }
}

} // namespace

void convert_words(std::FILE *infile, std::FILE *outfile)
{
    int in = fileno(infile);
    queue q;
    std::thread writer;
    try {
        writer = std::thread(write_blocks, std::ref(q), fileno(outfile));
    } catch (const std::system_error &e) {
        errno = e.code().value();
        fail("thread");
    }

    unsigned char carry[4]; // the start of a word split between two reads
    std::size_t ncarry = 0;
    int readerr = 0;
    for (std::size_t k = 0;; k = (k + 1) % nblocks) {
        {
            std::unique_lock<std::mutex> lock(q.m);
            q.cv.wait(lock,
                      [&] { return q.filled - q.written < nblocks || q.err; });
            if (q.err)
                break;
        }
        unsigned char *block = ring[k];
        std::memcpy(block, carry, ncarry);
        ssize_t got = read_some(in, block + ncarry, bufsize - ncarry);
        if (got <= 0) {
            readerr = got < 0 ? errno : 0;
            break; // at the end, a partial word is dropped
        }
        std::size_t have = ncarry + static_cast<std::size_t>(got);
        std::size_t whole = have - have % 4;
        ncarry = have - whole;
        std::memcpy(carry, block + whole, ncarry);
        swap_words(block, whole / 4);
        std::lock_guard<std::mutex> lock(q.m);
        q.len[k] = whole;
        ++q.filled;
        q.cv.notify_all();
    }
    {
        std::lock_guard<std::mutex> lock(q.m);
        q.done = true;
        q.cv.notify_all();
    }
    writer.join();
    errno = readerr ? readerr : q.err;
    if (readerr)
        fail("read");
    if (q.err)
        fail("write");
}

int main(int argc, char *argv[])
{
    if (argc < 3)
        std::exit(1);
    if (argc > 3 && std::strcmp(argv[3], "-b") != 0) {
        (void)std::fprintf(stderr, "%s: bad arg %s\n", argv[0], argv[3]);
        std::exit(1);
    }
#ifndef _WIN32
    // A reader that goes away or a file-size limit is a failed write, told
    // as such, not a silent death by signal.
    (void)std::signal(SIGPIPE, SIG_IGN);
    (void)std::signal(SIGXFSZ, SIG_IGN);
#endif

    const char *infilename = argv[1];
    announce(infilename);
    std::FILE *infile = std::fopen(infilename, "rb");
    if (!infile)
        fail("open");

    const char *outfilename = argv[2];
    announce(outfilename);
    std::string target; // set for an in-place run
    std::FILE *outfile = open_output(infile, outfilename, target);
    if (!outfile)
        fail("open");

    convert_words(infile, outfile);
    finish(outfile, !target.empty());
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        fail("write");
    if (!target.empty()) {
        (void)std::fclose(infile); // Windows replaces no file that is open
        if (!replace(tmpname, target.c_str()))
            fail("rename");
        tmpname = nullptr;
    }
    std::exit(0);
}
