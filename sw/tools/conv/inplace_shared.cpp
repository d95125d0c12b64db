// SPDX-License-Identifier: MIT
//
// What the in-place files of every platform share: the temporary file's
// names, and the message for a file changed under a run.
#include "inplace_shared.h"
#include "fail.h"

#include <cerrno>

void fail_changed()
{
    fail_because("rename", "the file was changed during the run");
}

bool make_temp(unsigned long pid,
               const std::function<bool(const std::string &)> &make)
{
    const std::string stem = ".quadflip." + std::to_string(pid) + ".";
    for (unsigned i = 0; i <= 1000; ++i) {
        if (make(stem + std::to_string(i)))
            return true;
        if (errno != EEXIST)
            return false;
    }
    return false;
}
