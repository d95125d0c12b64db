// SPDX-License-Identifier: MIT
//
// A run that succeeds in place has its result on the disk before the
// result has the file's name, and the folder's new entry after, as its
// system calls show under strace; with both builds: the usual one and the
// one that names its temporary file from the start.
#include "inplace_fixture.h"

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace
{

class durable : public inplace, public ::testing::WithParamInterface<bool>
{
};

// The system calls of a run, in order: the data is on the disk before the
// file gets its name, and the folder after the rename.
TEST_P(durable, success_is_synced)
{
    POSIX_ONLY();
    NEEDS_NAMED_TEMP_BUILD(GetParam());
    if (emulated())
        GTEST_SKIP() << "strace would trace the emulator";
    if (!installed("strace"))
        GTEST_SKIP() << "strace is not installed (apt-get install strace)";
    limits lim = build(GetParam());
    const std::string trace =
        path("../" + fs::path(dir).filename().string() + ".trace");
    lim.wrap = under_strace(
        trace,
        {"-y", "-e", "trace=fsync,fdatasync,linkat,rename,renameat,renameat2"});
    result r = run({"f", "f"}, lim);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(same_bytes(read_file(path("f")), converted));

    std::vector<std::string> calls;
    std::string last_arg;
    const std::regex call(R"(^(?:\d+ +)?([a-z0-9]+)\(([^,)]*))");
    std::ifstream lines(trace);
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (!std::regex_search(line, m, call))
            continue;
        std::string name = m[1];
        calls.push_back(name.rfind("rename", 0) == 0 ? "rename" : name);
        last_arg = m[2];
    }
    fs::remove(trace);
    const std::vector<std::string> want =
        GetParam() || !unnamed_files(dir)
            ? std::vector<std::string>{"fsync", "rename", "fsync"}
            : std::vector<std::string>{"fsync", "linkat", "rename", "fsync"};
    EXPECT_EQ(calls, want);
    EXPECT_NE(last_arg.find("<" + dir + ">"), std::string::npos)
        << "the last sync is of " << last_arg << ", not the folder";
}

INSTANTIATE_TEST_SUITE_P(table, durable, ::testing::Bool(), build_name);

} // namespace
