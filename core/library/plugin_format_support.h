#pragma once

// Texts about plugin formats for the product view: which formats a release provides, and a hint for
// installed hosts that can load CLAP plugins. Stateless; any thread.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/service/catalog.h"

namespace halvex {

struct PluginFormatSupport {
    static std::string compatibilityText(const Release& release);
    // Looks for the known hosts as application bundles in `applicationFolders` (default: the shared and
    // the user's Applications folders) and returns the first hint that applies.
    static std::optional<std::string> installedHostRecommendation(
        const std::vector<std::filesystem::path>& applicationFolders = defaultApplicationFolders());
    static std::optional<std::string> recommendation(const std::string& bundleID, const std::string& version);

    static std::vector<std::filesystem::path> defaultApplicationFolders();
};

}  // namespace halvex
