#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

namespace tamro::test {

// CPU seconds all threads of process `pid` have run, from the scheduler's own account (finer
// than the clock ticks of /proc/PID/stat).
inline double ProcessCpuSeconds(pid_t pid) {
    double seconds = 0;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
        std::ifstream stat(task.path() / "schedstat");
        uint64_t runNs = 0;
        stat >> runNs;
        seconds += static_cast<double>(runNs) / 1e9;
    }
    return seconds;
}

}  // namespace tamro::test
