// PluginInstaller: inspection of expanded and installed plugin bundles.

#include <future>
#include <system_error>

#include "core/foundation/halvex_error.h"
#include "core/install/plugin_installer.h"
#include "core/trust/bundle_architecture_verifier.h"
#include "core/trust/plugin_bundle_info.h"
#include "platform/bundle_seal.h"
#include "platform/file_io.h"

namespace halvex {

namespace {

bool isHidden(const std::filesystem::path& path) {
    return path.filename().string().starts_with(".");
}

bool infoMatches(const std::filesystem::path& bundle, const std::string& identifier,
                 const std::string& version) {
    const auto info = PluginBundleInfo::read(bundle);
    return info && info->identifier == identifier && info->version == version;
}

std::optional<platform::PropertyValue> infoDictionary(const std::filesystem::path& bundle) {
    try {
        auto info = readInfoPlist(bundle);
        if (info.dictionary() == nullptr) return std::nullopt;
        return info;
    } catch (const platform::PropertyListError&) {
        return std::nullopt;
    } catch (const std::system_error&) {
        return std::nullopt;
    }
}

bool audioComponentsMatch(const std::filesystem::path& bundle, const AudioUnitIdentity& identity) {
    const auto info = infoDictionary(bundle);
    if (!info) return false;
    const auto* components = info->member("AudioComponents");
    if (components == nullptr || components->array() == nullptr || components->array()->size() != 1)
        return false;
    const auto& component = components->array()->front();
    return component.stringMember("type") == identity.type &&
           component.stringMember("subtype") == identity.subtype &&
           component.stringMember("manufacturer") == identity.manufacturer;
}

// The executable of a bundle for the engine comparison: read errors pass on, a bad entry is refused.
std::filesystem::path engineExecutable(const std::filesystem::path& bundle) {
    const auto info = readInfoPlist(bundle);
    const auto name = executableName(info);
    if (!name) throw HalvexError::invalidPackage("Invalid plugin executable.");
    return bundle / "Contents" / "MacOS" / *name;
}

std::optional<std::filesystem::path> pathOf(const std::optional<InstalledBundle>& bundle) {
    if (!bundle) return std::nullopt;
    return bundle->path;
}

// Bundles with `extension` below `folder`, not looking into hidden items, links or the bundles found.
void collectBundles(const std::filesystem::path& folder, const std::string& extension,
                    std::vector<std::filesystem::path>& bundles) {
    std::vector<std::string> names;
    try {
        names = platform::directoryEntries(folder);
    } catch (const std::system_error&) {
        return;
    }
    std::sort(names.begin(), names.end());
    for (const auto& name : names) {
        const auto path = folder / name;
        if (isHidden(path)) continue;
        if (path.extension() == "." + extension) {
            bundles.push_back(path);
        } else if (platform::isFolder(path)) {
            collectBundles(path, extension, bundles);
        }
    }
}

}  // namespace

std::vector<std::filesystem::path> PluginInstaller::pluginBundles(const std::filesystem::path& below,
                                                                  const std::string& extension) {
    std::vector<std::filesystem::path> bundles;
    collectBundles(below, extension, bundles);
    return bundles;
}

bool PluginInstaller::vst3IdentityMatches(const std::filesystem::path& bundle, const Release& release) {
    return infoMatches(bundle, release.bundleID, release.version);
}

void PluginInstaller::verifyCodeSignature(const std::filesystem::path& bundle,
                                          const std::string& bundleID) const {
    const platform::SealRequirement requirement{configuration_.signingTeamID, bundleID,
                                                configuration_.codeSigningAnchorsPEM};
    if (!platform::bundleSatisfies(bundle, requirement)) throw HalvexError::signatureRejected();
}

void PluginInstaller::verifyAudioUnit(const std::filesystem::path& bundle, const AudioUnitIdentity& identity,
                                      const Release& release,
                                      const std::optional<std::filesystem::path>& vst3) const {
    if (!infoMatches(bundle, identity.bundleID, release.version)) {
        throw HalvexError::invalidPackage("The Audio Unit identity or version does not match this release.");
    }
    if (!audioComponentsMatch(bundle, identity)) {
        throw HalvexError::invalidPackage("The Audio Unit registration does not match the signed release.");
    }
    verifyCodeSignature(bundle, identity.bundleID);
    BundleArchitectureVerifier::verify(bundle, release.architectures);
    verifyEmbeddedEngine(bundle, release, vst3);
}

void PluginInstaller::verifyStagedBundles(const std::optional<std::filesystem::path>& vst3,
                                          const std::optional<std::filesystem::path>& audioUnit,
                                          const std::optional<std::filesystem::path>& clap,
                                          const Release& release) const {
    // A failure thrown below still waits for both: the futures of std::async block when destroyed.
    auto audioUnitCheck = std::async(std::launch::async, [&] {
        if (audioUnit) verifyAudioUnit(*audioUnit, *release.audioUnit, release, vst3);
    });
    auto clapCheck = std::async(std::launch::async, [&] {
        if (clap) verifyClap(*clap, *release.clap, release, vst3);
    });
    if (vst3) {
        verifyCodeSignature(*vst3, release.bundleID);
        BundleArchitectureVerifier::verify(*vst3, release.architectures);
    }
    audioUnitCheck.get();
    clapCheck.get();
}

void PluginInstaller::verifyClap(const std::filesystem::path& bundle, const ClapIdentity& identity,
                                 const Release& release,
                                 const std::optional<std::filesystem::path>& vst3) const {
    if (!infoMatches(bundle, identity.bundleID, release.version)) {
        throw HalvexError::invalidPackage("The CLAP identity or version does not match this release.");
    }
    const auto info = infoDictionary(bundle);
    if (!info || info->stringMember("HVXCLAPPluginID") != identity.pluginID) {
        throw HalvexError::invalidPackage("The CLAP registration does not match the signed release.");
    }
    verifyCodeSignature(bundle, identity.bundleID);
    BundleArchitectureVerifier::verify(bundle, release.architectures);
    verifyEmbeddedEngine(bundle, release, vst3);
}

void PluginInstaller::verifyEmbeddedEngine(const std::filesystem::path& wrapper, const Release& release,
                                           const std::optional<std::filesystem::path>& vst3) const {
    const auto engine = wrapper / "Contents" / "Resources" / "plugin.bundle";
    if (!infoMatches(engine, release.bundleID, release.version)) {
        throw HalvexError::invalidPackage("The embedded plugin engine identity is invalid.");
    }
    verifyCodeSignature(engine, release.bundleID);
    BundleArchitectureVerifier::verify(engine, release.architectures);
    if (!vst3) return;
    if (sha256(engineExecutable(engine)) != sha256(engineExecutable(*vst3))) {
        throw HalvexError::invalidPackage("The embedded and VST3 engines do not match.");
    }
}

std::optional<std::filesystem::path> PluginInstaller::installedBundle(const std::string& bundleID) const {
    return pathOf(bundleIndex_.find(folders_.pluginDirectory, "vst3", bundleID));
}

std::optional<std::filesystem::path> PluginInstaller::installedAudioUnit(const std::string& bundleID) const {
    return pathOf(bundleIndex_.find(folders_.audioUnitDirectory, "component", bundleID));
}

std::optional<std::filesystem::path> PluginInstaller::installedClap(const std::string& bundleID) const {
    return pathOf(bundleIndex_.find(folders_.clapDirectory, "clap", bundleID));
}

std::optional<std::filesystem::path> PluginInstaller::legacyInstalledBundle(
    const std::string& bundleID) const {
    if (!folders_.usesManagedSystemDirectory) return std::nullopt;
    const auto standardized = [](const std::filesystem::path& path) {
        return (path / "").lexically_normal();
    };
    if (standardized(folders_.legacyVST3Directory) == standardized(folders_.pluginDirectory)) {
        return std::nullopt;
    }
    return pathOf(bundleIndex_.find(folders_.legacyVST3Directory, "vst3", bundleID));
}

}  // namespace halvex
