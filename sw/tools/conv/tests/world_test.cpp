// SPDX-License-Identifier: MIT
//
// In place where the world around the run is not tidy: a folder on the
// path swapped for a symbolic link, folders deeper than PATH_MAX, and a
// sparse file on a file system with room for its data only.  Some of these
// need root (to mount); they are skipped, saying why, where it or a tool
// is missing.
#include "world_fixture.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace
{

// Swapping a folder on the path for a symbolic link to another folder,
// while the run names and renames its result, changes nothing: the file
// in the folder first opened is converted, and the other folder's file of
// the same name is not touched.  The run is held in each of those system
// calls by strace.
TEST_F(world, folder_swapped_for_a_link_mid_run)
{
    POSIX_ONLY();
    NEEDS_STRACE();
    const std::vector<std::string> builds = {program(), named_temp_program()};
    for (const std::string &build : builds) {
        if (build.empty())
            continue;
        SCOPED_TRACE(build);
        fs::remove_all(path("d"));
        fs::remove_all(path("d.old"));
        fs::remove_all(path("elsewhere"));
        fs::create_directory(path("d"));
        fs::create_directory(path("elsewhere"));
        write_file(path("d/f"), original);
        write_file(path("elsewhere/f"), "not to be touched");
        const std::string trace = path("trace");
        limits lim;
        lim.program = build;
        lim.wrap = under_strace(
            trace,
            {"-e", "trace=linkat,renameat,renameat2", "-e",
             "inject=linkat,renameat,renameat2:delay_enter=1500000:when=1"});
        lim.own_group = true;
        child c = start({"d/f", "d/f"}, dir, lim);
        reaper guard{c.pid, true};
        ASSERT_TRUE(wait_until([&] {
            std::ifstream t(trace);
            std::stringstream s;
            s << t.rdbuf();
            return s.str().find("link") != std::string::npos ||
                   s.str().find("rename") != std::string::npos;
        }));
        fs::rename(path("d"), path("d.old"));
        fs::create_directory_symlink("elsewhere", path("d"));
        result r = finish(c);
        fs::remove(trace);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(same_bytes(read_file(path("d.old/f")), converted));
        EXPECT_EQ(read_file(path("elsewhere/f")), "not to be touched");
        EXPECT_EQ(listing(path("d.old")), std::vector<std::string>{"f"});
        EXPECT_EQ(listing(path("elsewhere")), std::vector<std::string>{"f"});
    }
}

// In a folder deeper than PATH_MAX, a file converts in place as it does to
// another file.
TEST_F(world, folder_deeper_than_path_max)
{
    POSIX_ONLY();
    const std::string name(200, 'd');
    std::vector<int> fds = {open(dir.c_str(), O_RDONLY | O_DIRECTORY)};
    for (int i = 0; i < 25; ++i) { // 25 × 201 bytes
        ASSERT_EQ(mkdirat(fds.back(), name.c_str(), 0755), 0);
        fds.push_back(openat(fds.back(), name.c_str(), O_RDONLY | O_DIRECTORY));
        ASSERT_GE(fds.back(), 0);
    }
    const int deep = fds.back();
    int fd = openat(deep, "f", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, original.data(), original.size()),
              static_cast<ssize_t>(original.size()));
    close(fd);
    limits lim;
    lim.cwd_fd = deep;
    result two = run({"f", "g"}, lim);
    result same = run({"f", "f"}, lim);
    // Read back through the descriptors, and removed from the bottom up.
    auto read_at = [&](const char *file) {
        std::string got(original.size() + 1, '\0');
        int rfd = openat(deep, file, O_RDONLY);
        ssize_t n = rfd < 0 ? -1 : read(rfd, got.data(), got.size());
        close(rfd);
        got.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
        return got;
    };
    const std::string g = read_at("g");
    const std::string f = read_at("f");
    unlinkat(deep, "f", 0);
    unlinkat(deep, "g", 0);
    for (std::size_t i = fds.size() - 1; i > 0; --i) {
        close(fds[i]);
        unlinkat(fds[i - 1], name.c_str(), AT_REMOVEDIR);
    }
    close(fds[0]);
    EXPECT_EQ(two.status, 0) << two.err;
    EXPECT_EQ(same.status, 0) << same.err;
    EXPECT_TRUE(same_bytes(g, converted));
    EXPECT_TRUE(same_bytes(f, converted));
}

// The free room needed is the room the file takes, not its length: a
// sparse file of 100 MiB holding 12 KiB converts on a tmpfs of 40 MiB.
TEST_F(world, sparse_file_needs_room_for_its_data_only)
{
    POSIX_ONLY();
    NEEDS_ROOT();
    NEEDS(feature::mounts);
    fs::create_directory(path("d"));
    mounted m{path("d")};
    m.ok = mount_fs("tmpfs", m.at, "size=40m");
    if (!m.ok)
        GTEST_SKIP() << "cannot mount a tmpfs here";
    const off_t length = off_t{100} << 20;
    const off_t at[] = {0, length / 2, length - 4096};
    int fd = open(path("d/f").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    for (off_t where : at) {
        const std::string piece = noise(4096, static_cast<unsigned>(where));
        ASSERT_EQ(pwrite(fd, piece.data(), piece.size(), where), 4096);
    }
    ASSERT_EQ(ftruncate(fd, length), 0);
    close(fd);
    result r = run({"d/f", "d/f"});
    ASSERT_EQ(r.status, 0) << r.err;
    struct stat st {
    };
    ASSERT_EQ(stat(path("d/f").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, length);
    EXPECT_LT(st.st_blocks * 512, off_t{1} << 20) << "the holes were filled";
    fd = open(path("d/f").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    for (off_t where : at) {
        std::string got(4096, '\0');
        EXPECT_EQ(pread(fd, got.data(), got.size(), where), 4096);
        EXPECT_TRUE(
            same_bytes(got, flipped(noise(4096, static_cast<unsigned>(where)))))
            << "at " << where;
    }
    close(fd);
    EXPECT_EQ(listing(path("d")), std::vector<std::string>{"f"});
}

} // namespace
