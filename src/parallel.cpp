#include "parallel.hpp"

#include <sched.h>

namespace kestrine {

int requested_threads(int workers) {
    if (workers >= 1) {
        return workers;
    }
    if (workers != -1) {
        return 0;
    }
    // The CPUs this process may run on, not the machine's count: a process
    // pinned by a scheduler or taskset gets what it was given.
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        return std::max(1, CPU_COUNT(&set));
    }
    return std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
}

}  // namespace kestrine
