#include "core/library/plugin_format_support.h"

#include <algorithm>
#include <cctype>
#include <system_error>

#include "core/foundation/bundle.h"
#include "core/foundation/semantic_version.h"
#include "platform/file_io.h"
#include "platform/standard_folders.h"

namespace halvex {

namespace {

std::optional<std::string> normalisedVersion(const std::string& version) {
    std::vector<std::string> pieces;
    std::size_t start = 0;
    while (true) {
        const auto dot = version.find('.', start);
        pieces.push_back(version.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    if (pieces.size() < 2 || pieces.size() > 3) return std::nullopt;
    for (const auto& piece : pieces) {
        if (piece.empty() ||
            !std::all_of(piece.begin(), piece.end(), [](unsigned char c) { return std::isdigit(c); })) {
            return std::nullopt;
        }
    }
    return pieces.size() == 2 ? version + ".0" : version;
}

// The version of an installed application bundle with this identifier, if one is found.
std::optional<std::string> installedVersion(const std::vector<std::filesystem::path>& folders,
                                            const std::string& bundleID) {
    for (const auto& folder : folders) {
        std::vector<std::string> names;
        try {
            names = platform::directoryEntries(folder);
        } catch (const std::system_error&) {
            continue;
        }
        for (const auto& name : names) {
            const auto path = folder / name;
            if (path.extension() != ".app") continue;
            const auto bundle = Bundle::atPath(path);
            if (bundle.infoString("CFBundleIdentifier") != bundleID) continue;
            if (auto version = bundle.infoString("CFBundleShortVersionString")) return version;
        }
    }
    return std::nullopt;
}

}  // namespace

std::string PluginFormatSupport::compatibilityText(const Release& release) {
    std::vector<std::string> formats;
    if (release.includesVST3()) formats.emplace_back("VST3 for compatible DAWs");
    if (release.audioUnit) formats.insert(formats.begin(), "AU for Logic Pro");
    if (release.clap) formats.emplace_back("CLAP for compatible DAWs");
    std::string text;
    for (std::size_t index = 0; index < formats.size(); ++index)
        text += (index > 0 ? ", " : "") + formats[index];
    return text + ".";
}

std::optional<std::string> PluginFormatSupport::installedHostRecommendation(
    const std::vector<std::filesystem::path>& applicationFolders) {
    for (const char* bundleID : {"com.bitwig.BitwigStudio", "com.bitwig.studio", "com.cockos.reaper"}) {
        const auto version = installedVersion(applicationFolders, bundleID);
        if (!version) continue;
        if (auto hint = recommendation(bundleID, *version)) return hint;
    }
    return std::nullopt;
}

std::optional<std::string> PluginFormatSupport::recommendation(const std::string& bundleID,
                                                               const std::string& version) {
    const auto normalised = normalisedVersion(version);
    if (!normalised) return std::nullopt;
    std::string identifier = bundleID;
    std::transform(identifier.begin(), identifier.end(), identifier.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (identifier == "com.bitwig.studio" || identifier == "com.bitwig.bitwigstudio") {
        if (SemanticVersion::isNewer("4.3.0", *normalised)) return std::nullopt;
        if (SemanticVersion::isNewer("5.0.0", *normalised)) {
            return "Bitwig detected. Choose the CLAP version when adding a new plugin instance.";
        }
        return "Bitwig detected. Enable Prefer CLAP over VST in Settings → Locations → Plug-in Locations to "
               "prefer CLAP "
               "for new instances.";
    }
    if (identifier == "com.cockos.reaper") {
        if (SemanticVersion::isNewer("6.71.0", *normalised)) return std::nullopt;
        return "REAPER detected. Choose the CLAP version when adding a new plugin instance.";
    }
    return std::nullopt;
}

std::vector<std::filesystem::path> PluginFormatSupport::defaultApplicationFolders() {
    const auto folders = platform::standardFolders();
    return {folders.sharedApplications, folders.applications};
}

}  // namespace halvex
