#include "lab/thread_cpu.h"

#include <dirent.h>
#include <sys/stat.h>

#include <fstream>

namespace sorvanta::testing {

ino_t inodeOf(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
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
        double nanoseconds = 0, waited = 0;
        std::ifstream stats(task + "/schedstat");
        if (stats >> nanoseconds >> waited >> thread.slices) {
            thread.seconds = nanoseconds / 1e9;
            thread.ns = inodeOf(task + "/ns/net");
            all[entry->d_name] = thread;
        }
    }
    ::closedir(tasks);
    return all;
}

}  // namespace sorvanta::testing
