// SPDX-License-Identifier: MIT
//
// An in-place run ends with the file either as it was or fully converted,
// and nothing else beside it, however a signal ends it; and signals that
// the caller ignores stay ignored.  Each with both builds: the usual one
// and the one that names its temporary file from the start.
#include "inplace_fixture.h"

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace
{

// Whether the process pid has sig set to be ignored.
bool ignores(pid_t pid, int sig)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("SigIgn:", 0) == 0)
            return (std::stoull(line.substr(7), nullptr, 16) >> (sig - 1)) & 1;
    return false;
}

struct signal_case {
    const char *name;
    int sig;
    bool named_temp;
};

void PrintTo(const signal_case &c, std::ostream *os)
{
    *os << c.name;
}

class signals : public inplace,
                public ::testing::WithParamInterface<signal_case>
{
};

// Killed at moments spread over a whole run, from before the temporary
// file exists to after the rename.
TEST_P(signals, leave_the_file_original_or_converted)
{
    POSIX_ONLY();
    const signal_case &c = GetParam();
    NEEDS_NAMED_TEMP_BUILD(c.named_temp);
    // A build or file system without unnamed files names the temporary
    // file from the start: SIGKILL, which cannot be caught, may leave it.
    const bool named = c.named_temp || !unnamed_files(dir);
    const limits lim = build(c.named_temp);

    auto t0 = clock_type::now();
    result r = run({"f", "f"}, lim);
    const auto whole = clock_type::now() - t0;
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_TRUE(same_bytes(read_file(path("f")), converted));

    for (double at : {0.0, 0.2, 0.5, 0.8, 1.1}) {
        SCOPED_TRACE("killed at " + std::to_string(at) + " of a run");
        write_file(path("f"), original);
        child ch = start({"f", "f"}, dir, lim);
        sleep_share(whole, at);
        kill(ch.pid, c.sig);
        r = finish(ch);
        const std::string now = read_file(path("f"));
        if (r.status == 0) {
            EXPECT_TRUE(same_bytes(now, converted));
        } else {
            EXPECT_EQ(r.status, 128 + c.sig) << r.err;
            EXPECT_TRUE(now == original || now == converted)
                << "the file is neither original nor converted";
        }
        // SIGKILL between naming the complete result and putting it in
        // place, two system calls apart, leaves it behind, complete; with
        // a temporary file named from the start, at any moment; between
        // the exchange of the names and the removal of what came out, the
        // file as it was, under the temporary name.  Anything else leaves
        // nothing.
        std::vector<std::string> names = listing(dir);
        const bool left = c.sig == SIGKILL && names.size() == 2 &&
                          names[0].rfind(".quadflip.", 0) == 0;
        if (left &&
            ((now == original &&
              (named || read_file(path(names[0])) == converted)) ||
             (now == converted && read_file(path(names[0])) == original))) {
            fs::remove(path(names[0]));
            names = listing(dir);
        }
        EXPECT_EQ(names, only_f);
    }
}

INSTANTIATE_TEST_SUITE_P(
    table, signals,
    ::testing::Values(signal_case{"kill", SIGKILL, false},
                      signal_case{"term", SIGTERM, false},
                      signal_case{"quit", SIGQUIT, false},
                      signal_case{"term_named_temp", SIGTERM, true},
                      signal_case{"quit_named_temp", SIGQUIT, true},
                      signal_case{"usr1_named_temp", SIGUSR1, true},
                      signal_case{"alrm_named_temp", SIGALRM, true}),
    named<signal_case>);

class signals_ignored : public inplace,
                        public ::testing::WithParamInterface<bool>
{
};

// As under nohup, or in a background job of a script.
TEST_P(signals_ignored, by_the_caller_stay_ignored)
{
    POSIX_ONLY();
    NEEDS_NAMED_TEMP_BUILD(GetParam());
    limits lim = build(GetParam());
    lim.ignored = {SIGHUP, SIGINT};
    child ch = start({"f", "f"}, dir, lim);
    wait_until(
        [&] { return ignores(ch.pid, SIGHUP) && ignores(ch.pid, SIGINT); });
    while (running(ch)) {
        kill(ch.pid, SIGHUP);
        kill(ch.pid, SIGINT);
        std::this_thread::sleep_for(1ms);
    }
    result r = finish(ch);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(same_bytes(read_file(path("f")), converted));
    EXPECT_EQ(listing(dir), only_f);
}

INSTANTIATE_TEST_SUITE_P(table, signals_ignored, ::testing::Bool(), build_name);

} // namespace
