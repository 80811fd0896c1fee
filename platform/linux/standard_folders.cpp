#include "platform/standard_folders.h"

#include "platform/user_folders.h"

namespace halvex::platform {

StandardFolders standardFolders() {
    const auto home = homeDirectory();
    const auto data = userDataDirectory();
    // The demo hub keeps even the folder shared by all users below its root (user_folders.h).
    const auto root = demoRoot();
    const std::filesystem::path sharedVST3 = root ? *root / "usr/local/lib/vst3" : "/usr/local/lib/vst3";
    return {
        .installerData = data / "Halvex",
        .caches = userCacheDirectory() / "com.halvex.hub",
        .autostart = userConfigDirectory() / "autostart",
        .sharedVST3 = sharedVST3,
        .managedVST3 = sharedVST3 / "Halvex",
        .legacyVST3 = home / ".vst3",
        .clap = home / ".clap",
        .audioUnits = data / "Audio" / "Plug-Ins" / "Components",
        .applications = home / "Applications",
        .sharedApplications = "/opt",
    };
}

}  // namespace halvex::platform
