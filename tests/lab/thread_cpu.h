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

// The calling thread's on-CPU seconds and timeslices so far (no name or namespace: cheap
// enough to take around a measured window on the thread itself).
ThreadCpu callingThreadCpu();

// Reads a schedstat line ("<on-CPU ns> <waiting ns> <timeslices>") into `thread`; false
// when the text is not such a line.
bool parseSchedstat(const std::string& text, ThreadCpu& thread);

}  // namespace sorvanta::testing
