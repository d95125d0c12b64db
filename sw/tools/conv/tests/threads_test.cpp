// SPDX-License-Identifier: MIT
//
// The writing thread: not started where the process has one processor,
// nor where its stack would not fit, and a failed writer, in either
// thread, stops the reader at once.
#include "convert.h"
#include "harness.h"

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace
{

// A line of /proc/PID/status, as a number: Threads, VmSize (in KiB).
long status_of(pid_t pid, const std::string &key)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(key + ":", 0) == 0)
            return std::stol(line.substr(key.size() + 1));
    return -1;
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

class threads : public scratch,
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

TEST_P(threads, one_processor_one_thread)
{
    POSIX_ONLY();
    if (emulated())
        GTEST_SKIP() << "the emulator runs threads of its own";
    // It would pass or fail with the machine's load average alone.
    if (portable_build())
        GTEST_SKIP() << "the portable build, as a system without them, sees "
                        "neither affinity nor CPU quotas";
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

INSTANTIATE_TEST_SUITE_P(table, threads,
                         ::testing::Values(processors_case{"affinity", false},
                                           processors_case{"cpu_quota", true}),
                         named<processors_case>);

// A writer that fails ends a run on an endless input at once, in one
// thread and with the writing thread started.
TEST_F(threads, failed_writer_stops_an_endless_reader)
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
        result r = finish_in_time(c);
        EXPECT_TRUE(r.ended) << "still reading 20 s after the writer failed";
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, says("write", ENOSPC));
    }
}

// Under a memory limit that leaves no room for the writing thread's stack,
// the run converts in one thread.  The limit is measured here: the address
// space of a run held in its first read with both threads running, less
// half of the thread's stack.
TEST_F(threads, without_a_second_thread_the_run_still_converts)
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
    const std::string &two = two_threads_program();

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
        const long running = status_of(c.pid, "Threads");
        if (pass == 0 && two.empty() && running == 1) {
            close(fd);
            (void)finish(c);
            GTEST_SKIP() << "no processor was idle for the second thread";
        }
        if (pass == 0) {
            EXPECT_EQ(running, 2);
            // glibc gives a thread a stack of the size RLIMIT_STACK says,
            // 8 MiB by default.
            vm = static_cast<rlim_t>(status_of(c.pid, "VmSize") - 4096) * 1024;
        } else {
            EXPECT_EQ(running, 1);
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

} // namespace
