// SPDX-License-Identifier: MIT
//
// Paths that a shell or a careless program would mangle (spaces, a leading
// dash, bytes beyond ASCII, about 4000 bytes) reach the files, the path
// lines and the messages unchanged.
#include "harness.h"

#include <cerrno>
#include <filesystem>
#include <ostream>
#include <string>

namespace fs = std::filesystem;

namespace
{

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
