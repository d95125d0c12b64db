// SPDX-License-Identifier: MIT
//
// What the in-place files of every platform share: the temporary file's
// names, and the message for a file changed under a run.
#include "inplace_shared.h"
#include "fail.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

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

unsigned long temp_owner(const char *name)
{
    static const char stem[] = ".quadflip.";
    if (std::strncmp(name, stem, sizeof stem - 1) != 0)
        return 0;
    const char *pid = name + sizeof stem - 1;
    char *end = nullptr;
    char *last = nullptr;
    if (*pid < '0' || *pid > '9')
        return 0;
    errno = 0;
    const unsigned long owner = std::strtoul(pid, &end, 10);
    if (errno != 0 || *end != '.' || end[1] < '0' || end[1] > '9')
        return 0;
    (void)std::strtoul(end + 1, &last, 10);
    return *last == '\0' ? owner : 0;
}
