// SPDX-License-Identifier: MIT
//
// The program under test, as the environment names it, and its runs:
// started how, waited for, reaped and looked at while they run; and what
// it says.
#include "harness.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sched.h>
#include <sys/wait.h>
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

// The build called name in the folder of the program at bin, with its
// suffix, where it is there; "" where not.
std::string beside(const std::string &bin, const std::string &name)
{
    const fs::path at(bin);
    if (!at.has_parent_path()) // looked for on the PATH
        return {};
    const fs::path other = at.parent_path() / (name + at.extension().string());
    std::error_code ec;
    return fs::is_regular_file(other, ec) ? other.string() : std::string();
}

std::string variable(const char *name)
{
    const char *value = std::getenv(name);
    return value ? value : "";
}

setup read_setup()
{
    setup s;
    const std::string bin = variable("QUADFLIP_BIN");
    if (bin.empty()) {
        s.program = QUADFLIP;
        s.named_temp = QUADFLIP_NAMED;
        s.two_threads = QUADFLIP_TWO;
    } else {
        s.program = bin;
        s.named_temp = beside(bin, "quadflip_named_temp");
        s.two_threads = beside(bin, "quadflip_two_threads");
    }
    std::istringstream runner(variable("QUADFLIP_RUNNER"));
    for (std::string w; runner >> w;)
        s.runner.push_back(w);
    s.target = variable("QUADFLIP_TARGET");
    if (!s.target.empty() && s.target != "windows" && s.target != "portable")
        throw std::runtime_error("QUADFLIP_TARGET is \"" + s.target +
                                 "\": it is windows, portable or empty");
    s.strerror = variable("QUADFLIP_STRERROR");
    return s;
}

} // namespace

const setup &env()
{
    static const setup s = read_setup();
    return s;
}

const std::string &program()
{
    return env().program;
}

const std::string &named_temp_program()
{
    return env().named_temp;
}

const std::string &two_threads_program()
{
    return env().two_threads;
}

bool emulated()
{
    return !env().runner.empty();
}

bool on_windows()
{
    return env().target == "windows";
}

bool portable_build()
{
    return env().target == "portable";
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
    // Under the wrapper, the runner (an emulator, or wine) if any, then
    // the program.
    std::vector<std::string> words = lim.wrap;
    words.insert(words.end(), env().runner.begin(), env().runner.end());
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
        int err = lim.err_to_out    ? 1
                  : lim.err_fd >= 0 ? lim.err_fd
                                    : fileno(c.err);
        if ((lim.in_fd >= 0 && dup2(lim.in_fd, 0) < 0) || dup2(out, 1) < 0 ||
            dup2(err, 2) < 0 ||
            (lim.cwd_fd >= 0 ? fchdir(lim.cwd_fd) : chdir(cwd.c_str())) != 0 ||
            setrlimit(RLIMIT_FSIZE, &fsize) != 0 ||
            setrlimit(RLIMIT_AS, &vmem) != 0)
            _exit(127);
        if (lim.cpus > 0 && !keep_processors(lim.cpus))
            _exit(127);
        errno = 0;
        if (lim.nice != 0 && ::nice(lim.nice) == -1 && errno != 0)
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

result finish_in_time(child c, bool group)
{
    const bool ended = wait_until([&] { return !running(c); });
    if (!ended)
        kill(group ? -c.pid : c.pid, SIGKILL);
    result r = finish(c);
    r.ended = ended;
    return r;
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

namespace
{

// The text of an error as the C library of the build under test words
// it: from the file of that library's texts that QUADFLIP_STRERROR names,
// where they are not the host's (the static musl build); otherwise as the
// host's strerror says it.
std::string error_text(int err)
{
    static const std::vector<std::string> texts = [] {
        std::vector<std::string> v;
        const std::string &path = env().strerror;
        if (path.empty())
            return v;
        std::ifstream in(path);
        int n = 0;
        std::string text;
        while (in >> n && std::getline(in >> std::ws, text) && n >= 0) {
            v.resize(std::max(v.size(), static_cast<std::size_t>(n) + 1));
            v[static_cast<std::size_t>(n)] = text;
        }
        if (v.empty())
            throw std::runtime_error("no error texts in " + path);
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

std::vector<std::string> under_strace(const std::string &trace,
                                      std::vector<std::string> options)
{
    std::vector<std::string> wrap = {"strace",
                                     "-f",
                                     "-qq",
                                     "-o",
                                     trace,
                                     "-E",
                                     "ASAN_OPTIONS=detect_leaks=0"};
    wrap.insert(wrap.end(), options.begin(), options.end());
    return wrap;
}
