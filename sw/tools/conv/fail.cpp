// SPDX-License-Identifier: MIT
//
// The failure exit, and the one message that in-place runs on every
// system give.  It knows nothing of what the run was doing: whoever has
// something to undo sets it with on_fail.
#include "fail.h"

#include <cstdio>
#include <cstdlib>

namespace
{

void (*cleanup_hook)() = nullptr;

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

void fail(const char *op)
{
    std::perror(op);
    leave();
}

void fail_because(const char *op, const char *why)
{
    (void)std::fprintf(stderr, "%s: %s\n", op, why);
    leave();
}

void fail_changed()
{
    fail_because("rename", "the file was changed during the run");
}

void fail_left_old(const char *name)
{
    (void)std::fprintf(stderr,
                       "rename: the file was converted, but its old data "
                       "could not be removed: it is %s\n",
                       name);
    leave();
}

void fail_left_other(const char *name)
{
    (void)std::fprintf(stderr,
                       "rename: the file was changed during the run, and "
                       "what was put in its place is now %s\n",
                       name);
    leave();
}
