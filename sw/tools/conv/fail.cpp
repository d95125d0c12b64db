// SPDX-License-Identifier: MIT
//
// The failure exit, and the one message that in-place runs on every
// system give.  It knows nothing of what the run was doing: whoever has
// something to undo sets it with on_fail.  The status line is written with
// a carriage return and spaces alone, which a plain Windows console takes
// too.
#include "fail.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace
{

void (*cleanup_hook)() = nullptr;

// The longest status line: longer text is cut.
constexpr std::size_t widest = 126;

std::size_t shown = 0; // width of the status line now shown; 0: none

// Writes, in one write where the C library can, a carriage return, text,
// spaces up to width over what a longer line left, and with home another
// carriage return.
void overwrite(const char *text, std::size_t width, bool home)
{
    char line[widest + 3];
    const int n =
        std::snprintf(line, sizeof line, "\r%-*.*s%s",
                      static_cast<int>(std::min(width, widest)),
                      static_cast<int>(widest), text, home ? "\r" : "");
    if (n > 0)
        (void)std::fwrite(line, 1, static_cast<std::size_t>(n), stderr);
}

[[noreturn]] void leave()
{
    if (cleanup_hook)
        cleanup_hook();
    std::exit(1);
}

} // namespace

void on_fail(void (*cleanup)())
{
    cleanup_hook = cleanup;
}

void status_line(const char *text)
{
    overwrite(text, shown, false);
    shown = std::min(std::strlen(text), widest);
}

void status_clear()
{
    if (shown == 0)
        return;
    const int err = errno;
    overwrite("", shown, true);
    shown = 0;
    errno = err;
}

void fail(const char *op)
{
    status_clear();
    std::perror(op);
    leave();
}

void fail_because(const char *op, const char *why)
{
    status_clear();
    (void)std::fprintf(stderr, "%s: %s\n", op, why);
    leave();
}

void fail_changed()
{
    fail_because("rename", "the file was changed during the run");
}

void fail_left_old(const char *name)
{
    const std::string why =
        std::string("the file was converted, but its old data could not be "
                    "removed: it is ") +
        name;
    fail_because("rename", why.c_str());
}

void fail_left_other(const char *name)
{
    const std::string why = std::string("the file was changed during the "
                                        "run, and what was put in its place "
                                        "is now ") +
                            name;
    fail_because("rename", why.c_str());
}
