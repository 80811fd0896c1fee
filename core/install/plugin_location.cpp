#include "core/install/plugin_location.h"

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
    const auto status = std::filesystem::symlink_status(directory);
    if (std::filesystem::is_symlink(status) || !std::filesystem::is_directory(status)) {
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

std::optional<std::string> HalvexPluginLocation::creationCommand(const std::filesystem::path& directory) {
    const auto path = directory.string();
    // Only absolute paths without quotes or control characters fit the fixed single-quoted template.
    if (path.empty() || path.front() != '/') return std::nullopt;
    for (const char c : path) {
        if (c == '\'' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return std::nullopt;
    }
    const auto quoted = "'" + path + "'";
    const auto owner = platform::currentUserAndGroup();
    return "/usr/bin/test ! -e " + quoted + " && /usr/bin/install -d -o " + std::to_string(owner.user) +
           " -g " + std::to_string(owner.group) + " -m 0755 " + quoted;
}

HalvexPluginLocation::ElevationRunner HalvexPluginLocation::pkexecRunner() {
    return [](const std::string& command) {
        const auto result = platform::runAsAdministrator(command);
        return ElevationResult{result.exitStatus, result.standardError};
    };
}

void HalvexPluginLocation::ensureManagedDirectory(bool allowAuthorization, const ElevationRunner& elevate,
                                                  const std::filesystem::path& directory) {
    std::error_code error;
    if (std::filesystem::exists(std::filesystem::symlink_status(directory, error)))
        return validate(directory);
    if (!allowAuthorization) {
        throw HalvexError::installationAuthorization(
            "Open HALVEX HUB once to approve the shared VST3 installation directory.");
    }
    const auto command = creationCommand(directory);
    if (!command)
        throw HalvexError::installationAuthorization("The administrator request could not be created.");
    ElevationResult result;
    try {
        result = elevate(*command);
    } catch (const std::system_error&) {
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
