// SPDX-License-Identifier: MIT
//
// What the tests of standard streams and of sparse files share: the
// fixture of the tests of streams, and a run whose output is a pipe.
#ifndef QUADFLIP_TESTS_STREAMS_FIXTURE_H
#define QUADFLIP_TESTS_STREAMS_FIXTURE_H

#include "harness.h"

#include <stdexcept>
#include <string>

#include <unistd.h>

class streams : public scratch
{
};

// Runs "in /dev/stdout" in dir with standard output a pipe, and returns
// all that came through it; status receives the exit status.
inline std::string into_a_pipe(const std::string &dir, int &status)
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

#endif
