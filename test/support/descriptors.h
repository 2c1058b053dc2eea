// Test support: counts the descriptors a process has open, to show that nothing leaks one.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <iterator>
#include <string>

// Descriptors open in process `pid`; in this process when `pid` is 0.
inline size_t openDescriptors(pid_t pid = 0) {
    std::filesystem::directory_iterator entries(pid == 0 ? std::string("/proc/self/fd")
                                                         : "/proc/" + std::to_string(pid) + "/fd");
    return static_cast<size_t>(std::distance(entries, {}));
}
