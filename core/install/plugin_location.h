#pragma once

// The shared (all users) VST3 folder the hub manages, and its one-time creation with administrator
// rights through an injectable elevation runner (the platform's administrator prompt by default), which
// creates the folder owned by the current user with mode 0755 and never touches an existing item.

#include <filesystem>
#include <functional>
#include <string>

namespace halvex {

struct ElevationResult {
    int exitStatus = 0;
    std::string standardError;
};

struct HalvexPluginLocation {
    // Creates `folder` with elevated rights (see platform::createFolderAsAdministrator).
    using ElevationRunner = std::function<ElevationResult(const std::filesystem::path& folder)>;

    static std::filesystem::path systemVST3Directory();  // /usr/local/lib/vst3
    static std::filesystem::path managedDirectory();     // /usr/local/lib/vst3/Halvex

    // Makes sure `directory` exists, is a real folder and is writable by this user, creating it through
    // `elevate` when allowed. Throws HalvexError (installationAuthorization or invalidPackage).
    static void ensureManagedDirectory(bool allowAuthorization,
                                       const ElevationRunner& elevate = pkexecRunner(),
                                       const std::filesystem::path& directory = managedDirectory());

    // The system's administrator prompt; its "dismissed" (126) and "not authorised" (127) exits mean
    // cancellation.
    static ElevationRunner pkexecRunner();
};

}  // namespace halvex
