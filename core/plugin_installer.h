#pragma once

// Installs and checks plugin releases. This part covers where things live, the proof that a release and
// its archive are what the service signed, and the inspection of expanded and installed bundles.
// The checks are read-only (but for deleting an archive whose digest is wrong) and may run on any thread.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/catalog.h"
#include "core/halvex_configuration.h"
#include "core/signed_metadata_verifier.h"

namespace halvex {

// The maker's four-character Audio Unit manufacturer code.
inline constexpr const char* audioUnitManufacturerCode = "Hlvx";

class PluginInstaller {
  public:
    struct Folders {
        std::filesystem::path applicationSupport;
        std::filesystem::path pluginDirectory;     // VST3
        std::filesystem::path audioUnitDirectory;  // components
        std::filesystem::path clapDirectory;
        std::filesystem::path legacyVST3Directory;  // searched only with the managed VST3 folder
        bool usesManagedSystemDirectory = false;

        // The standard places; a given plugin directory puts Audio Units and CLAP bundles beside it.
        static Folders standard(const std::optional<std::filesystem::path>& applicationSupport = std::nullopt,
                                const std::optional<std::filesystem::path>& pluginDirectory = std::nullopt);
    };

    PluginInstaller(HalvexConfiguration configuration, Folders folders);
    PluginInstaller(HalvexConfiguration configuration,
                    const std::optional<std::filesystem::path>& applicationSupport = std::nullopt,
                    const std::optional<std::filesystem::path>& pluginDirectory = std::nullopt);

    const HalvexConfiguration& configuration() const { return configuration_; }
    const Folders& folders() const { return folders_; }

    // Release verification.
    static void verify(const Release& release, const SignedMetadataVerifier& verifier);
    // Lower-case hex SHA-256 of a file, read in 1 MiB pieces.
    static std::string sha256(const std::filesystem::path& file);
    // Size, then digest; a wrong digest deletes the archive. HalvexError::hashMismatch on either.
    static void verifyArchive(const std::filesystem::path& archive, const Release& release);
    // Expands a release ZIP into `destination`; failures are "Update tool failed: " + reason.
    static void expandArchive(const std::filesystem::path& archive, const std::filesystem::path& destination);
    // Runs a tool and waits; a non-zero exit is "Update tool failed: " + its trimmed standard error.
    static void run(const std::filesystem::path& tool, const std::vector<std::string>& arguments);

    // Bundle inspection.
    static std::vector<std::filesystem::path> pluginBundles(const std::filesystem::path& below,
                                                            const std::string& extension);
    static bool vst3IdentityMatches(const std::filesystem::path& bundle, const Release& release);
    void verifyCodeSignature(const std::filesystem::path& bundle, const std::string& bundleID) const;
    void verifyAudioUnit(const std::filesystem::path& bundle, const AudioUnitIdentity& identity,
                         const Release& release, const std::optional<std::filesystem::path>& vst3) const;
    void verifyClap(const std::filesystem::path& bundle, const ClapIdentity& identity, const Release& release,
                    const std::optional<std::filesystem::path>& vst3) const;
    void verifyEmbeddedEngine(const std::filesystem::path& wrapper, const Release& release,
                              const std::optional<std::filesystem::path>& vst3) const;

    // Installed bundles by identifier; absent when nothing matches or a folder cannot be read.
    std::optional<std::filesystem::path> installedBundle(const std::string& bundleID) const;
    std::optional<std::filesystem::path> installedAudioUnit(const std::string& bundleID) const;
    std::optional<std::filesystem::path> installedClap(const std::string& bundleID) const;
    std::optional<std::filesystem::path> legacyInstalledBundle(const std::string& bundleID) const;

  private:
    HalvexConfiguration configuration_;
    Folders folders_;
};

}  // namespace halvex
