#pragma once

// An application or plugin bundle on disk and its Info.plist.

#include <filesystem>
#include <optional>
#include <string>

#include "platform/property_list.h"

namespace halvex {

class Bundle {
  public:
    Bundle(std::filesystem::path path, platform::PropertyValue info)
        : path_(std::move(path)), info_(std::move(info)) {}

    // The bundle at `path` with its Contents/Info.plist. A missing or unreadable Info.plist, or one that
    // does not parse, yields a bundle without information: callers then see every key as absent.
    static Bundle atPath(const std::filesystem::path& path);

    // The bundle of the running executable; outside a bundle, the executable's folder without information.
    static Bundle main();

    const std::filesystem::path& path() const { return path_; }
    const platform::PropertyValue& info() const { return info_; }
    // The Info.plist value of `key` when it is a string.
    std::optional<std::string> infoString(const std::string& key) const { return info_.stringMember(key); }

    std::filesystem::path infoPlistPath() const { return infoPlistPath(path_); }
    static std::filesystem::path infoPlistPath(const std::filesystem::path& bundle) {
        return bundle / "Contents" / "Info.plist";
    }

  private:
    std::filesystem::path path_;
    platform::PropertyValue info_;
};

// The Info.plist of the bundle at `bundle`; throws what reading throws, PropertyListError when malformed.
platform::PropertyValue readInfoPlist(const std::filesystem::path& bundle);

}  // namespace halvex
