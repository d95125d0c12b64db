// SPDX-License-Identifier: MIT
//
// Standard streams that are files, pipes or closed; FIFOs; a second thread
// that cannot start; and sparse files, whose holes stay holes.
#include "convert.h"
#include "harness.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace
{

class streams : public scratch
{
};

// Runs "in /dev/stdout" in dir with standard output a pipe, and returns
// all that came through it; status receives the exit status.
std::string into_a_pipe(const std::string &dir, int &status)
{
    int p[2];
    if (pipe(p) != 0)
        throw std::runtime_error("pipe failed");
    limits lim;
    lim.out_fd = p[1];
    child c = start({"in", "/dev/stdout"}, dir, lim);
    close(p[1]);
    std::string got = drain(p[0]);
    close(p[0]);
    status = finish(c).status;
    return got;
}

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

// A line of /proc/PID/status, as a number: Threads, VmSize (in KiB).
long status_of(pid_t pid, const std::string &key)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(key + ":", 0) == 0)
            return std::stol(line.substr(key.size() + 1));
    return -1;
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
    if (!wait_until([&] { return !running(c); }))
        kill(c.pid, SIGKILL);
    result r = finish(c);
    close(feeder);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "pp\npp\n");
    EXPECT_EQ(r.err, "open: input and output are the same FIFO\n");

    // With no writer at all, the refusal does not wait for one.
    c = start({"pp", "pp"}, dir);
    const bool ended = wait_until([&] { return !running(c); });
    if (!ended)
        kill(c.pid, SIGKILL);
    r = finish(c);
    EXPECT_TRUE(ended) << "the run waited for a writer";
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
    for (const std::string &out : {dev.name, std::string("link")}) {
        SCOPED_TRACE(out);
        result r = run({dev.name, out});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, dev.name + "\n" + out + "\n");
        EXPECT_EQ(r.err, "open: input and output are the same device\n");
        EXPECT_TRUE(same_bytes(read_file(dev.name), data));
    }
}

// Where the process has one processor, by its affinity or its control
// group's quota, the run does not start the writing thread, which would
// only take turns with the reader; it reads, swaps and writes in blocks
// of the whole ring.
struct processors_case {
    const char *name;
    bool quota; // half a processor, by a control group of its own
};

void PrintTo(const processors_case &c, std::ostream *os)
{
    *os << c.name;
}

class processors : public scratch,
                   public ::testing::WithParamInterface<processors_case>
{
};

// A control group with a quota of half a processor, made for the test and
// removed with it; an empty path where that cannot be done.
struct half_cpu_group {
    std::string dir;
    std::string procs;
    half_cpu_group()
    {
        const std::string name = "/quadflip-test-" + std::to_string(getpid());
        if (fs::exists("/sys/fs/cgroup/cpu/cpu.cfs_quota_us")) { // v1
            dir = "/sys/fs/cgroup/cpu" + name;
            std::error_code ec;
            if (fs::create_directory(dir, ec) &&
                std::ofstream(dir + "/cpu.cfs_period_us") << 100000 &&
                std::ofstream(dir + "/cpu.cfs_quota_us") << 50000)
                procs = dir + "/cgroup.procs";
        } else if (fs::exists("/sys/fs/cgroup/cgroup.controllers")) { // v2
            dir = "/sys/fs/cgroup" + name;
            std::error_code ec;
            if (fs::create_directory(dir, ec) && std::ofstream(dir + "/cpu.max")
                                                     << "50000 100000")
                procs = dir + "/cgroup.procs";
        }
    }
    ~half_cpu_group()
    {
        if (!dir.empty())
            (void)rmdir(dir.c_str());
    }
};

TEST_P(processors, one_processor_one_thread)
{
    POSIX_ONLY();
    if (emulated())
        GTEST_SKIP() << "the emulator runs threads of its own";
    NEEDS(feature::proc);
    const processors_case &c = GetParam();
    half_cpu_group group;
    limits lim;
    if (c.quota) {
        if (geteuid() != 0)
            GTEST_SKIP() << "making a control group needs root";
        if (group.procs.empty())
            GTEST_SKIP() << "cannot make a control group with a CPU quota here";
        lim.cgroup = group.procs;
    } else {
        NEEDS(feature::affinity);
        lim.cpus = 1;
    }
    const std::string in = noise(5 * bufsize + 7);
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    child ch = start({"fifo", "out"}, dir, lim);
    reaper guard{ch.pid};
    int fd = open_writer(path("fifo"));
    ASSERT_GE(fd, 0) << "the run never opened its input";
    wait_until([&] { return exists(path("out")); });
    std::this_thread::sleep_for(100ms); // past where the thread would start
    EXPECT_EQ(status_of(ch.pid, "Threads"), 1);
    ASSERT_EQ(write(fd, in.data(), in.size()), static_cast<ssize_t>(in.size()));
    close(fd);
    result r = finish(ch);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(same_bytes(read_file(path("out")), flipped(in)));
}

INSTANTIATE_TEST_SUITE_P(table, processors,
                         ::testing::Values(processors_case{"affinity", false},
                                           processors_case{"cpu_quota", true}),
                         named<processors_case>);

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

// A writer that fails ends a run on an endless input at once, in one
// thread and with the writing thread started.
TEST_F(streams, failed_writer_stops_an_endless_reader)
{
    POSIX_ONLY();
    if (access("/dev/full", W_OK) != 0)
        GTEST_SKIP() << "no /dev/full here";
    for (const std::string &build : {program(), two_threads_program()}) {
        if (build.empty())
            continue;
        SCOPED_TRACE(build);
        limits lim;
        lim.program = build;
        child c = start({"/dev/zero", "/dev/full"}, dir, lim);
        const bool ended = wait_until([&] { return !running(c); });
        if (!ended)
            kill(c.pid, SIGKILL);
        result r = finish(c);
        EXPECT_TRUE(ended) << "still reading 20 s after the writer failed";
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, says("write", ENOSPC));
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

// Under a memory limit that leaves no room for the writing thread's stack,
// the run converts in one thread.  The limit is measured here: the address
// space of a run held in its first read with both threads running, less
// half of the thread's stack.
TEST_F(streams, without_a_second_thread_the_run_still_converts)
{
    POSIX_ONLY();
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer's shadow memory needs no address-space limit";
#endif
    if (emulated())
        GTEST_SKIP() << "the limit would bind the emulator";
    NEEDS(feature::proc);
    const std::string in = noise(3 * bufsize + 5);
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    // The build that starts the thread on a busy machine too.
    const std::string two = two_threads_program();

    rlim_t vm = 0;
    for (int pass = 0; pass < 2; ++pass) {
        SCOPED_TRACE(pass == 0 ? "measuring" : "limited");
        fs::remove(path("out"));
        limits lim;
        lim.program = two;
        if (pass == 1)
            lim.vmem = vm;
        child c = start({"fifo", "out"}, dir, lim);
        reaper guard{c.pid};
        int fd = open_writer(path("fifo"));
        ASSERT_GE(fd, 0) << "the run never opened its input";
        wait_until([&] { return exists(path("out")); });
        std::this_thread::sleep_for(100ms); // past the thread's start
        const long threads = status_of(c.pid, "Threads");
        if (pass == 0 && two.empty() && threads == 1) {
            close(fd);
            (void)finish(c);
            GTEST_SKIP() << "no processor was idle for the second thread";
        }
        if (pass == 0) {
            EXPECT_EQ(threads, 2);
            // glibc gives a thread a stack of the size RLIMIT_STACK says,
            // 8 MiB by default.
            vm = static_cast<rlim_t>(status_of(c.pid, "VmSize") - 4096) * 1024;
        } else {
            EXPECT_EQ(threads, 1);
        }
        ASSERT_EQ(write(fd, in.data(), in.size()),
                  static_cast<ssize_t>(in.size()));
        close(fd);
        result r = finish(c);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(same_bytes(read_file(path("out")), flipped(in)));
    }
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

struct extent {
    off_t at;
    std::size_t len;
};

struct sparse_case {
    const char *name;
    std::vector<extent> data;
    off_t size;
};

void PrintTo(const sparse_case &c, std::ostream *os)
{
    *os << c.name;
}

class sparse : public scratch, public ::testing::WithParamInterface<sparse_case>
{
};

constexpr off_t mib = off_t{1} << 20;

// Allocated bytes of the file at path.
off_t allocated(const std::string &path)
{
    struct stat st {
    };
    EXPECT_EQ(stat(path.c_str(), &st), 0);
    return off_t{st.st_blocks} * 512;
}

// Holes read as zeros, so the output holds what reading the whole input
// gives, converted; a regular output has holes where the input had them,
// and a pipe gets every byte.
TEST_P(sparse, holes_stay_holes)
{
    const sparse_case &c = GetParam();
    // The input, and the same again to convert in place.
    for (const char *name : {"in", "f"}) {
        int fd = open(path(name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        unsigned seed = 1;
        for (const extent &e : c.data) {
            const std::string bytes = noise(e.len, seed++);
            ASSERT_EQ(pwrite(fd, bytes.data(), e.len, e.at),
                      static_cast<ssize_t>(e.len));
        }
        ASSERT_EQ(ftruncate(fd, c.size), 0);
        close(fd);
    }
    const std::string in = read_file(path("in"));
    const std::string want = flipped(in);
    const off_t used = allocated(path("in"));

    result r = run({"in", "out"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(same_bytes(read_file(path("out")), want));

    // In place only whole words: a ragged file is refused, untouched.
    const bool whole = c.size % 4 == 0;
    r = run({"f", "f"});
    ASSERT_EQ(r.status, whole ? 0 : 1) << r.err;
    EXPECT_TRUE(same_bytes(read_file(path("f")), whole ? want : in));

    if (!on_windows()) { // which has no holes to find
        EXPECT_LE(allocated(path("out")), 2 * used);
        EXPECT_LE(allocated(path("f")), whole ? 2 * used : used);

        int status = -1;
        std::string got = into_a_pipe(dir, status);
        EXPECT_EQ(status, 0);
        EXPECT_TRUE(same_bytes(got, "in\n/dev/stdout\n" + want));
    }
}

INSTANTIATE_TEST_SUITE_P(
    table, sparse,
    ::testing::Values(
        sparse_case{"hole_at_the_start", {{3 * mib, 100000}}, 3 * mib + 100000},
        sparse_case{"hole_in_the_middle",
                    {{0, 65536}, {3 * mib, 65536}},
                    3 * mib + 65536},
        sparse_case{"hole_at_the_end", {{0, 1 << 20}}, 5 * mib},
        sparse_case{"holes_everywhere",
                    {{mib, 4096}, {2 * mib + 8192, 12288}, {5 * mib, 40000}},
                    6 * mib + 2},
        sparse_case{"data_ending_in_a_partial_word",
                    {{mib, 1001}, {3 * mib, 4099}},
                    3 * mib + 4099},
        sparse_case{"nothing_but_a_hole", {}, 2 * mib + 3}),
    named<sparse_case>);

} // namespace
