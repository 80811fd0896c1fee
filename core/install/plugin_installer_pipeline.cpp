// PluginInstaller: the install pipeline, from a downloaded archive to swapped-in bundles and a receipt.

#include "core/foundation/halvex_error.h"
#include "core/install/bundle_replacement.h"
#include "core/install/plugin_installer.h"
#include "core/install/rollback_archive.h"
#include "core/install/update_lock.h"
#include "core/service/api_client.h"
#include "core/trust/bundle_architecture_verifier.h"
#include "core/trust/plugin_bundle_info.h"
#include "platform/file_io.h"

namespace halvex {

namespace {

// The single bundle of a format, or none; any other count is `mismatch`.
std::optional<std::filesystem::path> onlyBundle(const std::filesystem::path& staging,
                                                const std::string& extension, bool expected,
                                                const char* mismatch) {
    const auto bundles = PluginInstaller::pluginBundles(staging, extension);
    if (bundles.size() != (expected ? 1u : 0u)) throw HalvexError::invalidPackage(mismatch);
    if (bundles.empty()) return std::nullopt;
    return bundles.front();
}

}  // namespace

PluginInstaller::InstallResult PluginInstaller::downloadAndInstall(
    const Release& release, const APIClient& client, const SignedMetadataVerifier& verifier,
    bool allowDirectoryAuthorization, bool prepareWhileDAWRunning, std::stop_token stop,
    const ProgressHandler& progress) {
    const UpdateLock lock(folders_.applicationSupport);
    recoverUnlocked();
    const auto archive = partialDownloadURL(release);
    const auto report = [&](Progress::Step step, std::int64_t done) {
        if (progress) progress({step, done, release.sizeBytes});
    };
    const auto digest = client.downloadHashing(release, archive, stop, [&](std::int64_t done, std::int64_t) {
        report(Progress::Step::downloading, done);
    });
    report(Progress::Step::verifying, release.sizeBytes);
    return installUnlocked(
        release, archive, verifier, allowDirectoryAuthorization, prepareWhileDAWRunning,
        [&] { report(Progress::Step::installing, release.sizeBytes); }, digest);
}

PluginInstaller::InstallResult PluginInstaller::install(const Release& release,
                                                        const std::filesystem::path& archive,
                                                        const SignedMetadataVerifier& verifier,
                                                        bool allowDirectoryAuthorization,
                                                        bool prepareWhileDAWRunning) {
    const UpdateLock lock(folders_.applicationSupport);
    recoverUnlocked();
    return installUnlocked(release, archive, verifier, allowDirectoryAuthorization, prepareWhileDAWRunning);
}

PluginInstaller::InstallResult PluginInstaller::installUnlocked(
    const Release& release, const std::filesystem::path& archive, const SignedMetadataVerifier& verifier,
    bool allowDirectoryAuthorization, bool prepareWhileDAWRunning, const std::function<void()>& swapping,
    const std::optional<std::string>& digest) {
    if (auto hosts = runningAudioApplications(); !hosts.empty() && !prepareWhileDAWRunning) {
        throw HalvexError::dawIsRunning(std::move(hosts));
    }
    verify(release, verifier);
    verifyArchive(archive, release, digest);

    // Removed on every way out of the pipeline.
    const platform::ScopedFolder staging(folders_.applicationSupport / "Staging" / platform::randomUUID());
    expandArchive(archive, staging.path());

    const auto vst3 = onlyBundle(staging.path(), "vst3", release.includesVST3(),
                                 "The VST3 format does not match the signed release.");
    if (vst3 && !vst3IdentityMatches(*vst3, release)) {
        throw HalvexError::invalidPackage("The plugin identity or version does not match this release.");
    }
    const auto audioUnit = onlyBundle(staging.path(), "component", release.audioUnit.has_value(),
                                      "The Audio Unit format does not match the signed release.");
    const auto clap = onlyBundle(staging.path(), "clap", release.clap.has_value(),
                                 "The CLAP format does not match the signed release.");
    verifyStagedBundles(vst3, audioUnit, clap, release);

    // Before deciding on a pending update: one is only kept when it can be finished without a prompt.
    if (release.includesVST3() && folders_.usesManagedSystemDirectory) {
        ensureManagedDirectory(allowDirectoryAuthorization);
    }
    if (prepareWhileDAWRunning) {
        if (auto hosts = runningAudioApplications(); !hosts.empty()) {
            savePending(release, archive);
            return InstallResult::pendingRestart(std::move(hosts));
        }
    }

    const auto legacy = release.includesVST3() ? legacyInstalledBundle(release.bundleID) : std::nullopt;
    std::vector<BundleReplacement::Item> items;
    // The replaced bundles become the rollback archive, in the same transaction as the swap.
    RollbackArchiveUpdate rollbackArchive(folders_.applicationSupport / "Rollback",
                                          rollbackRecordURL(release.bundleID),
                                          currentReceiptRecord(release.bundleID));
    if (vst3) {
        const auto installed = installedBundle(release.bundleID);
        if (const auto previous = installed ? installed : legacy)
            rollbackArchive.archive(*previous, release.bundleID);
        if (folders_.usesManagedSystemDirectory) {
            ensureManagedDirectory(allowDirectoryAuthorization);
        } else {
            platform::createDirectories(folders_.pluginDirectory, 0755);
        }
        items.push_back({*vst3, installed.value_or(folders_.pluginDirectory / vst3->filename())});
    }
    const auto wrapperItem = [&](const std::filesystem::path& candidate, const std::filesystem::path& folder,
                                 const std::optional<std::filesystem::path>& installed,
                                 const std::string& bundleID) {
        platform::createDirectories(folder, 0755);
        const auto destination = installed.value_or(folder / candidate.filename());
        if (platform::itemExists(destination)) rollbackArchive.archive(destination, bundleID);
        items.push_back({candidate, destination});
    };
    if (audioUnit) {
        wrapperItem(*audioUnit, folders_.audioUnitDirectory, installedAudioUnit(release.audioUnit->bundleID),
                    release.audioUnit->bundleID);
    }
    if (clap)
        wrapperItem(*clap, folders_.clapDirectory, installedClap(release.clap->bundleID),
                    release.clap->bundleID);

    if (auto hosts = runningAudioApplications(); !hosts.empty()) {
        if (!prepareWhileDAWRunning) throw HalvexError::dawIsRunning(std::move(hosts));
        savePending(release, archive);
        return InstallResult::pendingRestart(std::move(hosts));
    }

    if (swapping) swapping();
    platform::createDirectories(folders_.applicationSupport / "InstalledReleases", 0700);
    const auto receipt = release.encode().dump();
    const auto receiptFile = receiptURL(release.bundleID);
    const auto installedVST3 = vst3 ? std::optional(items.front().destination) : std::nullopt;
    // What a successful installation leaves behind it goes with the transaction, so that a crash after
    // the swap still removes it.
    BundleReplacement::Journal journal{
        folders_.applicationSupport, {{receiptFile, receipt}}, {}, &rollbackArchive};
    if (legacy && (!installedVST3 || *legacy != *installedVST3)) journal.discards.push_back(*legacy);
    journal.discards.push_back(archive);
    journal.discards.push_back(pendingDirectory(release));
    const auto validate = [&](std::size_t index, const std::filesystem::path& installed) {
        verifyInstalledBundle(installed, release, installedVST3);
        // Written as part of the last validation, so a receipt never names bundles that were rolled back.
        if (index + 1 == items.size()) platform::writeFileAtomically(receiptFile, receipt, 0600);
    };
    BundleReplacement::install(items, validate, journal);
    return InstallResult::installed();
}

}  // namespace halvex
