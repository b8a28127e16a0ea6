#pragma once

#include <fstream>
#include <string>
#include <sys/resource.h>

namespace quorvane::bench {

// This process's peak resident memory so far, in megabytes: the high-water mark since the last
// resetPeakResident(), or since the start when the kernel cannot reset it.
inline double peakResidentMB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stod(line.substr(6)) / 1024.0; // the figure is in kB
    struct rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// This process's resident memory now, in megabytes.
inline double residentMB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.starts_with("VmRSS:"))
            return std::stod(line.substr(6)) / 1024.0; // the figure is in kB
    return 0;
}

// Starts a new high-water mark at the current resident size (Linux's clear_refs "5"), so that
// one benchmark's peak is not hidden by an earlier one's in the same process.
inline void resetPeakResident() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
}

} // namespace quorvane::bench
