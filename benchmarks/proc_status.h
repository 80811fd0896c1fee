#pragma once

// Readings of a process's /proc files for the benchmarks.

#include <sys/types.h>
#include <unistd.h>

#include <fstream>
#include <string>

namespace halvex::benchmarks {

// A "Vm…:" value of /proc/<pid>/status in KiB, or -1.
inline long statusKilobytes(const std::string& key, pid_t pid = ::getpid()) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with(key + ":")) return std::stol(line.substr(key.size() + 1));
    }
    return -1;
}

}  // namespace halvex::benchmarks
