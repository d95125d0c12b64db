// SPDX-License-Identifier: MIT
//
// Runs the built quadflip as a child process and looks at what it did.
#ifndef QUADFLIP_TESTS_HARNESS_H
#define QUADFLIP_TESTS_HARNESS_H

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <array>
#include <cstdio>
#include <ctime>
#include <functional>
#include <map>
#include <string>
#include <vector>

// What a finished run left: its exit status (128 + the signal if one killed
// it) and everything it wrote on standard output and standard error.
struct result {
    int status;
    std::string out;
    std::string err;
    bool ended = true; // by itself, rather than killed by finish_in_time
};

// How the child is started, beyond its arguments.
struct limits {
    rlim_t fsize = RLIM_INFINITY;  // largest file the child may write
    rlim_t vmem = RLIM_INFINITY;   // its address space
    int in_fd = -1;                // standard input, when not inherited
    int out_fd = -1;               // standard output, when not captured
    int err_fd = -1;               // standard error, when not captured
    int cwd_fd = -1;               // the folder to start in, when not cwd
    bool err_to_out = false;       // standard error goes where output does
    std::vector<int> closed;       // standard descriptors closed at its start
    std::vector<int> ignored;      // signals it starts with set to be ignored
    bool as_nobody = false;        // run as the user nobody (needs root)
    std::vector<gid_t> groups;     // nobody's supplementary groups
    int cpus = 0;                  // processors it may run on; 0: as this one
    std::string cgroup;            // a control group's cgroup.procs to join
    std::string program;           // another build than program()
    std::vector<std::string> wrap; // a command to run it under, as strace
    bool own_group = false;        // in a process group of its own
    int nice = 0; // added to its niceness, so that the test outpaces it
};

inline limits file_size_limit(rlim_t n)
{
    limits lim;
    lim.fsize = n;
    return lim;
}

// A child started but not yet waited for.
struct child {
    pid_t pid;
    std::FILE *out;
    std::FILE *err;
};

// The program under test and how it is run, as the environment says; read
// once, here alone:
//   QUADFLIP_BIN       the program under test, rather than the one built
//                      beside the tests
//   QUADFLIP_RUNNER    a command to run it with: an emulator for another
//                      processor, or wine
//   QUADFLIP_TARGET    the system it is built for: "windows"; "portable",
//                      a build for this host that uses no Linux-only
//                      interface; or empty, a native build of this host
//   QUADFLIP_STRERROR  a file of the error texts of its C library, one
//                      "NUMBER TEXT" a line, where they are not the host's
struct setup {
    std::string program; // QUADFLIP_BIN, or the one built beside the tests
    // Its builds that name each in-place result's temporary file from the
    // start, as on systems without unnamed files, and that start their
    // writing thread wherever they can, busy machine or not.  Those built
    // beside the tests; or, where QUADFLIP_BIN names the program,
    // quadflip_named_temp and quadflip_two_threads in its folder, with its
    // suffix (such as .exe), if they are there.  Empty where there is none.
    std::string named_temp;
    std::string two_threads;
    std::vector<std::string> runner; // QUADFLIP_RUNNER's words; none: as is
    std::string target;              // QUADFLIP_TARGET
    std::string strerror;            // QUADFLIP_STRERROR; empty: the host's
};

const setup &env();

// The program under test, and its two other builds (empty where there are
// none), as env() has them.
const std::string &program();
const std::string &named_temp_program();
const std::string &two_threads_program();

// Whether the program under test is the portable build (QUADFLIP_TARGET is
// "portable"), which uses no Linux-only interface: no unnamed files, no
// exchange of names.
bool portable_build();

// Whether the program under test runs under an emulator or wine
// (QUADFLIP_RUNNER names one).
bool emulated();

// Whether the program under test is a Windows build (QUADFLIP_TARGET is
// "windows"), run through wine.
bool on_windows();

// Whether a message on standard error is the one wanted.  On Windows the
// system's error texts and the program path as the program sees it may
// differ; the rest may not.
bool same_message(const std::string &got, const std::string &want);

// For tests of what only POSIX systems have: FIFOs, signals, resource
// limits, devices.
#define POSIX_ONLY()                                                           \
    do {                                                                       \
        if (on_windows())                                                      \
            GTEST_SKIP() << "POSIX only";                                      \
    } while (0)

// What some tests need that not every system has; without it they are
// skipped, saying why.
enum class feature {
    affinity,    // running a process on some processors only (limits::cpus)
    mounts,      // mount(2) as Linux has it (mount_fs, bind_mount, mount_image)
    proc,        // another process's status and open files in /proc (Linux's)
    pipe_size,   // the room in a pipe (pipe_room)
    xattrs,      // extended attributes, through Linux's calls (set_xattr)
    inode_flags, // inode flags and project IDs, as chattr sets them
};

// Whether the system has the feature; where not, says why in *why.
bool has(feature f, std::string *why = nullptr);

// Skips the test, saying why, on a system without the feature f.
#define NEEDS(f)                                                               \
    do {                                                                       \
        std::string why_not;                                                   \
        if (!has(f, &why_not))                                                 \
            GTEST_SKIP() << why_not;                                           \
    } while (0)

// Starts the program under test (or lim.program) with args in the folder
// cwd, under lim.wrap and the runner, if any.
child start(const std::vector<std::string> &args, const std::string &cwd,
            const limits &lim = {});
result finish(child c);
// Waits for the child to end, for 20 seconds at most, then kills it (with
// group, its process group) if it has not, and returns its result.
result finish_in_time(child c, bool group = false);
// Whether the child has yet to end; it is not waited for.
bool running(const child &c);

// Kills the child pid with SIGKILL and waits for it when this goes, unless
// it has been waited for already; with group, its whole process group too
// (started with own_group), so that what it started under a wrapper (strace,
// flock) goes as well.  A test that stops early leaves nothing running.
struct reaper {
    pid_t pid;
    bool group = false;
    ~reaper();
};

// Looks at done every millisecond until it holds, for 20 seconds at most;
// returns whether it did.  done is not looked at again once it holds.
bool wait_until(const std::function<bool()> &done);

// Whether the process pid holds the file at path open (as /proc shows it),
// or open for writing.
bool holds_open(pid_t pid, const std::string &path, bool for_writing = false);

// Everything that can be read from fd until its writers close it.
std::string drain(int fd);

// Opens the FIFO at path for writing once a reader has opened it; -1 if
// none does within seconds, as when the program under test failed to start.
int open_writer(const std::string &path);

// Runs quadflip with args in the folder cwd to its end.  Under wine, a run
// that lost wine's own server ("wine client error"), or failed without a
// word, is run again: that is the emulator failing, not the program.
result run_in(const std::string &cwd, const std::vector<std::string> &args,
              const limits &lim = {});

// Writes data to the FIFO at path in pieces of random sizes (mostly a few
// bytes, now and then over a block), pausing now and then so that the
// reader sees pieces on their own.
void feed_fifo(const std::string &path, const std::string &data, unsigned seed);

// A file system mounted on the folder at for as long as this lives, once
// ok says that it is; fuse says how to unmount it.
struct mounted {
    std::string at;
    bool ok = false;
    bool fuse = false;
    ~mounted();
};

// Makes a file system on a new sparse image of size bytes, with mkfs (the
// command; the image's path is added at its end), and mounts it through a
// loop device on m.at with the mount options (empty: none).  The image lies
// beside dir, outside it, and goes once mounted.  Returns why it could not
// be done, or "" with m.ok set.
std::string mount_image(const std::string &dir,
                        const std::vector<std::string> &mkfs,
                        unsigned long long size, const std::string &options,
                        mounted &m);

// Mounts a file system of the type (tmpfs, overlay) on the folder at, with
// the options; or the file or folder from on at.  False, with errno set,
// where it cannot: always without feature::mounts.
bool mount_fs(const std::string &type, const std::string &at,
              const std::string &options);
bool bind_mount(const std::string &from, const std::string &at);

// A pipe, or a pair of connected sockets, whose ends are closed on exec;
// 0, or -1 with errno set, as pipe(2) and socketpair(2).
int cloexec_pipe(int fds[2]);
int cloexec_socketpair(int fds[2]);

// The room in the pipe whose writing end is fd: what it takes before a
// write blocks; -1 where it cannot be told (without feature::pipe_size).
int pipe_room(int fd);

// Sets the extended attribute name of the file at path, as setxattr(2)
// does: 0, or -1 with errno set (ENOTSUP without feature::xattrs).
int set_xattr(const std::string &path, const char *name, const void *value,
              std::size_t size);
// Every extended attribute of the file at path, by name: none without
// feature::xattrs.
std::map<std::string, std::string> xattrs_of(const std::string &path);

// The inode flag that chattr sets with letter: A (no access times), C (no
// copy-on-write), d (no dump), S (synchronous writes) or x (DAX); 0
// without feature::inode_flags.
int inode_flag(char letter);
// The file's inode flags, as lsattr shows them, leaving out those that the
// file system sets itself; -1 where they cannot be read.
int inode_flags_of(const std::string &path);
// The file's project ID, as lsattr -p shows it, and its extent size hint
// in bytes, as xfs_io extsize shows it; -1 where they cannot be read.
long project_of(const std::string &path);
long extsize_of(const std::string &path);
// Adds the inode flags to the file's, and gives it the project ID (unless
// 0), as chattr does, and the extent size hint in bytes (unless 0), as
// xfs_io extsize does, which xfs takes only for a file without data;
// whether it could.
bool set_inode_flags(const std::string &path, int flags, unsigned project,
                     unsigned extsize = 0);

// The access and modification times of st, as utimensat(2) takes them.
std::array<struct timespec, 2> times_of(const struct stat &st);

// The command that runs the program under strace, its threads followed and
// what it does written to the file trace, with LeakSanitizer off (it cannot
// work under ptrace); options are strace's own, such as "-e", "trace=...".
std::vector<std::string> under_strace(const std::string &trace,
                                      std::vector<std::string> options);

// Whether tool is a program on the PATH.
bool installed(const std::string &tool);

// Runs a program in the folder cwd (empty: this one), its standard output
// into *out where out is given, thrown away otherwise, as is its standard
// error; whether it exited with 0.
bool command(const std::vector<std::string> &argv, std::string *out = nullptr,
             const std::string &cwd = "");

// Whether files with no name (O_TMPFILE) can be made in dir.  Without them,
// the usual build names its temporary file from the start, and a run killed
// by SIGKILL leaves it behind.
bool unnamed_files(const std::string &dir);

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &data);
bool exists(const std::string &path);
std::vector<std::string> listing(const std::string &dir);

// The expected conversion: every whole word reversed, a tail dropped.
std::string flipped(const std::string &in);
// n bytes of a fixed pseudo-random sequence.
std::string noise(std::size_t n, unsigned seed = 1);

// Whether got holds exactly the bytes of want; when not, tells the sizes
// and the first offset where they differ rather than every byte.
::testing::AssertionResult same_bytes(const std::string &got,
                                      const std::string &want);

// The message that perror(op) writes for the error err.
std::string says(const char *op, int err);

// Names a case of a parameterised test by its name member.
template <class T> std::string named(const ::testing::TestParamInfo<T> &p)
{
    return p.param.name;
}

// Each test gets a folder of its own, removed afterwards.
class scratch : public ::testing::Test
{
  protected:
    void SetUp() override;
    void TearDown() override;
    std::string path(const std::string &name) const { return dir + "/" + name; }
    result run(const std::vector<std::string> &args,
               const limits &lim = {}) const
    {
        return run_in(dir, args, lim);
    }
    std::string dir;
};

#endif
