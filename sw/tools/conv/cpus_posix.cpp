// SPDX-License-Identifier: MIT
//
// Whether a second thread would have a processor of its own.  Linux tells
// the processors this process may run on (its affinity, as taskset sets
// it, and its control group's CPU quota, as a container's --cpus sets it)
// and the tasks running at this moment.  Other systems (macOS, and the
// portable build) tell only the processors online and the load average of
// the last minute, which counts the tasks that were running or waiting to.
#include "os.h"

#include <cstdlib>

#include <unistd.h>

#if defined(__linux__) && !defined(QUADFLIP_PORTABLE)
#include <fstream>
#include <string>

#include <sched.h>

namespace
{

// The processors' worth of time that this process's control group may use,
// or 0 where it sets no limit: cgroup v2's cpu.max along the group and its
// ancestors, or cgroup v1's CFS quota.
double cpu_quota()
{
    std::ifstream groups("/proc/self/cgroup");
    double quota = 0;
    for (std::string line; std::getline(groups, line);) {
        const std::size_t a = line.find(':');
        const std::size_t b = line.find(':', a + 1);
        if (a == std::string::npos || b == std::string::npos)
            continue;
        const std::string controllers = line.substr(a + 1, b - a - 1);
        std::string path = line.substr(b + 1);
        auto tighter = [&](double q) {
            if (q > 0 && (quota == 0 || q < quota))
                quota = q;
        };
        if (controllers.empty()) { // v2: the group and every ancestor
            for (;;) {
                std::ifstream max("/sys/fs/cgroup" + path + "/cpu.max");
                std::string limit;
                double period = 0;
                if (max >> limit >> period && limit != "max" && period > 0)
                    tighter(std::strtod(limit.c_str(), nullptr) / period);
                if (path.empty() || path == "/")
                    break;
                path.erase(path.rfind('/'));
            }
        } else if (("," + controllers + ",").find(",cpu,") !=
                   std::string::npos) { // v1
            for (const char *mount :
                 {"/sys/fs/cgroup/cpu", "/sys/fs/cgroup/cpu,cpuacct"}) {
                std::ifstream q(mount + path + "/cpu.cfs_quota_us");
                std::ifstream p(mount + path + "/cpu.cfs_period_us");
                double us = 0;
                double period = 0;
                if (q >> us && p >> period) {
                    if (us > 0 && period > 0)
                        tighter(us / period);
                    break;
                }
            }
        }
    }
    return quota;
}

} // namespace

bool os_spare_cpu()
{
    long cpus = sysconf(_SC_NPROCESSORS_ONLN);
#ifdef CPU_COUNT
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0)
        cpus = CPU_COUNT(&allowed);
#endif
    const double quota = cpu_quota();
    if (cpus < 2 || (quota > 0 && quota < 2))
        return false;
    // The fourth field of /proc/loadavg counts the tasks running or ready
    // to run this moment, this one among them: with as many as there are
    // processors for it, none is idle.  A task that runs only an instant,
    // such as the shell that started this one on its way to wait for it,
    // is gone at a second look a moment later.
    for (int look = 0; look < 2; ++look) {
        if (look != 0)
            (void)usleep(50);
        std::ifstream load("/proc/loadavg");
        std::string averages[3];
        long running = 0;
        if (!(load >> averages[0] >> averages[1] >> averages[2] >> running) ||
            running < cpus)
            return true;
    }
    return false;
}

#else

bool os_spare_cpu()
{
    const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    if (cpus < 2)
        return false;
    double load = 0;
    // Idle enough when over one processor's worth is left for the second.
    return getloadavg(&load, 1) != 1 || load < static_cast<double>(cpus) - 1.5;
}

#endif
