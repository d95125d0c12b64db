// SPDX-License-Identifier: MIT
//
// Whether a second thread would have a processor of its own, on any POSIX
// system, Linux included: the processors online, and the load average of
// the last minute, which counts the tasks that were running or waiting to.
// It serves where the system tells neither this process's share of the
// processors nor the tasks running now (macOS, the BSDs), and in the
// portable build; the Linux build asks Linux (cpus_linux.cpp).
#include "os.h"

#include <cstdlib>

#include <unistd.h>

bool os_spare_cpu()
{
    const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    if (cpus < 2)
        return false;
    double load = 0;
    // Idle enough when over one processor's worth is left for the second.
    return getloadavg(&load, 1) != 1 || load < static_cast<double>(cpus) - 1.5;
}
