#include "core/install/recovery_folders.h"

#include <system_error>

#include "platform/file_io.h"
#include "platform/standard_folders.h"

namespace halvex {

namespace {

// Deep enough for <data>/PendingUpdates/<product>/release.json and <data>/Keychain/<service>/<account>;
// never into a bundle's own tree.
constexpr int sweptDepth = 2;

void sweepTemporaries(const std::filesystem::path& folder, int depth) {
    platform::removeAbandonedTemporaryFiles(folder);
    if (depth == sweptDepth) return;
    std::vector<std::string> names;
    try {
        names = platform::directoryEntries(folder);
    } catch (const std::system_error&) {
        return;  // an unreadable folder keeps its leftovers until it can be read
    }
    for (const auto& name : names) {
        const auto path = folder / name;
        if (name.starts_with(".") || path.extension() == ".app" || !platform::isFolder(path)) continue;
        sweepTemporaries(path, depth + 1);
    }
}

}  // namespace

std::vector<std::filesystem::path> recoveryScope(std::vector<std::filesystem::path> own) {
    const auto standard = platform::standardFolders();
    for (const auto& folder : {standard.installerData, standard.managedVST3, standard.legacyVST3,
                               standard.clap, standard.audioUnits, standard.applications}) {
        own.push_back(folder);
    }
    std::erase_if(own, [](const std::filesystem::path& folder) { return folder.empty(); });
    return own;
}

void removeAbandonedTemporaryFiles(const std::filesystem::path& applicationSupport) {
    sweepTemporaries(applicationSupport, 0);
}

}  // namespace halvex
