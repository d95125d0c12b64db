// SPDX-License-Identifier: MIT
//
// quadflip: reverse the byte order of every 32-bit word of a file.
//
//   quadflip infile outfile [-b]
//
// Each path is printed as its file is opened.  Every failure is told once on
// standard error and ends the run with status 1.

#include "quadflip.h"
#include "os.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <exception>
#include <thread>

void fail(const char *op)
{
    std::perror(op);
    inplace_abort();
    std::exit(1);
}

void fail_because(const char *op, const char *why)
{
    (void)std::fprintf(stderr, "%s: %s\n", op, why);
    inplace_abort();
    std::exit(1);
}

namespace
{

using u64 = std::uint64_t;

// Writes path on a line of standard output before its file is opened, so
// that the line is out even if the open blocks or the run is killed, and
// comes before anything written to the same place.
void announce(const char *path)
{
    if (!os_put_line(path))
        fail("write");
}

// The input.  In a regular file that may have holes, and whose holes the
// system can find, only the data is read: a hole is skipped and counted.
struct source {
    int fd;
    bool sparse;
    u64 at;  // offset of the next byte to read
    u64 end; // end of the run of data being read, word-aligned
};

// Reads up to n bytes: 0 at the end, -1 on failure.  Adds to *skip the
// length of any hole passed over first.  Runs of data are widened to whole
// words, so a hole skipped is always whole words of zeros.
ssize_t read_some(source &s, unsigned char *p, std::size_t n, u64 *skip)
{
    if (s.sparse && s.at == s.end) {
        std::int64_t data = 0;
        std::int64_t hole = 0;
        if (os_find_data(s.fd, static_cast<std::int64_t>(s.at), &data,
                         &hole)) {
            u64 from = std::max(s.at, static_cast<u64>(data) & ~u64{3});
            *skip += from - s.at;
            s.at = from;
            s.end = std::max(from, (static_cast<u64>(hole) + 3) & ~u64{3});
            if (!os_seek(s.fd, static_cast<std::int64_t>(from)))
                return -1;
            if (s.end == from)    // no data after the hole
                s.end = from + 4; // reads what remains: the end, or a tail
        } else if (errno == 0) {
            s.sparse = false; // no holes to be found here: read every byte
        } else {
            return -1;
        }
    }
    if (s.sparse)
        n = static_cast<std::size_t>(std::min<u64>(n, s.end - s.at));
    ssize_t got = os_read(s.fd, p, n);
    if (got > 0)
        s.at += static_cast<u64>(got);
    return got;
}

// The output.  A regular file gets holes where the input had them, by
// seeking past them; anything else gets the zeros written.
struct sink {
    int fd;
    bool seekable;
    u64 at; // offset of the next byte to write
};

bool write_all(int fd, const unsigned char *p, std::size_t n)
{
    while (n != 0) {
        ssize_t put = os_write(fd, p, n);
        if (put == 0)
            errno = EIO; // no progress and no reason given
        if (put <= 0)
            return false;
        p += put;
        n -= static_cast<std::size_t>(put);
    }
    return true;
}

// Writes skip zero bytes, then the n bytes at p.
bool put(sink &s, u64 skip, const unsigned char *p, std::size_t n)
{
    static const unsigned char zeros[1 << 16] = {};
    if (skip != 0 && s.seekable &&
        !os_seek(s.fd, static_cast<std::int64_t>(s.at + skip)))
        return false;
    for (u64 left = s.seekable ? 0 : skip; left != 0;) {
        auto k = static_cast<std::size_t>(std::min<u64>(left, sizeof zeros));
        if (!write_all(s.fd, zeros, k))
            return false;
        left -= k;
    }
    s.at += skip + n;
    return write_all(s.fd, p, n);
}

// The blocks in flight between this thread, which reads and swaps them,
// and the writing thread.  Block k sits at ring + (k % nblocks) * bufsize,
// after skip[k] zero bytes of hole.
struct queue {
    std::mutex m;
    std::condition_variable cv;
    std::size_t len[nblocks] = {};
    u64 skip[nblocks] = {};
    std::size_t filled = 0;  // blocks handed to the writer so far
    std::size_t written = 0; // blocks the writer has finished
    bool done = false;       // no block will follow
    int err = 0;             // errno of the writer's failed write
};

alignas(64) unsigned char ring[nblocks * bufsize];

void write_blocks(queue &q, sink &out)
{
    std::unique_lock<std::mutex> lock(q.m);
    for (;;) {
        q.cv.wait(lock, [&] { return q.written < q.filled || q.done; });
        if (q.written == q.filled)
            return;
        std::size_t k = q.written % nblocks;
        lock.unlock();
        bool ok = put(out, q.skip[k], ring + k * bufsize, q.len[k]);
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

// Whether a run of more than one block gets the writing thread.
// QUADFLIP_TWO_THREADS builds a program that starts it wherever it can, so
// that the tests can try the pipeline on a busy machine too.
bool want_writer()
{
#ifdef QUADFLIP_TWO_THREADS
    return true;
#else
    return os_spare_cpu();
#endif
}

} // namespace

void convert_words(std::FILE *infile, std::FILE *outfile)
{
    // Finding the holes of a file that has none would cost a walk over its
    // pages on some file systems (tmpfs); a file of /proc is read to its
    // end, as a pipe is.
    const fileinfo from = os_info(fileno(infile));
    source in{fileno(infile), from.holes, 0, 0};
    sink out{fileno(outfile),
             os_info(fileno(outfile)).kind == filekind::regular, 0};
    // A second thread writes each block while the next is read, where it
    // has a processor of its own.  Where it would not (one processor, or
    // none idle, as in a batch run two at a time on two), or cannot be
    // started, or a file of one block leaves it nothing to overlap, this
    // one does both, in blocks as large as the whole ring: hand-offs
    // between two threads on one processor cost more than they save.
    queue q;
    std::thread writer;
    if ((from.kind != filekind::regular || from.size < 0 ||
         static_cast<u64>(from.size) > bufsize) &&
        want_writer()) {
        try {
            writer = std::thread(write_blocks, std::ref(q), std::ref(out));
        } catch (const std::exception &) {
        }
    }
    const bool threaded = writer.joinable();

    unsigned char carry[4]; // the start of a word split between two reads
    std::size_t ncarry = 0;
    u64 tail = 0; // hole at the end of the input
    int readerr = 0;
    for (std::size_t k = 0;; k = (k + 1) % nblocks) {
        if (threaded) {
            std::unique_lock<std::mutex> lock(q.m);
            q.cv.wait(lock,
                      [&] { return q.filled - q.written < nblocks || q.err; });
            if (q.err)
                break;
        }
        unsigned char *block = ring + (threaded ? k * bufsize : 0);
        const std::size_t room = threaded ? bufsize : sizeof ring;
        std::memcpy(block, carry, ncarry);
        u64 skip = 0;
        ssize_t got = read_some(in, block + ncarry, room - ncarry, &skip);
        if (got <= 0) {
            readerr = got < 0 ? errno : 0;
            tail = skip;
            break; // at the end, a partial word is dropped
        }
        std::size_t have = ncarry + static_cast<std::size_t>(got);
        std::size_t whole = have - have % 4;
        ncarry = have - whole;
        std::memcpy(carry, block + whole, ncarry);
        swap_words(block, whole / 4);
        if (!threaded) {
            if (!put(out, skip, block, whole)) {
                q.err = errno;
                break;
            }
            continue;
        }
        std::lock_guard<std::mutex> lock(q.m);
        q.len[k] = whole;
        q.skip[k] = skip;
        ++q.filled;
        q.cv.notify_all();
    }
    if (threaded) {
        {
            std::lock_guard<std::mutex> lock(q.m);
            q.done = true;
            q.cv.notify_all();
        }
        writer.join();
    }
    if (readerr) {
        errno = readerr;
        fail("read");
    }
    int err = q.err;
    if (!err && tail != 0 && !put(out, tail, nullptr, 0))
        err = errno;
    // A regular output ends where the input's last word does, holes and
    // all; it is cut only where a hole at the end left it short, since
    // some file systems (FAT through FUSE) refuse any change of length.
    if (!err && out.seekable &&
        os_info(out.fd).size != static_cast<std::int64_t>(out.at) &&
        !os_truncate(out.fd, static_cast<std::int64_t>(out.at)))
        err = errno;
    if (err) {
        errno = err;
        fail("write");
    }
}

int main(int argc, char *argv[])
{
    argv = os_args(&argc, argv);
    if (argc < 3)
        std::exit(1);
    if (argc > 3 && std::strcmp(argv[3], "-b") != 0) {
        (void)std::fprintf(stderr, "%s: bad arg %s\n", argv[0], argv[3]);
        std::exit(1);
    }
    os_start();

    // One FIFO as both files would be fed its own output forever; it is
    // refused before the input's open, which would wait for a writer.
    const char *infilename = argv[1];
    const char *outfilename = argv[2];
    announce(infilename);
    if (os_same_fifo(infilename, outfilename)) {
        announce(outfilename);
        fail_because("open", "input and output are the same FIFO");
    }
    std::FILE *infile = os_open(infilename, false);
    if (!infile)
        fail("open");
    // Refused before the output is touched: a typo must not empty it.
    const filekind kind = os_info(fileno(infile)).kind;
    if (kind == filekind::directory) {
        errno = EISDIR;
        fail("read");
    }

    // When the output names the input, opening it for writing would destroy
    // the input before it is read.  A regular file is converted in place,
    // unless its length is not whole words: the tail, dropped, would be
    // lost for good.  The same name counts as the same file even if
    // another run has just put a new file there.
    announce(outfilename);
    std::FILE *outfile = nullptr;
    bool inplace = false;
    const bool same = os_same_file(fileno(infile), outfilename);
    if (same && kind == filekind::fifo)
        fail_because("open", "input and output are the same FIFO");
    if (kind == filekind::regular &&
        (same || os_same_path(infilename, outfilename))) {
        (void)std::fclose(infile);
        infile = inplace_open(outfilename);
        if (os_info(fileno(infile)).size % 4 != 0)
            fail_because("open", "the file's length is not a multiple of 4");
        outfile = inplace_temp();
        inplace = true;
    } else {
        outfile = os_open(outfilename, true);
        if (!outfile)
            fail("open");
    }

    convert_words(infile, outfile);
    if (inplace) {
        inplace_commit(infile, outfile);
    } else if (std::fflush(outfile) != 0 || std::fclose(outfile) != 0) {
        fail("write"); // a write that failed only now, as on NFS
    }
    std::exit(0);
}
