// Runs the built quadflip as a child process and looks at what it did.
#ifndef QUADFLIP_TESTS_HARNESS_H
#define QUADFLIP_TESTS_HARNESS_H

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/types.h>

#include <cstdio>
#include <string>
#include <vector>

// What a finished run left: its exit status (128 + the signal if one killed
// it) and everything it wrote on standard output and standard error.
struct result {
    int status;
    std::string out;
    std::string err;
};

struct limits {
    rlim_t fsize = RLIM_INFINITY; // largest file the child may write
    int out_fd = -1;              // standard output, when not captured
};

// A child started but not yet waited for.
struct child {
    pid_t pid;
    std::FILE *out;
    std::FILE *err;
};

// The program under test: QUADFLIP_BIN, or the one built beside the tests.
const std::string &program();

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

// Starts quadflip with args (argv[0] is the built program) in the folder cwd.
child start(const std::vector<std::string> &args, const std::string &cwd,
            limits lim = {});
result finish(child c);

// Writes data to the FIFO at path in pieces of random sizes (mostly a few
// bytes, now and then over a block), pausing now and then so that the
// reader sees pieces on their own.
void feed_fifo(const std::string &path, const std::string &data, unsigned seed);

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
    result run(const std::vector<std::string> &args, limits lim = {}) const
    {
        return finish(start(args, dir, lim));
    }
    std::string dir;
};

#endif
