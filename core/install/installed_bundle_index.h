#pragma once

// A cache of the plugin folders' contents for the lookups the window repeats every second. A folder is
// listed and its bundles' Info.plist files read again only when the folder changed (its own timestamps
// move whenever a bundle is added, removed or swapped in by rename); a found bundle's Info.plist is
// checked on every lookup, so an edit in place is seen too. Thread-safe.

#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/trust/plugin_bundle_info.h"
#include "platform/file_io.h"

namespace halvex {

struct InstalledBundle {
    std::filesystem::path path;
    PluginBundleInfo info;
};

class InstalledBundleIndex {
  public:
    // The first bundle (by name, hidden entries skipped) with `extension` whose identifier is `bundleID`.
    std::optional<InstalledBundle> find(const std::filesystem::path& folder, const std::string& extension,
                                        const std::string& bundleID) const;

  private:
    struct Entry {
        std::filesystem::path bundle;
        std::optional<PluginBundleInfo> info;
        std::optional<platform::FileStamp> infoStamp;
    };
    struct Listing {
        platform::FileStamp stamp;
        bool trusted = false;  // false while the folder changed too recently to rely on its timestamps
        std::vector<Entry> entries;
    };

    static std::optional<Listing> list(const std::filesystem::path& folder, const std::string& extension);

    mutable std::mutex mutex_;
    mutable std::map<std::pair<std::string, std::string>, Listing> listings_;
};

}  // namespace halvex
