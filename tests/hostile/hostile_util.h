// Helpers of the hostile-input tests: process health (threads, descriptors,
// a thread's CPU time) read from /proc/self.
#ifndef DALU_TESTS_HOSTILE_UTIL_H
#define DALU_TESTS_HOSTILE_UTIL_H

#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

inline std::set<std::string> dirEntries(const char *path) {
    std::set<std::string> names;
    if (DIR *d = opendir(path)) {
        while (dirent *e = readdir(d)) {
            if (e->d_name[0] != '.') names.insert(e->d_name);
        }
        closedir(d);
    }
    return names;
}

// The directory stream itself holds one descriptor while listing; it is the
// same in every count, so counts compare fine.
inline size_t openFdCount() { return dirEntries("/proc/self/fd").size(); }
inline std::set<std::string> threadIds() { return dirEntries("/proc/self/task"); }

// utime + stime of one thread, in clock ticks; -1 when it is gone.
inline long threadCpuTicks(const std::string &tid) {
    std::ifstream in("/proc/self/task/" + tid + "/stat");
    std::string stat;
    if (!std::getline(in, stat)) return -1;
    // The command name may hold blanks: count fields after its closing ')'.
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream rest(stat.substr(close + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; rest >> field; ++i) {
        if (i == 14) utime = std::atol(field.c_str());
        if (i == 15) {
            stime = std::atol(field.c_str());
            break;
        }
    }
    return utime + stime;
}

#endif
