// SPDX-License-Identifier: MIT
#include "harness.h"
#include "convert.h"
#include "swap.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sched.h>

#if __has_include(<linux/fs.h>)
#include <linux/fs.h> // before sys/mount.h, whose names it shares
#endif
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#ifdef __linux__ // elsewhere the calls take other arguments, or are missing
#include <sys/xattr.h>
#endif
#include <unistd.h>

namespace fs = std::filesystem;

namespace
{

std::string slurp(std::FILE *f)
{
    std::string s;
    std::rewind(f);
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        s.append(buf, n);
    (void)std::fclose(f);
    return s;
}

std::string normalised(std::string s)
{
    if (on_windows()) // its standard streams end lines with CR LF
        for (std::size_t at; (at = s.find("\r\n")) != std::string::npos;)
            s.erase(at, 1);
    return s;
}

} // namespace

const std::string &program()
{
    static const std::string path = [] {
        const char *bin = std::getenv("QUADFLIP_BIN");
        return std::string(bin && *bin ? bin : QUADFLIP);
    }();
    return path;
}

std::string named_temp_program()
{
    const char *bin = std::getenv("QUADFLIP_BIN");
    return bin && *bin ? std::string() : std::string(QUADFLIP_NAMED);
}

std::string two_threads_program()
{
    const char *bin = std::getenv("QUADFLIP_BIN");
    return bin && *bin ? std::string() : std::string(QUADFLIP_TWO);
}

std::string no_watch_program()
{
    const char *bin = std::getenv("QUADFLIP_BIN");
    return bin && *bin ? std::string() : std::string(QUADFLIP_NO_WATCH_BIN);
}

bool emulated()
{
    const char *runner = std::getenv("QUADFLIP_RUNNER");
    return runner && *runner;
}

bool on_windows()
{
    const char *target = std::getenv("QUADFLIP_TARGET");
    return target && std::strcmp(target, "windows") == 0;
}

bool same_message(const std::string &got, const std::string &want)
{
    if (got == want || !on_windows())
        return got == want;
    // The system's error texts and the program path as the program sees
    // it differ there; what the program itself says must not.
    if (want.compare(0, program().size(), program()) == 0) {
        std::string rest = want.substr(program().size());
        return got.size() > rest.size() &&
               got.compare(got.size() - rest.size(), rest.size(), rest) == 0;
    }
    std::size_t colon = want.find(": ");
    return colon != std::string::npos && got.size() > colon + 2 &&
           got.compare(0, colon + 2, want, 0, colon + 2) == 0 &&
           got.back() == '\n';
}

namespace
{

// What the system has of what some tests need, as far as the build can
// tell; /proc is looked for when the tests run.
#ifdef CPU_SETSIZE
constexpr bool affinity_here = true;
#else
constexpr bool affinity_here = false;
#endif
#ifdef MS_BIND
constexpr bool mounts_here = true;
#else
constexpr bool mounts_here = false;
#endif
#ifdef F_GETPIPE_SZ
constexpr bool pipe_size_here = true;
#else
constexpr bool pipe_size_here = false;
#endif
#ifdef __linux__
constexpr bool xattrs_here = true;
#else
constexpr bool xattrs_here = false;
#endif
#if defined(FS_IOC_GETFLAGS) && defined(FS_IOC_FSGETXATTR)
constexpr bool inode_flags_here = true;
#else
constexpr bool inode_flags_here = false;
#endif

// Whether have holds; where not, says lack in *why.
bool there(bool have, const char *lack, std::string *why)
{
    if (!have && why)
        *why = lack;
    return have;
}

} // namespace

bool has(feature f, std::string *why)
{
    switch (f) {
    case feature::affinity:
        return there(affinity_here,
                     "no processor affinity here (sched_setaffinity is "
                     "Linux's)",
                     why);
    case feature::mounts:
        return there(mounts_here,
                     "mounting as the tests do needs Linux's mount(2)", why);
    case feature::proc:
        return there(fs::exists("/proc/self/fdinfo"),
                     "no /proc/PID/fdinfo here: the threads and open files "
                     "of another process cannot be seen",
                     why);
    case feature::pipe_size:
        return there(pipe_size_here,
                     "the room in a pipe cannot be told here (F_GETPIPE_SZ "
                     "is Linux's)",
                     why);
    case feature::xattrs:
        return there(xattrs_here,
                     "no extended attributes through Linux's calls here", why);
    case feature::inode_flags:
        return there(inode_flags_here,
                     "no inode flags or project IDs here (FS_IOC_GETFLAGS is "
                     "Linux's)",
                     why);
    }
    return false;
}

namespace
{

// Keeps the child on its first n processors of those it may run on.
bool keep_processors(int n)
{
#ifdef CPU_SETSIZE
    cpu_set_t allowed;
    cpu_set_t some;
    CPU_ZERO(&some);
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0)
        return false;
    int kept = 0;
    for (std::size_t cpu = 0; cpu < CPU_SETSIZE && kept < n; ++cpu)
        if (CPU_ISSET(cpu, &allowed)) {
            CPU_SET(cpu, &some);
            ++kept;
        }
    return sched_setaffinity(0, sizeof some, &some) == 0;
#else
    (void)n;
    return false;
#endif
}

// setgroups(2) takes the count as a size_t on Linux, as an int on macOS
// and the BSDs: the type is taken from the call itself.
template <class count>
int set_groups(int (*call)(count, const gid_t *),
               const std::vector<gid_t> &groups)
{
    return call(static_cast<count>(groups.size()), groups.data());
}

} // namespace

child start(const std::vector<std::string> &args, const std::string &cwd,
            const limits &lim)
{
    // QUADFLIP_RUNNER names a command to run the program with: an
    // emulator for another processor, or wine.
    std::vector<std::string> words = lim.wrap;
    const char *runner = std::getenv("QUADFLIP_RUNNER");
    std::istringstream runwords(runner ? runner : "");
    for (std::string w; runwords >> w;)
        words.push_back(w);
    words.push_back(lim.program.empty() ? program() : lim.program);
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char *> argv;
    argv.reserve(words.size() + 1);
    for (std::string &w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);

    child c{-1, std::tmpfile(), std::tmpfile()};
    if (!c.out || !c.err)
        throw std::runtime_error("tmpfile failed");
    (void)std::fflush(nullptr);
    c.pid = fork();
    if (c.pid == 0) {
        struct rlimit fsize {
            lim.fsize, lim.fsize
        };
        struct rlimit vmem {
            lim.vmem, lim.vmem
        };
        int out = lim.out_fd >= 0 ? lim.out_fd : fileno(c.out);
        if ((lim.in_fd >= 0 && dup2(lim.in_fd, 0) < 0) || dup2(out, 1) < 0 ||
            dup2(lim.err_to_out ? 1 : fileno(c.err), 2) < 0 ||
            (lim.cwd_fd >= 0 ? fchdir(lim.cwd_fd) : chdir(cwd.c_str())) != 0 ||
            setrlimit(RLIMIT_FSIZE, &fsize) != 0 ||
            setrlimit(RLIMIT_AS, &vmem) != 0)
            _exit(127);
        if (lim.cpus > 0 && !keep_processors(lim.cpus))
            _exit(127);
        if (!lim.cgroup.empty()) {
            std::ofstream procs(lim.cgroup);
            if (!(procs << getpid() << std::flush))
                _exit(127);
        }
        if (lim.as_nobody) {
            const struct passwd *pw = getpwnam("nobody");
            if (!pw || set_groups(setgroups, lim.groups) != 0 ||
                setgid(pw->pw_gid) != 0 || setuid(pw->pw_uid) != 0)
                _exit(127);
        }
        if (lim.own_group && setpgid(0, 0) != 0)
            _exit(127);
        (void)std::signal(SIGXFSZ, SIG_DFL);
        (void)std::signal(SIGPIPE, SIG_DFL);
        for (int sig : lim.ignored)
            (void)std::signal(sig, SIG_IGN);
        for (int fd : lim.closed)
            close(fd);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    if (c.pid < 0)
        throw std::runtime_error("fork failed");
    return c;
}

result finish(child c)
{
    int ws = 0;
    while (waitpid(c.pid, &ws, 0) < 0)
        if (errno != EINTR)
            throw std::runtime_error("waitpid failed");
    int status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
    return {status, normalised(slurp(c.out)), normalised(slurp(c.err))};
}

result run_in(const std::string &cwd, const std::vector<std::string> &args,
              const limits &lim)
{
    // A failure that said nothing at all is run again too: wine has been
    // seen, once on a loaded machine, to end a run with status 1 and lose
    // its message.  (A run without its two paths fails silently on
    // purpose; run again, it does the same.)
    auto lost = [](const result &r) {
        return r.err.find("wine client error") != std::string::npos ||
               (r.status != 0 && r.out.empty() && r.err.empty());
    };
    result r = finish(start(args, cwd, lim));
    for (int again = 0; again < 3 && on_windows() && lost(r); ++again)
        r = finish(start(args, cwd, lim));
    return r;
}

bool running(const child &c)
{
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(c.pid), &info,
                  WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == 0;
}

reaper::~reaper()
{
    if (pid <= 0)
        return;
    if (group)
        (void)kill(-pid, SIGKILL);
    int ws = 0;
    if (waitpid(pid, &ws, WNOHANG) == 0) {
        (void)kill(pid, SIGKILL);
        while (waitpid(pid, &ws, 0) < 0 && errno == EINTR) {
        }
    }
}

bool wait_until(const std::function<bool()> &done)
{
    const auto give_up =
        std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (;;) {
        if (done())
            return true;
        if (std::chrono::steady_clock::now() >= give_up)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

bool holds_open(pid_t pid, const std::string &path, bool for_writing)
{
    const std::string proc = "/proc/" + std::to_string(pid);
    std::error_code ec;
    for (const auto &e : fs::directory_iterator(proc + "/fd", ec)) {
        std::error_code rec;
        if (fs::read_symlink(e.path(), rec).string() != path || rec)
            continue;
        if (!for_writing)
            return true;
        // "flags:\t0100002": the open flags, in octal.
        std::ifstream info(proc + "/fdinfo/" + e.path().filename().string());
        std::string token;
        unsigned long flags = 0;
        while (info >> token)
            if (token == "flags:" && info >> std::oct >> flags)
                break;
        if ((flags & O_ACCMODE) != O_RDONLY)
            return true;
    }
    return false;
}

std::string drain(int fd)
{
    std::string s;
    char buf[65536];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
        s.append(buf, static_cast<std::size_t>(n));
    return s;
}

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

bool installed(const std::string &tool)
{
    const char *path = std::getenv("PATH");
    std::istringstream dirs(path ? path : "");
    for (std::string d; std::getline(dirs, d, ':');)
        if (!d.empty() && access(d.append("/").append(tool).c_str(), X_OK) == 0)
            return true;
    return false;
}

mounted::~mounted()
{
    if (!ok)
        return;
    if (!fuse || !command({"fusermount", "-u", at})) {
#ifdef MNT_DETACH
        (void)umount2(at.c_str(), MNT_DETACH);
#else
        (void)unmount(at.c_str(), MNT_FORCE);
#endif
    }
}

bool mount_fs(const std::string &type, const std::string &at,
              const std::string &options)
{
#ifdef MS_BIND
    return mount(type.c_str(), at.c_str(), type.c_str(), 0, options.c_str()) ==
           0;
#else
    (void)type;
    (void)at;
    (void)options;
    errno = ENOSYS;
    return false;
#endif
}

bool bind_mount(const std::string &from, const std::string &at)
{
#ifdef MS_BIND
    return mount(from.c_str(), at.c_str(), nullptr, MS_BIND, nullptr) == 0;
#else
    (void)from;
    (void)at;
    errno = ENOSYS;
    return false;
#endif
}

int cloexec_pipe(int fds[2])
{
#ifdef __APPLE__ // no pipe2: nothing else runs a program meanwhile
    if (pipe(fds) != 0)
        return -1;
    for (int i : {0, 1})
        (void)fcntl(fds[i], F_SETFD, FD_CLOEXEC);
    return 0;
#else
    return pipe2(fds, O_CLOEXEC);
#endif
}

int cloexec_socketpair(int fds[2])
{
#ifdef SOCK_CLOEXEC
    return socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds);
#else // nothing else runs a program meanwhile
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
        return -1;
    for (int i : {0, 1})
        (void)fcntl(fds[i], F_SETFD, FD_CLOEXEC);
    return 0;
#endif
}

int pipe_room(int fd)
{
#ifdef F_GETPIPE_SZ
    return fcntl(fd, F_GETPIPE_SZ);
#else
    (void)fd;
    errno = ENOTSUP;
    return -1;
#endif
}

int set_xattr(const std::string &path, const char *name, const void *value,
              std::size_t size)
{
#ifdef __linux__
    return setxattr(path.c_str(), name, value, size, 0);
#else
    (void)path;
    (void)name;
    (void)value;
    (void)size;
    errno = ENOTSUP;
    return -1;
#endif
}

std::map<std::string, std::string> xattrs_of(const std::string &path)
{
    std::map<std::string, std::string> xattrs;
#ifdef __linux__
    std::vector<char> names(65536);
    ssize_t n = listxattr(path.c_str(), names.data(), names.size());
    for (ssize_t at = 0; at < n;) {
        const std::string name(&names[static_cast<std::size_t>(at)]);
        std::vector<char> value(65536);
        ssize_t len =
            getxattr(path.c_str(), name.c_str(), value.data(), value.size());
        xattrs[name] = std::string(value.data(),
                                   len > 0 ? static_cast<std::size_t>(len) : 0);
        at += static_cast<ssize_t>(name.size()) + 1;
    }
#else
    (void)path;
#endif
    return xattrs;
}

int inode_flag(char letter)
{
#ifdef FS_IOC_GETFLAGS
    switch (letter) {
    case 'A':
        return FS_NOATIME_FL;
    case 'C':
        return FS_NOCOW_FL;
    case 'd':
        return FS_NODUMP_FL;
    case 'S':
        return FS_SYNC_FL;
    default:
        break;
    }
#endif
    (void)letter;
    return 0;
}

int inode_flags_of(const std::string &path)
{
#ifdef FS_IOC_GETFLAGS
    const int fd = open(path.c_str(), O_RDONLY);
    int flags = 0;
    const bool ok = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (fd >= 0)
        close(fd);
    return ok ? flags & ~(FS_EXTENT_FL | FS_INLINE_DATA_FL | FS_INDEX_FL |
                          FS_HUGE_FILE_FL)
              : -1;
#else
    (void)path;
    return -1;
#endif
}

long project_of(const std::string &path)
{
#ifdef FS_IOC_FSGETXATTR
    const int fd = open(path.c_str(), O_RDONLY);
    struct fsxattr fa {
    };
    const bool ok = fd >= 0 && ioctl(fd, FS_IOC_FSGETXATTR, &fa) == 0;
    if (fd >= 0)
        close(fd);
    return ok ? static_cast<long>(fa.fsx_projid) : -1;
#else
    (void)path;
    return -1;
#endif
}

bool set_inode_flags(const std::string &path, int flags, unsigned project)
{
#if defined(FS_IOC_GETFLAGS) && defined(FS_IOC_FSGETXATTR)
    const int fd = open(path.c_str(), O_RDONLY);
    int now = 0;
    bool ok = fd >= 0;
    if (ok && flags != 0)
        ok = ioctl(fd, FS_IOC_GETFLAGS, &now) == 0 &&
             (now |= flags, ioctl(fd, FS_IOC_SETFLAGS, &now) == 0);
    if (ok && project != 0) {
        struct fsxattr fa {
        };
        ok = ioctl(fd, FS_IOC_FSGETXATTR, &fa) == 0 &&
             (fa.fsx_projid = project, ioctl(fd, FS_IOC_FSSETXATTR, &fa) == 0);
    }
    if (fd >= 0)
        close(fd);
    return ok;
#else
    (void)path;
    (void)flags;
    (void)project;
    return false;
#endif
}

std::array<struct timespec, 2> times_of(const struct stat &st)
{
#ifdef __APPLE__ // which names them st_atimespec and st_mtimespec
    return {st.st_atimespec, st.st_mtimespec};
#else
    return {st.st_atim, st.st_mtim};
#endif
}

std::string mount_image(const std::string &dir,
                        const std::vector<std::string> &mkfs,
                        unsigned long long size, const std::string &options,
                        mounted &m)
{
    std::string why;
    if (!has(feature::mounts, &why))
        return why;
    if (geteuid() != 0)
        return "mounting needs root";
    if (!installed(mkfs.at(0))) {
        const std::string &tool = mkfs[0];
        const char *package = tool == "mkfs.btrfs"  ? "btrfs-progs"
                              : tool == "mkfs.xfs"  ? "xfsprogs"
                              : tool == "mkfs.vfat" ? "dosfstools"
                                                    : "e2fsprogs";
        return tool + " is not installed (apt-get install " + package + ")";
    }
    const std::string img = dir + "/../" + fs::path(dir).filename().string() +
                            "." + fs::path(m.at).filename().string() + ".img";
    std::error_code ec;
    std::vector<std::string> make = mkfs;
    make.push_back(img);
    {
        std::ofstream(img, std::ios::binary | std::ios::trunc);
    }
    fs::resize_file(img, size, ec);
    const bool made = !ec && command(make);
    std::vector<std::string> mount = {"mount", "-o", "loop", img, m.at};
    if (!options.empty())
        mount[2] += "," + options;
    m.ok = made && (fs::create_directory(m.at, ec) || fs::is_directory(m.at)) &&
           command(mount);
    fs::remove(img, ec); // the mount holds it
    if (!made)
        return "cannot make a file system with " + mkfs[0] + " here";
    return m.ok ? "" : "cannot mount it with -o " + mount[2] + " here";
}

bool command(const std::vector<std::string> &argv, std::string *out,
             const std::string &cwd)
{
    std::vector<std::string> words = argv;
    std::vector<char *> args;
    args.reserve(words.size() + 1);
    for (std::string &w : words)
        args.push_back(w.data());
    args.push_back(nullptr);
    int p[2];
    if (pipe(p) != 0)
        return false;
    (void)std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        if (null < 0 || dup2(out ? p[1] : null, 1) < 0 || dup2(null, 2) < 0 ||
            (!cwd.empty() && chdir(cwd.c_str()) != 0))
            _exit(127);
        close(p[0]);
        close(p[1]);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(p[1]);
    std::string got = drain(p[0]);
    close(p[0]);
    if (out)
        *out = got;
    int ws = 0;
    while (pid > 0 && waitpid(pid, &ws, 0) < 0)
        if (errno != EINTR)
            return false;
    return pid > 0 && WIFEXITED(ws) && WEXITSTATUS(ws) == 0;
}

bool portable_build()
{
    const char *portable = std::getenv("QUADFLIP_PORTABLE");
    return portable && *portable && std::strcmp(portable, "0") != 0;
}

bool unnamed_files(const std::string &dir)
{
    if (portable_build())
        return false;
#ifdef O_TMPFILE
    const int fd = open(dir.c_str(), O_TMPFILE | O_WRONLY, 0600);
    if (fd < 0)
        return false;
    close(fd);
    return true;
#else
    (void)dir;
    return false;
#endif
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

namespace
{

// The text of an error as the C library of the build under test words
// it.  QUADFLIP_STRERROR names a file of that library's texts, one
// "NUMBER TEXT" a line, where it is not the host's (the static musl
// build); otherwise the host's strerror says it.
std::string error_text(int err)
{
    static const std::vector<std::string> texts = [] {
        std::vector<std::string> v;
        const char *path = std::getenv("QUADFLIP_STRERROR");
        if (!path || !*path)
            return v;
        std::ifstream in(path);
        int n = 0;
        std::string text;
        while (in >> n && std::getline(in >> std::ws, text) && n >= 0) {
            v.resize(std::max(v.size(), static_cast<std::size_t>(n) + 1));
            v[static_cast<std::size_t>(n)] = text;
        }
        if (v.empty())
            throw std::runtime_error(std::string("no error texts in ") + path);
        return v;
    }();
    const auto at = static_cast<std::size_t>(err);
    if (err >= 0 && at < texts.size() && !texts[at].empty())
        return texts[at];
    return std::strerror(err);
}

} // namespace

std::string says(const char *op, int err)
{
    return std::string(op) + ": " + error_text(err) + "\n";
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
