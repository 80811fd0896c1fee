#pragma once

// The folders the hub reads and writes, in one place: every folder the system writes (installer data,
// caches, autostart entries, plugin folders, the managed VST3 folder, the Applications folder) is resolved
// here, so that a test or a build that places them elsewhere changes one definition. The values are taken
// from the environment at each call; any thread may call it. In the demo hub they all lie below the demo
// root (user_folders.h), the shared VST3 folder at <demo root>/usr/local/lib/vst3.

#include <filesystem>

namespace halvex::platform {

struct StandardFolders {
    std::filesystem::path installerData;       // <user data>/Halvex
    std::filesystem::path caches;              // <user caches>/com.halvex.hub
    std::filesystem::path autostart;           // <user configuration>/autostart
    std::filesystem::path sharedVST3;          // /usr/local/lib/vst3 (all users)
    std::filesystem::path managedVST3;         // <shared VST3>/Halvex
    std::filesystem::path legacyVST3;          // ~/.vst3
    std::filesystem::path clap;                // ~/.clap
    std::filesystem::path audioUnits;          // <user data>/Audio/Plug-Ins/Components
    std::filesystem::path applications;        // ~/Applications, where an installed hub sits
    std::filesystem::path sharedApplications;  // /opt: searched for audio hosts, never written
};

StandardFolders standardFolders();

}  // namespace halvex::platform
