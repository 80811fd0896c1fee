#include "core/install/installed_bundle_index.h"

#include <algorithm>
#include <chrono>
#include <system_error>

#include "platform/file_io.h"

namespace halvex {

namespace {

// Changes within this window of a listing may share its timestamp, so such a listing is not reused.
constexpr std::int64_t timestampResolutionNanoseconds = 2'000'000'000;

std::int64_t nowNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

std::optional<InstalledBundleIndex::Listing> InstalledBundleIndex::list(const std::filesystem::path& folder,
                                                                        const std::string& extension) {
    const auto stamp = platform::stampOf(folder);
    if (!stamp) return std::nullopt;
    std::vector<std::string> names;
    try {
        names = platform::directoryEntries(folder);
    } catch (const std::system_error&) {
        return std::nullopt;
    }
    std::vector<std::filesystem::path> bundles;
    for (const auto& name : names) {
        const auto path = folder / name;
        if (!name.starts_with(".") && path.extension() == "." + extension) bundles.push_back(path);
    }
    std::sort(bundles.begin(), bundles.end());
    Listing listing{
        *stamp, nowNanoseconds() - stamp->modifiedNanoseconds > timestampResolutionNanoseconds, {}};
    for (const auto& bundle : bundles) {
        const auto infoPath = Bundle::infoPlistPath(bundle);
        listing.entries.push_back({bundle, PluginBundleInfo::read(bundle), platform::stampOf(infoPath)});
    }
    return listing;
}

std::optional<InstalledBundle> InstalledBundleIndex::find(const std::filesystem::path& folder,
                                                          const std::string& extension,
                                                          const std::string& bundleID) const {
    const std::pair key{folder.string(), extension};
    std::lock_guard lock(mutex_);
    const auto stamp = platform::stampOf(folder);
    auto cached = listings_.find(key);
    if (stamp && cached != listings_.end() && cached->second.trusted && cached->second.stamp == *stamp) {
        const auto match = std::find_if(
            cached->second.entries.begin(), cached->second.entries.end(),
            [&](const Entry& entry) { return entry.info && entry.info->identifier == bundleID; });
        if (match == cached->second.entries.end()) return std::nullopt;
        // The match's Info.plist may have been edited in place; only then is the folder read again.
        if (platform::stampOf(Bundle::infoPlistPath(match->bundle)) == match->infoStamp) {
            return InstalledBundle{match->bundle, *match->info};
        }
    }
    auto fresh = list(folder, extension);
    if (!fresh) {
        listings_.erase(key);
        return std::nullopt;
    }
    cached = listings_.insert_or_assign(key, std::move(*fresh)).first;
    for (const auto& entry : cached->second.entries) {
        if (entry.info && entry.info->identifier == bundleID)
            return InstalledBundle{entry.bundle, *entry.info};
    }
    return std::nullopt;
}

}  // namespace halvex
