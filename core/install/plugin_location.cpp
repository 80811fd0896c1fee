#include "core/install/plugin_location.h"

#include <stdexcept>
#include <system_error>

#include "core/foundation/halvex_error.h"
#include "platform/administrator_runner.h"
#include "platform/file_io.h"
#include "platform/standard_folders.h"

namespace halvex {

namespace {

HalvexError cancelled() {
    return HalvexError::installationAuthorization("Administrator authorization was cancelled.");
}

void validate(const std::filesystem::path& directory) {
    if (!platform::isFolder(directory)) {
        throw HalvexError::invalidPackage("The global HALVEX VST3 location is not a regular directory.");
    }
    if (!platform::isWritable(directory)) {
        throw HalvexError::installationAuthorization(
            "The HALVEX VST3 directory is not writable by this user.");
    }
}

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

}  // namespace

std::filesystem::path HalvexPluginLocation::systemVST3Directory() {
    return platform::standardFolders().sharedVST3;
}

std::filesystem::path HalvexPluginLocation::managedDirectory() {
    return platform::standardFolders().managedVST3;
}

HalvexPluginLocation::ElevationRunner HalvexPluginLocation::pkexecRunner() {
    return [](const std::filesystem::path& folder) {
        const auto result = platform::createFolderAsAdministrator(folder);
        return ElevationResult{result.exitStatus, result.standardError};
    };
}

void HalvexPluginLocation::ensureManagedDirectory(bool allowAuthorization, const ElevationRunner& elevate,
                                                  const std::filesystem::path& directory) {
    if (platform::itemExists(directory)) return validate(directory);
    if (!allowAuthorization) {
        throw HalvexError::installationAuthorization(
            "Open HALVEX HUB once to approve the shared VST3 installation directory.");
    }
    ElevationResult result;
    try {
        result = elevate(directory);
    } catch (const std::system_error&) {
        throw HalvexError::installationAuthorization("The administrator request could not be created.");
    } catch (const std::invalid_argument&) {
        throw HalvexError::installationAuthorization("The administrator request could not be created.");
    }
    if (result.exitStatus == 126 || result.exitStatus == 127) throw cancelled();
    if (result.exitStatus != 0) {
        const auto message = trimmed(result.standardError);
        if (message.empty()) throw cancelled();
        throw HalvexError::installationAuthorization(message);
    }
    validate(directory);
}

}  // namespace halvex
