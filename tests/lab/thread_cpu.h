#pragma once

// What each thread of this process has spent on a CPU so far, and the network namespace it
// works in: the benchmark runs charge their figures to the host whose namespace a thread is in.

#include <sys/types.h>

#include <map>
#include <string>

namespace sorvanta::testing {

struct ThreadCpu {
    std::string name;
    ino_t ns = 0;
    double seconds = 0;
    // Times the thread was given a CPU so far: its wake-ups, near enough.
    long long slices = 0;
};

// The inode of `path` (a namespace file such as "/run/netns/<name>"), 0 when it is absent.
ino_t inodeOf(const std::string& path);

// Every thread of this process by id, with its on-CPU seconds and timeslices (schedstat) so
// far.
std::map<std::string, ThreadCpu> threadCpu();

}  // namespace sorvanta::testing
