#include "lab/thread_cpu.h"

#include <dirent.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

namespace sorvanta::testing {

ino_t inodeOf(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

namespace {

std::string readText(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

}  // namespace

bool parseSchedstat(const std::string& text, ThreadCpu& thread) {
    std::istringstream stats(text);
    double nanoseconds = 0, waited = 0;
    long long slices = 0;
    if (!(stats >> nanoseconds >> waited >> slices) || nanoseconds < 0 || slices < 0) {
        return false;
    }
    thread.seconds = nanoseconds / 1e9;
    thread.slices = slices;
    return true;
}

ThreadCpu callingThreadCpu() {
    ThreadCpu thread;
    parseSchedstat(readText("/proc/thread-self/schedstat"), thread);
    return thread;
}

std::map<std::string, ThreadCpu> threadCpu() {
    std::map<std::string, ThreadCpu> all;
    DIR* tasks = ::opendir("/proc/self/task");
    if (tasks == nullptr) {
        return all;
    }
    while (const dirent* entry = ::readdir(tasks)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        const std::string task = std::string("/proc/self/task/") + entry->d_name;
        ThreadCpu thread;
        std::ifstream(task + "/comm") >> thread.name;
        if (parseSchedstat(readText(task + "/schedstat"), thread)) {
            thread.ns = inodeOf(task + "/ns/net");
            all[entry->d_name] = thread;
        }
    }
    ::closedir(tasks);
    return all;
}

}  // namespace sorvanta::testing
