// SPDX-License-Identifier: MIT
//
// An existing output ends holding the converted words, written in place,
// whatever it held and whoever runs into it.  Where the file system gives
// every file one identity under all its names, that identity alone tells
// the output from the input; elsewhere an output that cannot be told from
// the input by its bytes is refused, unless it holds the result already.
#include "convert.h"
#include "world_fixture.h"

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace
{

// What a run into an existing output does with it.
enum class outcome {
    written, // it ends holding the converted words: status 0
    refused, // it may be the input: left as it was, status 1
    kept,    // it holds the result already: left as it was, status 0
};

struct existing_case {
    const char *name;
    std::string (*in)(std::size_t n);          // the input's data
    std::string (*out)(const std::string &in); // the output's data first
    std::size_t in_size;
    outcome by_identity; // where identity tells every name of a file
    outcome by_bytes;    // elsewhere
    bool holes = false;  // both are nothing but a hole of in_size bytes
};

void PrintTo(const existing_case &c, std::ostream *os)
{
    *os << c.name;
}

// Where both files lie: the test's folder (of whatever file system the
// machine has), or a file system mounted for the test.  On tmpfs and ext4
// identity tells every name of a file apart; through an overlay it does
// not.
enum class where { scratch, tmpfs, ext4, overlay };

const char *const where_names[] = {"scratch", "tmpfs", "ext4", "overlay"};

void PrintTo(where w, std::ostream *os)
{
    *os << where_names[static_cast<int>(w)];
}

using param = std::tuple<existing_case, where>;

std::string param_name(const ::testing::TestParamInfo<param> &p)
{
    return std::string(std::get<0>(p.param).name) + "_on_" +
           where_names[static_cast<int>(std::get<1>(p.param))];
}

class existing_output : public scratch,
                        public ::testing::WithParamInterface<param>
{
};

// The folder to work in, under dir, on the file system w, mounted on m,
// and for an overlay on a tmpfs under it, tmp: "" to skip, saying why in
// *why.
std::string folder(const std::string &dir, where w, mounted &tmp, mounted &m,
                   std::string *why)
{
    if (w == where::scratch)
        return dir;
    if (geteuid() != 0) {
        *why = "mounting needs root";
        return "";
    }
    m.at = dir + "/m";
    if (w == where::ext4) {
        *why = mount_image(dir, {"mkfs.ext4", "-q", "-F"}, 64 << 20, "", m);
        if (!why->empty())
            return "";
        fs::create_directory(m.at + "/d"); // beside lost+found
        return m.at + "/d";
    }
    tmp.at = w == where::tmpfs ? m.at : dir + "/t";
    fs::create_directory(tmp.at);
    tmp.ok = mount_fs("tmpfs", tmp.at, "size=64m");
    *why = "cannot mount a tmpfs here";
    if (!tmp.ok || w == where::tmpfs)
        return tmp.ok ? tmp.at : "";
    for (const char *sub : {"/l", "/u", "/w"})
        fs::create_directory(tmp.at + sub);
    fs::create_directory(m.at);
    m.ok = mount_fs("overlay", m.at,
                    "lowerdir=" + tmp.at + "/l,upperdir=" + tmp.at +
                        "/u,workdir=" + tmp.at + "/w");
    *why = "cannot mount an overlay here";
    return m.ok ? m.at : "";
}

const char *const copy_refused =
    "open: the output holds the same bytes as the input, and may be the "
    "input under another name: remove it, or choose another name\n";

// Whether identity tells every name of a file at w, as the program under
// test sees it: not through an overlay, nor in the build that knows no
// file system by name; everywhere on Windows.
bool identity_decides(where w)
{
    return on_windows() || (!portable_build() && w != where::overlay);
}

// An existing output ends as the case says: holding exactly the converted
// words, written in place, so that a hard link to it sees the result too,
// and keeping its mode; or left as it was, times and all.  The input is not
// touched, and nothing is left beside them.
TEST_P(existing_output, ends_as_its_file_system_tells)
{
    const existing_case &c = std::get<0>(GetParam());
    const where w = std::get<1>(GetParam());
    std::string why;
    mounted tmp; // declared first, so that it goes last: m may lie on it
    mounted m;
    const std::string at = folder(dir, w, tmp, m, &why);
    if (at.empty())
        GTEST_SKIP() << why;
    const std::string in = c.in(c.in_size);
    const std::string before = c.out(in);
    if (c.holes) {
        write_file(at + "/in", "");
        write_file(at + "/out", "");
        fs::resize_file(at + "/in", c.in_size);
        fs::resize_file(at + "/out", c.in_size);
    } else {
        write_file(at + "/in", in);
        write_file(at + "/out", before);
    }
    if (!on_windows()) {
        fs::permissions(at + "/out", fs::perms(0640));
        fs::create_hard_link(at + "/out", at + "/out.link");
    }
    const auto old = fs::file_time_type::clock::now() - std::chrono::hours(1);
    fs::last_write_time(at + "/out", old);
    result r = run({at + "/in", at + "/out"});
    EXPECT_EQ(r.out, at + "/in\n" + at + "/out\n");
    const outcome want = identity_decides(w) ? c.by_identity : c.by_bytes;
    if (want == outcome::written) {
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(same_bytes(read_file(at + "/out"), flipped(in)));
    } else {
        EXPECT_EQ(r.status, want == outcome::refused ? 1 : 0);
        EXPECT_EQ(r.err, want == outcome::refused ? copy_refused : "");
        EXPECT_TRUE(same_bytes(read_file(at + "/out"), before));
        EXPECT_EQ(fs::last_write_time(at + "/out"), old);
    }
    EXPECT_TRUE(same_bytes(read_file(at + "/in"), in));
    if (!on_windows()) {
        EXPECT_EQ(fs::status(at + "/out").permissions(), fs::perms(0640));
        EXPECT_EQ(read_file(at + "/out.link"), read_file(at + "/out"));
        fs::remove(at + "/out.link");
    }
    EXPECT_EQ(listing(at), (std::vector<std::string>{"in", "out"}));
}

// Lengths beyond a block, and below.
constexpr std::size_t big = 3 * bufsize + 8;

std::string random_words(std::size_t n)
{
    return noise(n, 5);
}
std::string zeros(std::size_t n)
{
    return std::string(n, '\0');
}
std::string erased(std::size_t n) // erased flash
{
    return std::string(n, '\xff');
}
// Words that read the same both ways, each of its own.
std::string palindromes(std::size_t n)
{
    std::string s = noise(n, 7);
    for (std::size_t i = 0; i + 3 < n; i += 4) {
        s[i + 3] = s[i];
        s[i + 2] = s[i + 1];
    }
    return s;
}
std::string same(const std::string &in)
{
    return in;
}
std::string converted(const std::string &in)
{
    return flipped(in);
}

using o = outcome;

// Outputs that are the input's bytes: on a file system whose identities
// cannot be relied on, they may be the input under another name.
const existing_case copies[] = {
    {"copy", random_words, same, big, o::written, o::refused},
    {"small_copy", random_words, same, 4004, o::written, o::refused},
    {"ragged_copy", random_words, same, big + 3, o::written, o::refused},
    // A re-run over the result of a blank image, or any whose words read
    // the same both ways: the output holds the result already.
    {"blank_rerun", zeros, converted, big, o::written, o::kept},
    {"erased_flash_rerun", erased, converted, 4096, o::written, o::kept},
    {"palindromes_rerun", palindromes, converted, big, o::written, o::kept},
    {"sparse_blank_rerun", zeros, converted, std::size_t{1} << 24, o::written,
     o::kept, true},
    // The result would be shorter than the input by its tail.
    {"ragged_blank_copy", zeros, same, big + 1, o::written, o::refused},
};

// Outputs that are not the input's bytes, wherever they lie.
const existing_case others[] = {
    {"copy_with_more", random_words,
     [](const std::string &in) { return in + "more"; }, big, o::written,
     o::written},
    {"copy_cut_short", random_words,
     [](const std::string &in) { return in.substr(0, in.size() - 4); }, big,
     o::written, o::written},
    {"same_length_other_start", random_words,
     [](const std::string &in) { return "XXXX" + in.substr(4); }, big,
     o::written, o::written},
    {"same_start_other_end", random_words,
     [](const std::string &in) { return in.substr(0, in.size() - 4) + "XXXX"; },
     big, o::written, o::written},
    {"ragged_same_length_other_end", random_words,
     [](const std::string &in) { return in.substr(0, in.size() - 4) + "XXXX"; },
     big + 3, o::written, o::written},
    {"blank_other_start", zeros,
     [](const std::string &in) { return "\x01" + in.substr(1); }, big,
     o::written, o::written},
    {"empty", random_words, [](const std::string &) { return std::string(); },
     big, o::written, o::written},
};

INSTANTIATE_TEST_SUITE_P(anywhere, existing_output,
                         ::testing::Combine(::testing::ValuesIn(others),
                                            ::testing::Values(where::scratch)),
                         param_name);

INSTANTIATE_TEST_SUITE_P(mounted, existing_output,
                         ::testing::Combine(::testing::ValuesIn(copies),
                                            ::testing::Values(where::tmpfs,
                                                              where::ext4,
                                                              where::overlay)),
                         param_name);

INSTANTIATE_TEST_SUITE_P(
    mounted_others, existing_output,
    ::testing::Combine(::testing::Values(others[3], others[5]),
                       ::testing::Values(where::tmpfs, where::ext4,
                                         where::overlay)),
    param_name);

// An existing output that another user runs into is written as any output
// is, in place, where the user may write it, even in a folder the user may
// not write: one the user cannot read, though it holds the input's bytes
// (every name of the input can be read, so it is not the input), and one
// of another owner alike in its start.
// Where bytes decide, a sparse image costs what its data costs: only the
// stretches where either file holds data are read, a hole reading as
// zeros.  A re-run over a blank image of a TiB through an overlay, with a
// few words of data far apart, reads a few pages, as strace counts them.
class sparse_existing_output : public scratch
{
};

TEST_F(sparse_existing_output, is_compared_where_it_holds_data)
{
    POSIX_ONLY();
    NEEDS_STRACE();
    std::string why;
    mounted tmp;
    mounted m;
    const std::string at = folder(dir, where::overlay, tmp, m, &why);
    if (at.empty())
        GTEST_SKIP() << why;
    for (const char *name : {"/in", "/out"}) {
        write_file(at + name, "");
        fs::resize_file(at + name, std::uintmax_t{1} << 40);
        std::fstream f(at + name,
                       std::ios::in | std::ios::out | std::ios::binary);
        for (std::streamoff off :
             {std::streamoff{1} << 30, std::streamoff{1} << 39})
            f.seekp(off).write("\x11\x22\x22\x11", 4);
    }
    const std::string trace = dir + ".trace";
    limits lim;
    lim.wrap = under_strace(trace, {"-e", "trace=pread64,read"});
    const result r = run({at + "/in", at + "/out"}, lim);
    const std::string calls = exists(trace) ? read_file(trace) : "";
    fs::remove(trace);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    std::size_t reads = 0;
    for (std::size_t i = 0; (i = calls.find("read", i)) != std::string::npos;
         ++i)
        ++reads;
    EXPECT_LT(reads, 100U) << calls.substr(0, 2000);
}

class existing_output_of_another_user : public scratch
{
};

TEST_F(existing_output_of_another_user, is_written_in_place)
{
    POSIX_ONLY();
    if (geteuid() != 0)
        GTEST_SKIP() << "running as another user needs root";
    const std::string in = noise(3 * bufsize + 8, 5);
    write_file(path("in"), in);
    fs::permissions(dir, fs::perms(0755));
    const struct {
        const char *name;
        std::string data;
        fs::perms mode;
    } outputs[] = {{"write_only_copy", in, fs::perms(0222)},
                   {"same_start_other_end",
                    in.substr(0, in.size() - 4) + "XXXX", fs::perms(0666)}};
    for (const auto &out : outputs) {
        SCOPED_TRACE(out.name);
        write_file(path("out"), out.data);
        fs::permissions(path("out"), out.mode);
        limits lim;
        lim.as_nobody = true;
        result r = run({"in", "out"}, lim);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(fs::status(path("out")).permissions(), out.mode);
        EXPECT_TRUE(same_bytes(read_file(path("out")), flipped(in)));
        EXPECT_EQ(listing(dir), (std::vector<std::string>{"in", "out"}));
    }
}

} // namespace
