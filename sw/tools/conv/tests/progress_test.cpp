// SPDX-License-Identifier: MIT
//
// The line on a terminal that shows how far a run has got: shown a second
// into a run, written over in place, and erased at the end or before a
// failure's message; never on anything else.
#include "convert.h"
#include "harness.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace
{

using namespace std::chrono_literals;

// How long a FIFO at either end holds the run up: past the second after
// which the line is shown.
constexpr auto hold = 1500ms;

// A pseudo-terminal for the child's standard error.  A thread of its own
// collects all that comes out of it, until the last holder of the
// terminal's side closes it.
struct terminal {
    int master = -1;
    int side = -1; // the terminal's side, which the child writes to
    std::string got;
    std::thread reader;

    terminal() = default;
    terminal(const terminal &) = delete;
    terminal &operator=(const terminal &) = delete;
    ~terminal()
    {
        (void)all();
        if (master >= 0)
            close(master);
    }

    // Everything written on the terminal, once no process holds its side.
    const std::string &all()
    {
        if (side >= 0)
            close(side);
        side = -1;
        if (reader.joinable())
            reader.join();
        return got;
    }
};

// Opens t, passing bytes through as they are written (no CR added before
// LF); why it cannot be done, or "".
std::string open_terminal(terminal &t)
{
    t.master = posix_openpt(O_RDWR | O_NOCTTY);
    if (t.master < 0)
        return std::string("posix_openpt: ") + std::strerror(errno);
    (void)fcntl(t.master, F_SETFD, FD_CLOEXEC);
    const char *name = nullptr;
    if (grantpt(t.master) != 0 || unlockpt(t.master) != 0 ||
        (name = ptsname(t.master)) == nullptr)
        return std::string("a pseudo-terminal: ") + std::strerror(errno);
    t.side = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    struct termios mode {
    };
    if (t.side < 0 || tcgetattr(t.side, &mode) != 0)
        return std::string(name) + ": " + std::strerror(errno);
    mode.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    if (tcsetattr(t.side, TCSANOW, &mode) != 0)
        return std::string(name) + ": " + std::strerror(errno);
    t.reader = std::thread([&t] { t.got = drain(t.master); });
    return "";
}

// The shape of what the terminal gets before a failure's message: one or
// more lines, each a carriage return, the bytes read, "of" the input's
// length where it is known (total), and the rate, then spaces over what a
// longer line before it left; then a carriage return, the spaces that
// blank the last line, and a carriage return.  Sizes have three digits or
// so; bytes have no fraction.
std::regex line_shape(const std::string &total)
{
    const std::string size = "([0-9]{1,4} B|([0-9]\\.[0-9]{2}|[0-9]{2}\\.[0-9]|"
                             "[0-9]{3,4}) [KMGT]iB)";
    const std::string line = "\r" + size +
                             (total.empty() ? "" : " of " + total) + ", " +
                             size + "/s *";
    return std::regex("(" + line + ")+\r +\r");
}

std::string trimmed(std::string s)
{
    s.erase(s.find_last_not_of(' ') + 1);
    return s;
}

// Whether a terminal given text shows, at each carriage return, just what
// was written since the one before (a shorter line leaves nothing of a
// longer one), and a blank line at the end, with the cursor at its start.
::testing::AssertionResult overwrites_cleanly(const std::string &text)
{
    std::string line; // as the terminal shows it
    std::size_t col = 0;
    std::size_t from = 0; // where what was written since the last CR starts
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\r') {
            if (col < line.size())
                line[col] = text[i];
            else
                line += text[i];
            ++col;
            continue;
        }
        const std::string wrote = trimmed(text.substr(from, i - from));
        if (trimmed(line) != wrote)
            return ::testing::AssertionFailure()
                   << "the terminal shows \"" << trimmed(line) << "\" after \""
                   << wrote << "\" was written";
        col = 0;
        from = i + 1;
    }
    if (from != text.size() || !trimmed(line).empty())
        return ::testing::AssertionFailure()
               << "the terminal is left showing \"" << trimmed(line) << "\"";
    return ::testing::AssertionSuccess();
}

struct progress_case {
    std::string name;
    bool terminal;     // standard error a terminal; else captured as usual
    bool fifo_in;      // the input a FIFO that pauses after a first part
    bool fifo_out;     // the output a FIFO whose reader pauses first
    std::size_t size;  // the input's length
    std::size_t taken; // what the output's reader takes before it goes
    std::string total; // the input's length as the line says it; "": none
};

void PrintTo(const progress_case &c, std::ostream *os)
{
    *os << c.name;
}

class progress : public scratch,
                 public ::testing::WithParamInterface<progress_case>
{
};

// Writes data into the FIFO at path in parts, each followed by a pause:
// 64 KiB and the hold, 16 KiB and 50 ms, 40 KiB and 300 ms, then the rest.
// The line shown after the hold says "64.0 KiB" to "80.0 KiB", one shown
// after the last pause "1xx KiB": shorter, so it has to blank the end of
// the first.
void feed_in_parts(const std::string &path, const std::string &data)
{
    const int fd = open_writer(path);
    EXPECT_GE(fd, 0) << "the run never opened its input";
    if (fd < 0)
        return;
    const std::pair<std::size_t, std::chrono::milliseconds> parts[] = {
        {64 << 10, hold}, {16 << 10, 50ms}, {40 << 10, 300ms}};
    std::size_t at = 0;
    for (const auto &[n, wait] : parts) {
        EXPECT_EQ(write(fd, data.data() + at, n), static_cast<ssize_t>(n));
        at += n;
        std::this_thread::sleep_for(wait);
    }
    while (at < data.size()) {
        const ssize_t n = write(fd, data.data() + at, data.size() - at);
        if (n <= 0)
            break;
        at += static_cast<std::size_t>(n);
    }
    close(fd);
}

// Reads the FIFO at path after a pause: all of it, or taken bytes and
// then it goes away.
std::string read_with_pause(const std::string &path, std::size_t taken)
{
    const int fd = open(path.c_str(), O_RDONLY);
    EXPECT_GE(fd, 0) << "the run never opened its output";
    if (fd < 0)
        return "";
    std::this_thread::sleep_for(hold);
    std::string got;
    if (taken == 0) {
        got = drain(fd);
    } else {
        got.resize(taken);
        for (std::size_t at = 0; at < taken;) {
            const ssize_t n = read(fd, &got[at], taken - at);
            if (n <= 0) {
                got.resize(at);
                break;
            }
            at += static_cast<std::size_t>(n);
        }
    }
    close(fd);
    return got;
}

// The line is shown only on a terminal, only in a run held up past a
// second, and is gone when the run ends: at its end, or before the message
// of a failure, which then stands alone on its line.  Standard output and
// the exit status are what they are without it.
TEST_P(progress, shown_on_a_terminal_in_a_long_run_only)
{
    POSIX_ONLY();
    const progress_case &c = GetParam();
    const std::string in = noise(c.size);
    if (c.fifo_in) {
        ASSERT_EQ(mkfifo(path("in").c_str(), 0600), 0);
    } else {
        write_file(path("in"), in);
    }
    if (c.fifo_out) {
        ASSERT_EQ(mkfifo(path("out").c_str(), 0600), 0);
    }

    terminal t;
    limits lim;
    if (c.terminal) {
        const std::string why = open_terminal(t);
        if (!why.empty())
            GTEST_SKIP() << why;
        lim.err_fd = t.side;
    }
    // A failure comes from the writing thread where that can be started.
    if (c.taken != 0 && !two_threads_program().empty())
        lim.program = two_threads_program();
    child ch = start({"in", "out"}, dir, lim);
    reaper guard{ch.pid};
    std::thread feeder;
    if (c.fifo_in)
        feeder = std::thread(feed_in_parts, path("in"), in);
    std::string out;
    if (c.fifo_out)
        out = read_with_pause(path("out"), c.taken);
    if (feeder.joinable())
        feeder.join();
    const result r = finish_in_time(ch);
    guard.pid = 0;
    ASSERT_TRUE(r.ended);

    const std::string message = c.taken ? says("write", EPIPE) : "";
    EXPECT_EQ(r.status, c.taken ? 1 : 0);
    EXPECT_EQ(r.out, "in\nout\n");
    if (!c.fifo_out)
        out = read_file(path("out"));
    const std::string want = flipped(in);
    EXPECT_TRUE(same_bytes(out, c.taken ? want.substr(0, c.taken) : want));

    std::string shown = r.err;
    if (c.terminal) {
        EXPECT_EQ(r.err, "");
        shown = t.all();
    }
    ASSERT_GE(shown.size(), message.size());
    EXPECT_EQ(shown.substr(shown.size() - message.size()), message);
    shown.resize(shown.size() - message.size());
    if (!c.terminal || !(c.fifo_in || c.fifo_out)) {
        EXPECT_EQ(shown, "");
        return;
    }
    EXPECT_TRUE(std::regex_match(shown, line_shape(c.total)))
        << "the terminal got \"" << shown << "\"";
    EXPECT_TRUE(overwrites_cleanly(shown));
}

constexpr std::size_t mib = std::size_t{1} << 20;

INSTANTIATE_TEST_SUITE_P(
    table, progress,
    ::testing::Values(
        // Read from a FIFO, whose length is not known.
        progress_case{"slow_input", true, true, false, 2 * mib, 0, ""},
        // Written to a FIFO, from a file of known length.
        progress_case{"slow_output", true, false, true, 4 * mib, 0, "4.00 MiB"},
        // The reader of the output goes away once the line is up.
        progress_case{"failure", true, false, true, 16 * mib, 2 * mib,
                      "16.0 MiB"},
        // Over well within a second.
        progress_case{"short_run", true, false, false, 3 * bufsize + 6, 0, ""},
        // Standard error a file.
        progress_case{"not_a_terminal", false, true, false, 2 * mib, 0, ""}),
    named<progress_case>);

} // namespace
