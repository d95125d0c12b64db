// SPDX-License-Identifier: MIT
//
// What the tests of in-place runs in an untidy world share: their fixture,
// a file of a MiB and its conversion; whether they run as root; whether
// strace can hold a run; and what makes a file that file beside its data.
#ifndef QUADFLIP_TESTS_WORLD_FIXTURE_H
#define QUADFLIP_TESTS_WORLD_FIXTURE_H

#include "harness.h"

#include <cstddef>
#include <map>
#include <ostream>
#include <string>

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

class world : public scratch
{
  protected:
    void SetUp() override
    {
        scratch::SetUp();
        original = noise(std::size_t{1} << 20);
        converted = flipped(original);
    }
    std::string original, converted;
};

inline bool root()
{
    return geteuid() == 0;
}

#define NEEDS_ROOT()                                                           \
    do {                                                                       \
        if (!root())                                                           \
            GTEST_SKIP() << "needs root";                                      \
    } while (0)

#define NEEDS_STRACE()                                                         \
    do {                                                                       \
        if (emulated())                                                        \
            GTEST_SKIP() << "strace would trace the emulator";                 \
        if (!installed("strace"))                                              \
            GTEST_SKIP()                                                       \
                << "strace is not installed (apt-get install strace)";         \
    } while (0)

// What makes the file at path that file, beside its data: owner, group,
// mode and every extended attribute, the ACL's among them.
struct meta {
    uid_t uid;
    gid_t gid;
    mode_t mode;
    std::map<std::string, std::string> xattrs;
    bool operator==(const meta &o) const
    {
        return uid == o.uid && gid == o.gid && mode == o.mode &&
               xattrs == o.xattrs;
    }
};

inline void PrintTo(const meta &m, std::ostream *os)
{
    *os << "uid " << m.uid << ", gid " << m.gid << ", mode " << std::oct
        << m.mode << std::dec;
    for (const auto &x : m.xattrs)
        *os << ", " << x.first << " (" << x.second.size() << " bytes)";
}

inline meta meta_of(const std::string &path)
{
    struct stat st {
    };
    EXPECT_EQ(stat(path.c_str(), &st), 0);
    return {st.st_uid, st.st_gid, st.st_mode, xattrs_of(path)};
}

#endif
