// SPDX-License-Identifier: MIT
//
// Standard streams that are files, pipes, sockets or closed; FIFOs; a
// device as both files; reads that fail; and files of /proc.
#include "convert.h"
#include "streams_fixture.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace
{

// What the child has written on its standard output so far.
std::string said_so_far(const child &c)
{
    std::string s;
    char buf[4096];
    ssize_t n;
    for (off_t at = 0; (n = pread(fileno(c.out), buf, sizeof buf, at)) > 0;
         at += n)
        s.append(buf, static_cast<std::size_t>(n));
    return s;
}

// The names of a process's standard descriptor fd (0 or 1): /dev/stdin or
// /dev/stdout, /dev/fd/N, and /proc/self/fd/N where /proc has them.
std::vector<std::string> names_of_fd(int fd)
{
    const std::string n = std::to_string(fd);
    std::vector<std::string> names = {fd == 0 ? "/dev/stdin" : "/dev/stdout",
                                      "/dev/fd/" + n};
    if (has(feature::proc))
        names.push_back("/proc/self/fd/" + n);
    return names;
}

// The output /dev/stdout: the path lines come first, then the data, through
// a pipe; a file that standard output is redirected to (>) ends holding the
// data alone, since the open truncates it after the lines went out.
TEST_F(streams, dev_stdout_as_the_output)
{
    POSIX_ONLY();
    for (std::size_t n : {std::size_t{8}, 3 * bufsize + 6}) {
        SCOPED_TRACE("input of " + std::to_string(n));
        const std::string in = noise(n);
        write_file(path("in"), in);

        int status = -1;
        std::string got = into_a_pipe(dir, status);
        EXPECT_EQ(status, 0);
        EXPECT_TRUE(same_bytes(got, "in\n/dev/stdout\n" + flipped(in)));

        limits lim;
        int fd = open(path("redirected").c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                      0644);
        ASSERT_GE(fd, 0);
        lim.out_fd = fd;
        result r = run({"in", "/dev/stdout"}, lim);
        close(fd);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(same_bytes(read_file(path("redirected")), flipped(in)));
    }
}

// Standard output open for appending (>>) is appended to, by each of its
// names: what was there stays, and each run adds its path lines and its
// data, as for f in p1 p2; do quadflip $f /dev/stdout >> all; done would.
// The holes of a sparse input are written as zeros there, where a seek
// would not move the end.
TEST_F(streams, appended_standard_output_is_kept)
{
    POSIX_ONLY();
    write_file(path("p1"), noise(3 * bufsize + 6, 1));
    write_file(path("p2"), noise(1001, 2));
    // A hole, 4 KiB of data and a hole to the end, whose length is ragged.
    int sparse = open(path("sparse").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(sparse, 0);
    const std::string some = noise(4096, 3);
    ASSERT_EQ(pwrite(sparse, some.data(), some.size(), 1 << 20), 4096);
    ASSERT_EQ(ftruncate(sparse, (2 << 20) + 5), 0);
    close(sparse);
    for (const std::string &name : names_of_fd(1))
        for (const std::string first : {"p1", "sparse"}) {
            SCOPED_TRACE(first);
            SCOPED_TRACE(name);
            write_file(path("all"), "before\n");
            const int fd = open(path("all").c_str(), O_WRONLY | O_APPEND);
            ASSERT_GE(fd, 0);
            limits lim;
            lim.out_fd = fd;
            result r1 = run({first, name}, lim);
            result r2 = run({"p2", name}, lim);
            close(fd);
            EXPECT_EQ(r1.status, 0) << r1.err;
            EXPECT_EQ(r2.status, 0) << r2.err;
            std::string want = "before\n";
            for (const std::string &in : {first, std::string("p2")})
                want.append(in + "\n")
                    .append(name + "\n")
                    .append(flipped(read_file(path(in))));
            EXPECT_TRUE(same_bytes(read_file(path("all")), want));
        }
}

// A file appended to itself would grow as it is read, and be converted
// over its own lines: refused, as cat refuses it, before anything is
// written, whatever name the standard output goes by.
TEST_F(streams, file_appended_to_itself_is_refused)
{
    POSIX_ONLY();
    const std::string data = "before\n" + noise(4096, 4);
    for (const std::string &name : names_of_fd(1)) {
        SCOPED_TRACE(name);
        write_file(path("all"), data);
        const int fd = open(path("all").c_str(), O_WRONLY | O_APPEND);
        ASSERT_GE(fd, 0);
        limits lim;
        lim.out_fd = fd;
        result r = run({"all", name}, lim);
        close(fd);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "open: input and output are the same file\n");
        const std::string lines = "all\n" + name + "\n";
        EXPECT_TRUE(same_bytes(read_file(path("all")), data + lines));
        EXPECT_EQ(listing(dir), std::vector<std::string>{"all"});
    }
}

// Each path line is out before its file is opened: a FIFO with no reader
// yet holds the run in its open, with both lines already shown.
TEST_F(streams, path_lines_are_out_before_a_blocking_open)
{
    POSIX_ONLY();
    const std::string in = noise(1000);
    write_file(path("in"), in);
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    child c = start({"in", "fifo"}, dir);
    reaper guard{c.pid};
    wait_until([&] { return said_so_far(c) == "in\nfifo\n"; });
    EXPECT_EQ(said_so_far(c), "in\nfifo\n");
    int fd = open(path("fifo").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(same_bytes(drain(fd), flipped(in)));
    close(fd);
    EXPECT_EQ(finish(c).status, 0);
}

// Standard output and error in one stream, as with 2>&1: each path line
// comes before the message about its file.
TEST_F(streams, path_line_comes_before_the_message)
{
    write_file(path("in"), noise(100));
    limits lim;
    lim.err_to_out = true;
    result r = run({"missing", "out"}, lim);
    EXPECT_EQ(r.status, 1);
    EXPECT_PRED2(same_message, r.out, "missing\n" + says("open", ENOENT));
    r = run({"in", "nodir/out"}, lim);
    EXPECT_EQ(r.status, 1);
    EXPECT_PRED2(same_message, r.out, "in\nnodir/out\n" + says("open", ENOENT));
}

// With standard descriptors closed at start, no file takes their numbers:
// neither a message nor a path line can land in the output.  A closed
// standard output makes the first path line a failed write.
TEST_F(streams, closed_standard_descriptors)
{
    POSIX_ONLY();
    const std::string in = noise(2 * bufsize + 2);
    const std::string want = flipped(in);
    write_file(path("in"), in);
    const std::vector<std::vector<int>> sets = {{0},    {1},    {2},
                                                {0, 2}, {1, 2}, {0, 1, 2}};
    for (const auto &closed : sets) {
        for (rlim_t cap : {rlim_t{RLIM_INFINITY}, rlim_t{1000}}) {
            std::string name = "closed";
            for (int fd : closed)
                name += " " + std::to_string(fd);
            SCOPED_TRACE(name + (cap == RLIM_INFINITY ? "" : ", size limit"));
            fs::remove(path("out"));
            limits lim = file_size_limit(cap);
            lim.closed = closed;
            result r = run({"in", "out"}, lim);
            const bool no_stdout =
                std::find(closed.begin(), closed.end(), 1) != closed.end();
            const bool no_stderr =
                std::find(closed.begin(), closed.end(), 2) != closed.end();
            if (no_stdout) {
                EXPECT_EQ(r.status, 1);
                EXPECT_FALSE(exists(path("out")));
                EXPECT_EQ(r.err, no_stderr ? "" : says("write", EBADF));
                continue;
            }
            EXPECT_EQ(r.out, "in\nout\n");
            const std::string out = read_file(path("out"));
            if (cap == RLIM_INFINITY) {
                EXPECT_EQ(r.status, 0);
                EXPECT_TRUE(same_bytes(out, want));
            } else {
                EXPECT_EQ(r.status, 1);
                EXPECT_EQ(r.err, no_stderr ? "" : says("write", EFBIG));
                EXPECT_TRUE(same_bytes(out, want.substr(0, out.size())));
            }
        }
    }
}

// One FIFO as both input and output would be fed its own output forever.
TEST_F(streams, one_fifo_as_both_files_is_refused)
{
    POSIX_ONLY();
    ASSERT_EQ(mkfifo(path("pp").c_str(), 0600), 0);
    int feeder = open(path("pp").c_str(), O_RDWR); // a writer that never blocks
    ASSERT_GE(feeder, 0);
    ASSERT_EQ(write(feeder, "ABCDEFGH", 8), 8);
    child c = start({"pp", "pp"}, dir);
    result r = finish_in_time(c);
    close(feeder);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "pp\npp\n");
    EXPECT_EQ(r.err, "open: input and output are the same FIFO\n");

    // With no writer at all, the refusal does not wait for one.
    c = start({"pp", "pp"}, dir);
    r = finish_in_time(c);
    EXPECT_TRUE(r.ended) << "the run waited for a writer";
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "pp\npp\n");
    EXPECT_EQ(r.err, "open: input and output are the same FIFO\n");
}

// A loop device attached to an image for as long as this lives; name is
// empty where none could be.
struct loop_device {
    std::string name;
    explicit loop_device(const std::string &img)
    {
        std::string out;
        if (command({"losetup", "-f", "--show", img}, &out) &&
            out.rfind("/dev/", 0) == 0)
            name = out.substr(0, out.find('\n'));
    }
    loop_device(const loop_device &) = delete;
    loop_device &operator=(const loop_device &) = delete;
    ~loop_device()
    {
        if (!name.empty())
            (void)command({"losetup", "-d", name});
    }
};

// One block device as both files would be converted over itself, and left
// part converted by any interruption with nothing to say which part: it is
// refused before anything is read or written, under its own name and
// under a second one.
TEST_F(streams, one_device_as_both_files_is_refused)
{
    POSIX_ONLY();
    if (geteuid() != 0)
        GTEST_SKIP() << "attaching a loop device needs root";
    if (!installed("losetup"))
        GTEST_SKIP() << "losetup is not installed (apt-get install util-linux)";
    const std::string data = noise(1 << 20, 9);
    write_file(path("img"), data);
    loop_device dev(path("img"));
    if (dev.name.empty())
        GTEST_SKIP() << "cannot attach a loop device here";
    fs::create_symlink(dev.name, path("link"));
    // A second node of the same device, under a name of its own.
    struct stat st {
    };
    ASSERT_EQ(stat(dev.name.c_str(), &st), 0);
    ASSERT_EQ(mknod(path("node").c_str(), S_IFBLK | 0600, st.st_rdev), 0);
    for (const std::string &out :
         {dev.name, std::string("link"), std::string("node")}) {
        SCOPED_TRACE(out);
        result r = run({dev.name, out});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, dev.name + "\n" + out + "\n");
        EXPECT_EQ(r.err, "open: input and output are the same device\n");
        EXPECT_TRUE(same_bytes(read_file(dev.name), data));
    }
}

// A read that fails is told, not taken for the end of the input: the
// first page of a process's own memory is not mapped.  With standard input
// and error closed at the start, the message never lands in the output,
// which would otherwise take the number of standard error.
TEST_F(streams, read_failure_is_told)
{
    POSIX_ONLY();
    if (access("/proc/self/mem", R_OK) != 0)
        GTEST_SKIP() << "no /proc/self/mem here";
    for (const std::vector<int> &closed : {std::vector<int>{}, {0, 2}}) {
        SCOPED_TRACE(closed.empty() ? "streams open" : "0 and 2 closed");
        fs::remove(path("out"));
        limits lim;
        lim.closed = closed;
        result r = run({"/proc/self/mem", "out"}, lim);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "/proc/self/mem\nout\n");
        EXPECT_EQ(r.err, closed.empty() ? says("read", EIO) : "");
        EXPECT_EQ(read_file(path("out")), "");
    }
}

// A socket given as standard input or output (socket activation, socat)
// cannot be opened by name; the run uses the descriptor as it would a pipe.
TEST_F(streams, sockets_by_name)
{
    POSIX_ONLY();
    const std::string in = noise(3 * bufsize + 8);
    write_file(path("in"), in);
    for (const std::string &name : names_of_fd(0)) {
        SCOPED_TRACE(name);
        int sv[2];
        ASSERT_EQ(cloexec_socketpair(sv), 0);
        limits lim;
        lim.in_fd = sv[1];
        child c = start({name, "out"}, dir, lim);
        close(sv[1]);
        std::thread feed([&] {
            for (std::size_t at = 0; at < in.size();) {
                ssize_t n =
                    send(sv[0], in.data() + at, in.size() - at, MSG_NOSIGNAL);
                if (n <= 0)
                    break;
                at += static_cast<std::size_t>(n);
            }
            close(sv[0]);
        });
        result r = finish(c);
        feed.join();
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(same_bytes(read_file(path("out")), flipped(in)));
    }
    int sv[2];
    ASSERT_EQ(cloexec_socketpair(sv), 0);
    limits lim;
    lim.out_fd = sv[1];
    child c = start({"in", "/dev/stdout"}, dir, lim);
    close(sv[1]);
    const std::string got = drain(sv[0]);
    close(sv[0]);
    result r = finish(c);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(same_bytes(got, "in\n/dev/stdout\n" + flipped(in)));
}

// A file of /proc says it is empty, has no holes to find, and is read to
// its end.
TEST_F(streams, pseudo_file_that_says_it_is_empty)
{
    POSIX_ONLY();
    if (!fs::exists("/proc/version"))
        GTEST_SKIP() << "no /proc/version here";
    result r = run({"/proc/version", "out"});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string out = read_file(path("out"));
    EXPECT_FALSE(out.empty());
    EXPECT_TRUE(same_bytes(out, flipped(read_file("/proc/version"))));
}

} // namespace
