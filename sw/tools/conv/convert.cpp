// SPDX-License-Identifier: MIT
//
// The read, swap and write pipeline.  This thread reads each block and
// reverses its words; where a second processor is free, a writing thread
// writes each block while the next is read, with up to nblocks in flight.
// Where standard error is a terminal, this thread also shows there how far
// the run has got.
#include "convert.h"
#include "fail.h"
#include "os.h"
#include "swap.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iterator>
#include <mutex>
#include <thread>

namespace
{

using u64 = std::uint64_t;
using steady = std::chrono::steady_clock;

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
        if (os_find_data(s.fd, static_cast<std::int64_t>(s.at), &data, &hole)) {
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
        ssize_t done = os_write(fd, p, n);
        if (done == 0)
            errno = EIO; // no progress and no reason given
        if (done <= 0)
            return false;
        p += done;
        n -= static_cast<std::size_t>(done);
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

// The blocks in flight between the reading thread and the writing one.
// Block k sits at ring + (k % nblocks) * bufsize, after skip[k] zero bytes
// of hole.
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

// What the line of how far the run has got needs.  It is due a second
// into the run, so that a short run shows nothing, then every quarter of
// a second; the clock is read once a block, and only when on.
struct meter {
    bool on = false; // standard error is a terminal
    u64 total = 0;   // the input's length; 0 where unknown
    steady::time_point start;
    steady::time_point due;
};

// A run of the pipeline.  Without a writing thread, q is unused and the
// whole ring is one block.
struct pipeline {
    source in;
    sink out;
    meter m;
    queue q;
    std::thread writer;
    bool threaded = false;
    unsigned char carry[4] = {}; // the start of a word split between reads
    std::size_t ncarry = 0;
    u64 tail = 0;     // hole at the end of the input
    int readerr = 0;  // errno of a failed read
    int writeerr = 0; // errno of a failed write
};

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

// Starts the writing thread where it has a processor of its own.  Where it
// would not (one processor, or none idle, as in a batch run two at a time
// on two), or cannot be started, or a file of one block leaves it nothing
// to overlap, this thread does both, in blocks as large as the whole ring:
// hand-offs between two threads on one processor cost more than they save.
void start_writer(pipeline &p, const fileinfo &from)
{
    const bool one_block = from.kind == filekind::regular && from.size >= 0 &&
                           static_cast<u64>(from.size) <= bufsize;
    if (one_block || !want_writer())
        return;
    try {
        p.writer = std::thread(write_blocks, std::ref(p.q), std::ref(p.out));
    } catch (const std::exception &) {
    }
    p.threaded = p.writer.joinable();
}

// Waits until the writer has room for one more block; false if it failed.
bool room_for_block(pipeline &p)
{
    std::unique_lock<std::mutex> lock(p.q.m);
    p.q.cv.wait(lock,
                [&] { return p.q.filled - p.q.written < nblocks || p.q.err; });
    return p.q.err == 0;
}

// Hands block k, of n bytes after skip bytes of hole, to the writer.
void hand_over(pipeline &p, std::size_t k, std::size_t n, u64 skip)
{
    std::lock_guard<std::mutex> lock(p.q.m);
    p.q.len[k] = n;
    p.q.skip[k] = skip;
    ++p.q.filled;
    p.q.cv.notify_all();
}

// Reads the block at block, of room bytes, and reverses its words; the
// number of bytes of whole words, or -1 at the end or on a failed read.
ssize_t read_block(pipeline &p, unsigned char *block, std::size_t room,
                   u64 *skip)
{
    std::memcpy(block, p.carry, p.ncarry);
    ssize_t got = read_some(p.in, block + p.ncarry, room - p.ncarry, skip);
    if (got <= 0) {
        p.readerr = got < 0 ? errno : 0;
        p.tail = *skip;
        return -1; // at the end, a partial word is dropped
    }
    std::size_t have = p.ncarry + static_cast<std::size_t>(got);
    std::size_t whole = have - have % 4;
    p.ncarry = have - whole;
    std::memcpy(p.carry, block + whole, p.ncarry);
    swap_words(block, whole / 4);
    return static_cast<ssize_t>(whole);
}

// Writes bytes as a number of three digits or so and its binary unit, as
// "1.50 GiB" or "812 MiB".
void size_text(char (&text)[16], double bytes)
{
    static const char *const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    std::size_t u = 0;
    for (; bytes >= 1024 && u + 1 < std::size(units); ++u)
        bytes /= 1024;
    // Chosen by what the number rounds to, so that 9.999 is "10.0".
    const int decimals = u == 0 || bytes >= 99.95 ? 0 : bytes >= 9.995 ? 1 : 2;
    (void)std::snprintf(text, sizeof text, "%.*f %s", decimals, bytes,
                        units[u]);
}

// Shows how far the run has got, where it is due: the bytes of the input
// read so far, holes skipped included; the input's length where it is known
// (a file that has grown past it, or one of /proc, has none); and the rate
// since the start.
void report(meter &m, u64 done)
{
    const steady::time_point now = steady::now();
    if (now < m.due)
        return;
    m.due = now + std::chrono::milliseconds(250);
    const double seconds = std::chrono::duration<double>(now - m.start).count();
    char got[16];
    char all[16];
    char rate[16];
    char line[64];
    size_text(got, static_cast<double>(done));
    size_text(rate, static_cast<double>(done) / seconds);
    if (m.total != 0 && done <= m.total) {
        size_text(all, static_cast<double>(m.total));
        (void)std::snprintf(line, sizeof line, "%s of %s, %s/s", got, all,
                            rate);
    } else {
        (void)std::snprintf(line, sizeof line, "%s, %s/s", got, rate);
    }
    status_line(line);
}

// Reads the whole input and has it written, until the end or a failure.
void pump(pipeline &p)
{
    for (std::size_t k = 0;; k = (k + 1) % nblocks) {
        if (p.threaded && !room_for_block(p))
            return;
        unsigned char *block = ring + (p.threaded ? k * bufsize : 0);
        const std::size_t room = p.threaded ? bufsize : sizeof ring;
        u64 skip = 0;
        const ssize_t whole = read_block(p, block, room, &skip);
        if (whole < 0)
            return;
        if (p.m.on)
            report(p.m, p.in.at);
        const auto n = static_cast<std::size_t>(whole);
        if (p.threaded) {
            hand_over(p, k, n, skip);
        } else if (!put(p.out, skip, block, n)) {
            p.writeerr = errno;
            return;
        }
    }
}

// Stops the writer, then completes the output: a hole at the end, and the
// output's length.  A failure on either side ends the run.
void finish(pipeline &p)
{
    if (p.threaded) {
        {
            std::lock_guard<std::mutex> lock(p.q.m);
            p.q.done = true;
            p.q.cv.notify_all();
        }
        p.writer.join();
        p.writeerr = p.q.err;
    }
    if (p.readerr) {
        errno = p.readerr;
        fail("read");
    }
    int err = p.writeerr;
    if (!err && p.tail != 0 && !put(p.out, p.tail, nullptr, 0))
        err = errno;
    // A regular output ends where the input's last word does, holes and
    // all; it is cut only where a hole at the end left it short, since
    // some file systems (FAT through FUSE) refuse any change of length.
    if (!err && p.out.seekable &&
        os_info(p.out.fd).size != static_cast<std::int64_t>(p.out.at) &&
        !os_truncate(p.out.fd, static_cast<std::int64_t>(p.out.at)))
        err = errno;
    if (err) {
        errno = err;
        fail("write");
    }
}

} // namespace

void convert_words(std::FILE *infile, std::FILE *outfile)
{
    // Finding the holes of a file that has none would cost a walk over its
    // pages on some file systems (tmpfs); a file of /proc is read to its
    // end, as a pipe is.
    const fileinfo from = os_info(fileno(infile));
    pipeline p;
    p.in = {fileno(infile), from.holes, 0, 0};
    // An output open for appending writes at its end whatever the offset:
    // it gets the zeros of holes written, and is never cut.
    const fileinfo to = os_info(fileno(outfile));
    p.out = {fileno(outfile), to.kind == filekind::regular && !to.append, 0};
    p.m.on = os_err_terminal();
    if (p.m.on) {
        if (from.kind == filekind::regular && from.size > 0)
            p.m.total = static_cast<u64>(from.size);
        p.m.start = steady::now();
        p.m.due = p.m.start + std::chrono::seconds(1);
    }
    start_writer(p, from);
    pump(p);
    finish(p);
    status_clear();
}
