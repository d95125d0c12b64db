// SPDX-License-Identifier: MIT
//
// Files and their bytes: each test's scratch folder, files read, written
// and listed, FIFOs fed, and the bytes a conversion should give.
#include "convert.h"
#include "harness.h"
#include "swap.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

namespace fs = std::filesystem;

int open_writer(const std::string &path)
{
    int fd = -1;
    wait_until([&] {
        fd = open(path.c_str(), O_WRONLY | O_NONBLOCK);
        return fd >= 0 || errno != ENXIO;
    });
    if (fd >= 0)
        (void)fcntl(fd, F_SETFL, 0);
    return fd;
}

void feed_fifo(const std::string &path, const std::string &data, unsigned seed)
{
    std::mt19937 gen(seed);
    int fd = open_writer(path);
    ASSERT_GE(fd, 0) << "no reader opened " << path;
    for (std::size_t at = 0; at < data.size();) {
        std::size_t most = gen() % 6 == 0 ? 3 * bufsize / 2 : 13;
        std::size_t n = std::min(data.size() - at, 1 + gen() % most);
        ASSERT_EQ(write(fd, data.data() + at, n), static_cast<ssize_t>(n));
        at += n;
        if (gen() % 12 == 0)
            std::this_thread::sleep_for(std::chrono::microseconds(150));
    }
    close(fd);
}

std::string read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    if (!f)
        throw std::runtime_error("cannot read " + path);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

void write_file(const std::string &path, const std::string &data)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(data.data(), static_cast<std::streamsize>(data.size()));
    if (!f.flush())
        throw std::runtime_error("cannot write " + path);
}

bool exists(const std::string &path)
{
    return fs::exists(fs::symlink_status(path));
}

std::vector<std::string> listing(const std::string &dir)
{
    std::vector<std::string> names;
    for (const auto &e : fs::directory_iterator(dir))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string flipped(const std::string &in)
{
    std::string out(in.size() - in.size() % 4, '\0');
    for (std::size_t i = 0; i < out.size(); i += 4) {
        word w;
        std::memcpy(&w, &in[i], 4);
        w = swap_word(w);
        std::memcpy(&out[i], &w, 4);
    }
    return out;
}

::testing::AssertionResult same_bytes(const std::string &got,
                                      const std::string &want)
{
    if (got == want)
        return ::testing::AssertionSuccess();
    auto diff = std::mismatch(got.begin(), got.end(), want.begin(), want.end());
    return ::testing::AssertionFailure()
           << got.size() << " bytes where " << want.size()
           << " were wanted, first differing at offset "
           << (diff.first - got.begin());
}

std::string noise(std::size_t n, unsigned seed)
{
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; i += 4) {
        const auto v = static_cast<std::uint32_t>(gen());
        std::memcpy(&s[i], &v, std::min<std::size_t>(4, n - i));
    }
    return s;
}

void scratch::SetUp()
{
    std::string tmpl =
        (fs::temp_directory_path() / "quadflip-test-XXXXXX").string();
    if (!mkdtemp(tmpl.data()))
        throw std::runtime_error("mkdtemp failed");
    dir = tmpl;
}

void scratch::TearDown()
{
    fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add);
    fs::remove_all(dir);
}
