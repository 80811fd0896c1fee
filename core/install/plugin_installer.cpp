#include "core/install/plugin_installer.h"

#include "core/install/plugin_location.h"
#include "platform/standard_folders.h"

namespace halvex {

PluginInstaller::Folders PluginInstaller::Folders::standard(
    const std::optional<std::filesystem::path>& applicationSupport,
    const std::optional<std::filesystem::path>& pluginDirectory) {
    const auto standard = platform::standardFolders();
    Folders folders;
    folders.applicationSupport = applicationSupport.value_or(standard.installerData);
    folders.legacyVST3Directory = standard.legacyVST3;
    if (pluginDirectory) {
        folders.pluginDirectory = *pluginDirectory;
        folders.audioUnitDirectory = pluginDirectory->parent_path() / "Components";
        folders.clapDirectory = pluginDirectory->parent_path() / "CLAP";
        folders.usesManagedSystemDirectory = false;
    } else {
        folders.pluginDirectory = HalvexPluginLocation::managedDirectory();
        folders.audioUnitDirectory = standard.audioUnits;
        folders.clapDirectory = standard.clap;
        folders.usesManagedSystemDirectory = true;
    }
    return folders;
}

PluginInstaller::PluginInstaller(HalvexConfiguration configuration, Folders folders)
    : configuration_(std::move(configuration)), folders_(std::move(folders)) {}

PluginInstaller::PluginInstaller(HalvexConfiguration configuration,
                                 const std::optional<std::filesystem::path>& applicationSupport,
                                 const std::optional<std::filesystem::path>& pluginDirectory)
    : PluginInstaller(std::move(configuration), Folders::standard(applicationSupport, pluginDirectory)) {}

}  // namespace halvex

namespace halvex {

void PluginInstaller::setAudioApplications(std::function<std::vector<std::string>()> query) {
    std::lock_guard lock(hostsMutex_);
    audioApplications_ = std::move(query);
}

void PluginInstaller::setElevationRunner(HalvexPluginLocation::ElevationRunner runner) {
    std::lock_guard lock(hostsMutex_);
    elevate_ = std::move(runner);
}

std::vector<std::string> PluginInstaller::runningAudioApplications() {
    std::lock_guard lock(hostsMutex_);
    return audioApplications_ ? audioApplications_() : monitor_.runningApplications();
}

bool PluginInstaller::isSupportedAudioApplication(const std::string& bundleID) {
    return AudioApplicationMonitor::isSupported(bundleID);
}

void PluginInstaller::ensureManagedDirectory(bool allowAuthorization) const {
    const auto elevate = [this] {
        std::lock_guard lock(hostsMutex_);
        return elevate_;
    }();
    HalvexPluginLocation::ensureManagedDirectory(allowAuthorization, elevate, folders_.pluginDirectory);
}

}  // namespace halvex
