#include "core/library/release_artwork_store.h"

#include <regex>

#include "core/service/network_error.h"
#include "platform/file_io.h"
#include "platform/image_validation.h"
#include "platform/standard_folders.h"

namespace halvex {

ReleaseArtworkStore::ReleaseArtworkStore()
    : ReleaseArtworkStore(platform::standardFolders().caches / "ReleaseArtwork") {}

bool ReleaseArtworkStore::isValidReleaseID(const std::string& releaseID) {
    static const std::regex pattern("^rel_[A-Za-z0-9_-]+$");
    return std::regex_match(releaseID, pattern);
}

std::optional<std::string> ReleaseArtworkStore::cachedImage(const std::filesystem::path& file) const {
    try {
        auto bytes = platform::readFile(file, platform::maximumImageBytes);
        if (platform::validImage(bytes)) return bytes;
    } catch (const std::system_error&) {
        // No cached copy, or one too large to be an image: nothing to show.
    }
    return std::nullopt;
}

std::optional<std::string> ReleaseArtworkStore::refresh(const std::string& releaseID, const Fetch& fetch) {
    if (!isValidReleaseID(releaseID)) return std::nullopt;
    std::lock_guard lock(mutex_);
    const auto file = directory_ / (releaseID + ".png");
    std::optional<std::string> image;
    try {
        image = fetch(releaseID);
    } catch (const NetworkError& error) {
        // Only when the service cannot be reached does the last good copy stand in.
        return error.isOffline() ? cachedImage(file) : std::nullopt;
    } catch (const std::exception&) {
        return std::nullopt;
    }
    if (!image) {
        platform::removeTreeQuietly(file);  // the service has none any more
        return std::nullopt;
    }
    // An undecodable answer counts as an offline condition: the cached copy, if any, is shown instead.
    if (!platform::validImage(*image)) return cachedImage(file);
    try {
        platform::createDirectories(directory_, 0755);
        platform::writeFileAtomically(file, *image, 0644);
    } catch (const std::exception&) {
        // The artwork is shown all the same; the cache only helps the next offline moment.
    }
    return image;
}

}  // namespace halvex
