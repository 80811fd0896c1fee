#pragma once

// The last good artwork of each test release, kept on disk so that it still shows while the service is
// unreachable. Nothing is reported: the caller shows no artwork when nothing comes back. Thread-safe (one
// refresh at a time per store).

#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

namespace halvex {

class ReleaseArtworkStore {
  public:
    // The image bytes, absent when the release has no artwork; throws when the fetch fails.
    using Fetch = std::function<std::optional<std::string>(const std::string& releaseID)>;

    // Default: the user's caches folder + "com.halvex.hub/ReleaseArtwork".
    ReleaseArtworkStore();
    explicit ReleaseArtworkStore(std::filesystem::path directory) : directory_(std::move(directory)) {}

    std::optional<std::string> refresh(const std::string& releaseID, const Fetch& fetch);

    static bool isValidReleaseID(const std::string& releaseID);

  private:
    std::optional<std::string> cachedImage(const std::filesystem::path& file) const;

    std::filesystem::path directory_;
    std::mutex mutex_;
};

}  // namespace halvex
