// quadflip: reverse the byte order of every 32-bit word of a file.
//
//   quadflip infile outfile [-b]
//
// Each path is printed as its file is opened.  Every failure is told once on
// standard error and ends the run with status 1.

#include "quadflip.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

namespace
{

// The temporary file of an in-place run, from its creation until it has
// been renamed over the original; removed on any failure.
std::string tmppath;
const char *volatile tmpname;

[[noreturn]] void fail(const char *op)
{
    std::perror(op);
    if (tmpname)
        unlink(tmpname);
    std::exit(1);
}

extern "C" void interrupted(int sig)
{
    if (tmpname)
        unlink(tmpname);
    (void)std::signal(sig, SIG_DFL);
    (void)std::raise(sig);
}

// Writes path on a line of standard output.  A failure shows in
// ferror(stdout), which is checked before success is told.
void announce(const char *path)
{
    (void)std::printf("%s\n", path);
}

// Whether path names the regular file that is open as infile.  Opening it
// for writing would destroy the input before it is read.
bool same_file(std::FILE *infile, const char *path, struct stat *st)
{
    struct stat out {
    };
    return fstat(fileno(infile), st) == 0 && S_ISREG(st->st_mode) &&
           stat(path, &out) == 0 && out.st_dev == st->st_dev &&
           out.st_ino == st->st_ino;
}

// Opens a new temporary file beside the file that path names (symbolic
// links followed), owned and permitted like that file, whose stat is st.
// Returns the stream; target receives the file's own path.
std::FILE *open_temp(const char *path, const struct stat &st,
                     std::string &target)
{
    char *real = realpath(path, nullptr);
    if (!real)
        fail("open");
    target = real;
    std::free(real);
    tmppath = target.substr(0, target.rfind('/') + 1) + ".quadflip.XXXXXX";

    int fd = mkstemp(tmppath.data());
    if (fd < 0)
        fail("open");
    tmpname = tmppath.c_str();
    for (int sig : {SIGHUP, SIGINT, SIGTERM})
        (void)std::signal(sig, interrupted);

    // Keeping the owner works only with the privilege to give files away;
    // without it the file stays the runner's, as any new file would.
    (void)!fchown(fd, st.st_uid, st.st_gid);
    if (fchmod(fd, st.st_mode & 07777) != 0)
        fail("chmod");
    std::FILE *f = fdopen(fd, "wb");
    if (!f)
        fail("open");
    return f;
}

// Completes the output: flushes it, to the disk too when durable, and
// closes it, so that any write that failed is known before success is told.
void finish(std::FILE *outfile, bool durable)
{
    if (std::fflush(outfile) != 0 || (durable && fsync(fileno(outfile)) != 0))
        fail("write");
    if (std::fclose(outfile) != 0)
        fail("write");
}

} // namespace

word swap_word(word value)
{
    return (value << 24) | ((value & 0x0000FF00U) << 8) |
           ((value & 0x00FF0000U) >> 8) | (value >> 24);
}

void swap_words(unsigned char *p, std::size_t n)
{
    for (; n != 0; --n, p += 4) {
        word value;
        std::memcpy(&value, p, 4);
        word byte_swapped = swap_word(value);
        std::memcpy(p, &byte_swapped, 4);
    }
}

void convert_words(std::FILE *infile, std::FILE *outfile)
{
    static unsigned char buf[bufsize];
    std::size_t have = 0; // bytes at the front of buf: a word not yet whole

    for (;;) {
        std::size_t want = sizeof buf - have;
        std::size_t got = std::fread(buf + have, 1, want, infile);
        have += got;
        std::size_t whole = have - have % 4;
        swap_words(buf, whole / 4);
        if (whole != 0 && std::fwrite(buf, 1, whole, outfile) != whole)
            fail("write");
        std::memmove(buf, buf + whole, have - whole);
        have -= whole;
        if (got < want)
            break;
    }
    if (std::ferror(infile))
        fail("read");
}

int main(int argc, char *argv[])
{
    if (argc < 3)
        std::exit(1);
    if (argc > 3 && std::strcmp(argv[3], "-b") != 0) {
        (void)std::fprintf(stderr, "%s: bad arg %s\n", argv[0], argv[3]);
        std::exit(1);
    }
    // A reader that goes away or a file-size limit is a failed write, told
    // as such, not a silent death by signal.
    (void)std::signal(SIGPIPE, SIG_IGN);
    (void)std::signal(SIGXFSZ, SIG_IGN);

    const char *infilename = argv[1];
    announce(infilename);
    std::FILE *infile = std::fopen(infilename, "rb");
    if (!infile)
        fail("open");

    const char *outfilename = argv[2];
    announce(outfilename);
    struct stat st {
    };
    std::string target;
    bool inplace = same_file(infile, outfilename, &st);
    std::FILE *outfile = inplace ? open_temp(outfilename, st, target)
                                 : std::fopen(outfilename, "wb");
    if (!outfile)
        fail("open");

    convert_words(infile, outfile);
    finish(outfile, inplace);
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        fail("write");
    if (inplace) {
        if (std::rename(tmpname, target.c_str()) != 0)
            fail("rename");
        tmpname = nullptr;
    }
    std::exit(0);
}
