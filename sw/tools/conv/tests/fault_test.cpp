// SPDX-License-Identifier: MIT
//
// Random sizes against a reference model, readers that go away, and paths
// that a shell or a careless program would mangle.
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

struct path_case {
    const char *name;
    std::string stem; // the input is stem, the output stem + ".out"
    bool posix_only;
};

void PrintTo(const path_case &c, std::ostream *os)
{
    *os << c.name;
}

class paths : public scratch, public ::testing::WithParamInterface<path_case>
{
};

// A path of about 4000 bytes: folders of 200 bytes each, then a file.
std::string long_path()
{
    std::string p;
    for (int i = 0; i < 19; ++i)
        p += std::string(199, static_cast<char>('a' + i)) + "/";
    return p + std::string(150, 'z');
}

TEST_P(paths, reach_messages_and_files_unchanged)
{
    const path_case &c = GetParam();
    if (c.posix_only)
        POSIX_ONLY();
    const std::string in = c.stem;
    const std::string out = c.stem + ".out";
    fs::create_directories(fs::path(path(in)).parent_path());
    const std::string data = noise(1001);
    write_file(path(in), data);

    result r = run({in, out, "-b"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, in + "\n" + out + "\n");
    EXPECT_TRUE(same_bytes(read_file(path(out)), flipped(data)));

    r = run({in, out, in}); // the path as a bad third argument
    EXPECT_EQ(r.status, 1);
    EXPECT_PRED2(same_message, r.err, program() + ": bad arg " + in + "\n");

    r = run({in + ".missing", out});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, in + ".missing\n");
    EXPECT_PRED2(same_message, r.err, says("open", ENOENT));
}

INSTANTIATE_TEST_SUITE_P(
    table, paths,
    ::testing::Values(path_case{"spaces", " with  spaces", false},
                      path_case{"leading_dash", "-x", false},
                      path_case{"utf8",
                                "\xc3\xbcnic\xc3\xb8"
                                "de-\xe5\x90\x8d",
                                true},
                      path_case{"not_utf8", "bytes-\xff\xfe\x80", true},
                      path_case{"about_4000_bytes", long_path(), false}),
    named<path_case>);

} // namespace
