#include "core/install/recovery_scope.h"

#include "platform/standard_folders.h"

namespace halvex {

std::vector<std::filesystem::path> recoveryScope(std::vector<std::filesystem::path> own) {
    const auto standard = platform::standardFolders();
    for (const auto& folder : {standard.installerData, standard.managedVST3, standard.legacyVST3,
                               standard.clap, standard.audioUnits, standard.applications}) {
        own.push_back(folder);
    }
    std::erase_if(own, [](const std::filesystem::path& folder) { return folder.empty(); });
    return own;
}

}  // namespace halvex
