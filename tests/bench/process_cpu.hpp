#pragma once

// The CPU time a server has used, as the kernel counts it: user and system
// time of a process (all its threads, those that ended included) and of the
// processes below it now, e.g. c-icap's children.

#include <sys/types.h>

namespace bench {

// In seconds; 0 for a process that is gone.
double process_tree_cpu_seconds(pid_t pid);

} // namespace bench
