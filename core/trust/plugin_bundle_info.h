#pragma once

// What a plugin bundle's Info.plist says about it.

#include <filesystem>
#include <optional>
#include <string>

#include "core/foundation/bundle.h"
#include "platform/property_list.h"

namespace halvex {

struct PluginBundleInfo {
    std::string identifier;  // CFBundleIdentifier
    std::string version;     // CFBundleShortVersionString

    // Absent when the Info.plist is missing, unreadable, not a dictionary, or lacks either string.
    static std::optional<PluginBundleInfo> read(const std::filesystem::path& bundle);
};

// A valid CFBundleExecutable: a non-empty string without "/" that is not "." or "..".
std::optional<std::string> executableName(const platform::PropertyValue& info);

}  // namespace halvex
