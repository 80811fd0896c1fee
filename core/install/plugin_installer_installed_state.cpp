// PluginInstaller: what is installed, its receipt, and the files an installation keeps beside it.

#include <algorithm>

#include "core/foundation/halvex_error.h"
#include "core/foundation/semantic_version.h"
#include "core/install/plugin_installer.h"
#include "core/install/rollback_archive.h"
#include "core/trust/plugin_bundle_info.h"
#include "platform/file_io.h"
#include "platform/sha256.h"
#include "platform/zip_archive.h"

namespace halvex {

namespace {

constexpr std::size_t maximumReceiptBytes = 1024 * 1024;

std::optional<std::string> versionOf(const std::optional<InstalledBundle>& bundle) {
    if (!bundle) return std::nullopt;
    return bundle->info.version;
}

}  // namespace

std::optional<std::string> PluginInstaller::installedVersion(const std::string& bundleID) const {
    std::vector<std::string> versions;
    for (const auto& version :
         {versionOf(bundleIndex_.find(folders_.pluginDirectory, "vst3", bundleID)),
          versionOf(bundleIndex_.find(folders_.audioUnitDirectory, "component", bundleID + ".au")),
          versionOf(bundleIndex_.find(folders_.clapDirectory, "clap", bundleID + ".clap"))}) {
        if (version) versions.push_back(*version);
    }
    if (versions.empty()) return std::nullopt;
    // Unparseable versions stay unordered relative to the rest, as the comparison leaves them.
    std::stable_sort(versions.begin(), versions.end(), [](const std::string& a, const std::string& b) {
        return SemanticVersion::isNewer(a, b);
    });
    return versions.front();
}

std::optional<std::string> PluginInstaller::installedChannel(const std::string& bundleID,
                                                             const SignedMetadataVerifier& verifier) const {
    const auto file = receiptURL(bundleID);
    const auto stamp = platform::stampOf(file);
    const auto version = installedVersion(bundleID);
    if (!stamp || !version) return std::nullopt;
    const auto key = verifier.keyIdentity();
    const auto channelIfCurrent = [&](const VerifiedReceipt& receipt) -> std::optional<std::string> {
        if (receipt.version != *version) return std::nullopt;
        return receipt.channel;
    };
    {
        // The signature check is the costly part of this per-second query; an unchanged receipt keeps its
        // verdict.
        std::lock_guard lock(receiptsMutex_);
        const auto cached = verifiedReceipts_.find(bundleID);
        if (cached != verifiedReceipts_.end() && cached->second.stamp == *stamp &&
            cached->second.verifierKey == key) {
            return channelIfCurrent(cached->second);
        }
    }
    try {
        const auto receipt = json::decodeRecord<Release>(platform::readFile(file, maximumReceiptBytes));
        if (receipt.bundleID != bundleID) return std::nullopt;
        verify(receipt, verifier);
        const VerifiedReceipt verified{*stamp, key, receipt.version, receipt.channel};
        std::lock_guard lock(receiptsMutex_);
        verifiedReceipts_.insert_or_assign(bundleID, verified);
        return channelIfCurrent(verified);
    } catch (const std::exception&) {
        // No receipt, an unreadable one, or one the service did not sign: the channel is unknown.
        return std::nullopt;
    }
}

bool PluginInstaller::isComplete(const Release& release) const {
    if (release.includesVST3()) {
        if (versionOf(bundleIndex_.find(folders_.pluginDirectory, "vst3", release.bundleID)) !=
            release.version)
            return false;
    } else if (!release.clap || release.audioUnit) {
        return false;
    }
    if (release.audioUnit && versionOf(bundleIndex_.find(folders_.audioUnitDirectory, "component",
                                                         release.audioUnit->bundleID)) != release.version)
        return false;
    if (release.clap && versionOf(bundleIndex_.find(folders_.clapDirectory, "clap",
                                                    release.clap->bundleID)) != release.version)
        return false;
    return true;
}

std::filesystem::path PluginInstaller::partialDownloadURL(const Release& release) const {
    const auto downloads = folders_.applicationSupport / "Downloads";
    platform::createDirectories(downloads, 0700);
    return downloads / (release.releaseID + ".zip.partial");
}

std::filesystem::path PluginInstaller::receiptURL(const std::string& bundleID) const {
    return folders_.applicationSupport / "InstalledReleases" / (platform::sha256Hex(bundleID) + ".json");
}

}  // namespace halvex
