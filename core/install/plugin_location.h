#pragma once

// The shared (all users) VST3 folder the hub manages, and its one-time creation with administrator
// rights. The administrator step is a fixed command template run through an injectable elevation runner
// (pkexec by default); it creates the folder owned by the current user with mode 0755 and never touches
// an existing item.

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace halvex {

struct ElevationResult {
    int exitStatus = 0;
    std::string standardError;
};

struct HalvexPluginLocation {
    // Runs `/bin/sh -c <command>` with elevated rights.
    using ElevationRunner = std::function<ElevationResult(const std::string& command)>;

    static std::filesystem::path systemVST3Directory();  // /usr/local/lib/vst3
    static std::filesystem::path managedDirectory();     // /usr/local/lib/vst3/Halvex

    // Makes sure `directory` exists, is a real folder and is writable by this user, creating it through
    // `elevate` when allowed. Throws HalvexError (installationAuthorization or invalidPackage).
    static void ensureManagedDirectory(bool allowAuthorization,
                                       const ElevationRunner& elevate = pkexecRunner(),
                                       const std::filesystem::path& directory = managedDirectory());

    // The guarded creation command for `directory`; absent when the path cannot be quoted safely.
    static std::optional<std::string> creationCommand(const std::filesystem::path& directory);

    // pkexec; its "dismissed" (126) and "not authorised" (127) exits mean cancellation.
    static ElevationRunner pkexecRunner();
};

}  // namespace halvex
