#pragma once

// ZIP expansion and creation through libarchive, in process. Expansion treats the archive as hostile:
// only regular files, folders and relative links that stay inside their top-level folder; no absolute
// paths, no "..", no writes through links, no hard links or special files; entry count and total size
// are capped; setuid/setgid bits and group/other write permission are dropped.

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <vector>

namespace halvex::platform {

class ArchiveError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct ExpansionLimits {
    std::uint64_t maximumEntries = 200'000;
    std::uint64_t maximumTotalBytes = 16ULL * 1024 * 1024 * 1024;
};

// Expands into `destination`, which must exist. Throws ArchiveError with a short reason.
void expandZip(const std::filesystem::path& archive, const std::filesystem::path& destination,
               ExpansionLimits limits = {});

// Writes a ZIP holding each item with its own folder name at the top (links stored as links).
void createZip(const std::vector<std::filesystem::path>& items, const std::filesystem::path& archive);

}  // namespace halvex::platform
