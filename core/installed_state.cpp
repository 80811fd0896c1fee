// PluginInstaller: what is installed, its receipt, and the files an installation keeps beside it.

#include <algorithm>

#include "core/halvex_error.h"
#include "core/plugin_bundle_info.h"
#include "core/plugin_installer.h"
#include "core/semantic_version.h"
#include "platform/file_io.h"
#include "platform/sha256.h"
#include "platform/zip_archive.h"

namespace halvex {

namespace {

constexpr std::size_t maximumReceiptBytes = 1024 * 1024;

std::optional<std::string> versionOf(const std::optional<std::filesystem::path>& bundle) {
    if (!bundle) return std::nullopt;
    const auto info = PluginBundleInfo::read(*bundle);
    if (!info) return std::nullopt;
    return info->version;
}

}  // namespace

std::optional<std::string> PluginInstaller::installedVersion(const std::string& bundleID) const {
    std::vector<std::string> versions;
    for (const auto& version :
         {versionOf(installedBundle(bundleID)), versionOf(installedAudioUnit(bundleID + ".au")),
          versionOf(installedClap(bundleID + ".clap"))}) {
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
    try {
        const auto receipt =
            json::decodeRecord<Release>(platform::readFile(receiptURL(bundleID), maximumReceiptBytes));
        if (receipt.bundleID != bundleID || installedVersion(bundleID) != receipt.version)
            return std::nullopt;
        verify(receipt, verifier);
        return receipt.channel;
    } catch (const std::exception&) {
        // No receipt, an unreadable one, or one the service did not sign: the channel is unknown.
        return std::nullopt;
    }
}

bool PluginInstaller::isComplete(const Release& release) const {
    if (release.includesVST3()) {
        if (versionOf(installedBundle(release.bundleID)) != release.version) return false;
    } else if (!release.clap || release.audioUnit) {
        return false;
    }
    if (release.audioUnit && versionOf(installedAudioUnit(release.audioUnit->bundleID)) != release.version)
        return false;
    if (release.clap && versionOf(installedClap(release.clap->bundleID)) != release.version) return false;
    return true;
}

std::filesystem::path PluginInstaller::partialDownloadURL(const Release& release) const {
    const auto downloads = folders_.applicationSupport / "Downloads";
    std::filesystem::create_directories(downloads);
    return downloads / (release.releaseID + ".zip.partial");
}

std::filesystem::path PluginInstaller::receiptURL(const std::string& bundleID) const {
    return folders_.applicationSupport / "InstalledReleases" / (platform::sha256Hex(bundleID) + ".json");
}

void PluginInstaller::archiveRollback(const std::filesystem::path& bundle,
                                      const std::string& bundleID) const {
    const auto folder = folders_.applicationSupport / "Rollback";
    std::filesystem::create_directories(folder);
    const auto zip = folder / (bundleID + ".zip");
    // Written under a hidden name and renamed, so a failure never leaves half an archive.
    const auto work = folder / ("." + platform::randomUUID() + ".zip");
    try {
        platform::createZip({bundle}, work);
        std::filesystem::rename(work, zip);
    } catch (const platform::ArchiveError& error) {
        std::error_code ignored;
        std::filesystem::remove(work, ignored);
        throw HalvexError::invalidPackage("Update tool failed: " + std::string(error.what()));
    } catch (...) {
        std::error_code ignored;
        std::filesystem::remove(work, ignored);
        throw;
    }
}

}  // namespace halvex
