// SPDX-License-Identifier: MIT
//
// Random sizes against a reference model, with and without the writing
// thread, and readers of the output that go away.
#include "convert.h"
#include "harness.h"

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <random>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace
{

class faults : public scratch
{
  protected:
    void random_lengths(const std::string &build, int cpus);
};

// Lengths a few thousand bytes either side of every size the code works
// in: the vector widths, one block, and the ring of blocks and beyond, fed
// as a file and through a FIFO in ragged pieces; by the program under
// test as it chooses, on one processor (one thread, in blocks of the whole
// ring) where a process can be kept to one, and by the build that always
// starts the second thread where it can.
TEST_F(faults, random_lengths_match_the_model)
{
    random_lengths(program(), 0);
    if (has(feature::affinity))
        random_lengths(program(), 1);
    if (!two_threads_program().empty())
        random_lengths(two_threads_program(), 0);
}

void faults::random_lengths(const std::string &build, int cpus)
{
    SCOPED_TRACE(build + (cpus ? ", one processor" : ""));
    limits lim;
    lim.program = build;
    lim.cpus = cpus;
    std::mt19937 gen(2026);
    const std::size_t bases[] = {64, bufsize, 2 * bufsize, nblocks * bufsize,
                                 (nblocks + 1) * bufsize};
    for (std::size_t base : bases)
        for (int i = 0; i < 3; ++i) {
            std::size_t n = base + gen() % 6000;
            n = n > 3000 ? n - 3000 : n % 64;
            const std::string in = noise(n, static_cast<unsigned>(gen()));
            SCOPED_TRACE("length " + std::to_string(n));

            write_file(path("in"), in);
            result r = run({"in", "out"}, lim);
            ASSERT_EQ(r.status, 0) << r.err;
            EXPECT_TRUE(same_bytes(read_file(path("out")), flipped(in)));
            if (on_windows())
                continue;

            fs::remove(path("in"));
            ASSERT_EQ(mkfifo(path("in").c_str(), 0600), 0);
            child c = start({"in", "out"}, dir, lim);
            feed_fifo(path("in"), in, static_cast<unsigned>(gen()));
            r = finish(c);
            ASSERT_EQ(r.status, 0) << r.err;
            EXPECT_TRUE(same_bytes(read_file(path("out")), flipped(in)));
            fs::remove(path("in"));
        }
}

// A reader of the output that goes away ends the run with a failed write,
// in one thread and with the writing thread started, on an input that
// ends and on one that never does.
TEST_F(faults, reader_of_the_output_goes_away)
{
    POSIX_ONLY();
    write_file(path("in"), noise(4 * bufsize));
    ASSERT_EQ(mkfifo(path("out").c_str(), 0600), 0);
    for (const std::string &build : {program(), two_threads_program()})
        for (const std::string in : {"in", "/dev/zero"}) {
            if (build.empty())
                continue;
            SCOPED_TRACE(build);
            SCOPED_TRACE(in);
            limits lim;
            lim.program = build;
            child c = start({in, "out"}, dir, lim);
            reaper guard{c.pid};
            int fd = open(path("out").c_str(), O_RDONLY);
            ASSERT_GE(fd, 0);
            char some[16];
            const ssize_t got = read(fd, some, sizeof some);
            close(fd);
            ASSERT_EQ(got, static_cast<ssize_t>(sizeof some));
            result r = finish_in_time(c);
            EXPECT_TRUE(r.ended) << "still reading 20 s after the reader went";
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.out, in + "\nout\n");
            EXPECT_EQ(r.err, says("write", EPIPE));
        }
}

} // namespace
