// SPDX-License-Identifier: MIT
//
// File names that are not ASCII reach their own files, and no look-alike:
// on Windows the command line must not pass through a code page that turns
// "ł" into "l" or "Ａ" into "A".
#include "harness.h"

#include <algorithm>
#include <vector>

namespace
{

struct name_case {
    const char *name;
    std::string in, out;                 // the names given
    std::vector<std::string> lookalikes; // files that must stay untouched
};

void PrintTo(const name_case &c, std::ostream *os)
{
    *os << c.name;
}

class names : public scratch, public ::testing::WithParamInterface<name_case>
{
};

TEST_P(names, reach_their_own_files)
{
    const name_case &c = GetParam();
    const std::string data = noise(3000);
    const std::string other = "a look-alike, not to be touched";
    write_file(path(c.in), data);
    for (const std::string &l : c.lookalikes)
        write_file(path(l), other);

    result r = run({c.in, c.out});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, c.in + "\n" + c.out + "\n"); // the UTF-8 bytes as given
    EXPECT_TRUE(same_bytes(read_file(path(c.out)), flipped(data)));
    EXPECT_TRUE(same_bytes(read_file(path(c.in)), data));

    r = run({c.in, c.in});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, c.in + "\n" + c.in + "\n");
    EXPECT_TRUE(same_bytes(read_file(path(c.in)), flipped(data)));

    for (const std::string &l : c.lookalikes)
        EXPECT_EQ(read_file(path(l)), other) << l;
    std::vector<std::string> all = c.lookalikes;
    all.push_back(c.in);
    all.push_back(c.out);
    std::sort(all.begin(), all.end());
    EXPECT_EQ(listing(dir), all);
}

INSTANTIATE_TEST_SUITE_P(
    table, names,
    ::testing::Values(name_case{"polish",
                                "k\xc5\x82oda.bin",
                                "k\xc5\x82oda.out",
                                {"kloda.bin", "kloda.out"}},
                      name_case{"full_width",
                                "\xef\xbc\xa1.bin", // U+FF21
                                "\xef\xbc\xa2.bin", // U+FF22
                                {"A.bin", "B.bin"}},
                      name_case{"cyrillic",
                                "\xd1\x84\xd0\xb0\xd0\xb9\xd0\xbb.bin", // файл
                                "\xd1\x84\xd0\xb0\xd0\xb9\xd0\xbb.out",
                                {"????.bin", "????.out"}},
                      name_case{"cjk",
                                "\xe6\x95\xb0\xe6\x8d\xae.bin", // 数据
                                "\xe6\x95\xb0\xe6\x8d\xae.out",
                                {"??.bin", "??.out"}}),
    named<name_case>);

} // namespace
