#pragma once

// Finds running audio hosts: a process counts when its executable is the main executable of an
// application bundle whose identifier starts with a supported host prefix. The cache maps each
// executable path to its host name ("" for none), so a path is examined once. Not thread-safe; the
// installer serialises its use.

#include <cstddef>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace halvex {

inline constexpr const char* processCheckUnavailable = "DAW process check unavailable";

class AudioApplicationMonitor {
  public:
    // Lists up to `capacity` process identifiers; the count may reach the capacity when more exist.
    using ProcessLister = std::function<std::vector<int>(std::size_t capacity)>;
    using ExecutableOf = std::function<std::optional<std::filesystem::path>(int pid)>;

    AudioApplicationMonitor();
    AudioApplicationMonitor(ProcessLister lister, ExecutableOf executableOf);

    // Sorted display names of running supported hosts; ["DAW process check unavailable"] when the process
    // list cannot be had whole.
    std::vector<std::string> runningApplications();

    static std::optional<std::string> audioApplicationName(const std::filesystem::path& executable);
    static bool isSupported(const std::string& bundleID);
    // 512 entries below 257 processes, else the count + 256.
    static std::size_t capacityFor(std::size_t processCount);

  private:
    ProcessLister lister_;
    ExecutableOf executableOf_;
    std::map<std::string, std::string> namesByExecutable_;
};

}  // namespace halvex
