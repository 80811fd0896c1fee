// PluginInstaller: going back to the version kept in the rollback archive, and removing a product.
//
// The rollback archive of a plugin is one ZIP per bundle identifier (Rollback/<bundle id>.zip) plus a
// record of the release those bundles came from (Rollback/<hex SHA-256 of the plugin id>.json). Revert
// proves the archived bundles again against that signed record before swapping them in; the bundles it
// replaces become the new rollback archive, which only takes the old one's place once the swap held.
// Both are journalled transactions (TransactionJournal): the receipt and the hold change with the bundles,
// and a crash at any point leaves the old state or the new one, never a mix.

#include "core/foundation/halvex_error.h"
#include "core/install/bundle_replacement.h"
#include "core/install/plugin_installer.h"
#include "core/install/rollback_archive.h"
#include "core/install/transaction_journal.h"
#include "core/install/update_lock.h"
#include "core/trust/bundle_architecture_verifier.h"
#include "platform/file_io.h"
#include "platform/sha256.h"
#include "platform/zip_archive.h"

namespace halvex {

namespace {

constexpr std::size_t maximumRecordBytes = 1024 * 1024;

HalvexError noEarlierVersion(const std::string& name) {
    return HalvexError::backgroundService("No earlier version of " + name + " is kept on this computer.");
}

// The one bundle of a format in an expanded archive, or none; any other count is `mismatch`.
std::optional<std::filesystem::path> onlyBundle(const std::filesystem::path& folder,
                                                const std::string& extension, bool expected,
                                                const char* mismatch) {
    const auto bundles = platform::itemExists(folder) ? PluginInstaller::pluginBundles(folder, extension)
                                                      : std::vector<std::filesystem::path>{};
    if (bundles.size() != (expected ? 1u : 0u)) throw HalvexError::invalidPackage(mismatch);
    if (bundles.empty()) return std::nullopt;
    return bundles.front();
}

}  // namespace

std::filesystem::path PluginInstaller::rollbackRecordURL(const std::string& bundleID) const {
    return folders_.applicationSupport / "Rollback" / (platform::sha256Hex(bundleID) + ".json");
}

std::optional<Release> PluginInstaller::rollbackRelease(const std::string& bundleID) const {
    try {
        auto record =
            json::decodeRecord<Release>(platform::readFile(rollbackRecordURL(bundleID), maximumRecordBytes));
        if (record.bundleID != bundleID) return std::nullopt;
        return record;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<std::string> PluginInstaller::currentReceiptRecord(const std::string& bundleID) const {
    try {
        auto text = platform::readFile(receiptURL(bundleID), maximumRecordBytes);
        const auto receipt = json::decodeRecord<Release>(text);
        // Only a receipt that describes the bundles about to be archived may describe the archive.
        if (receipt.bundleID != bundleID || installedVersion(bundleID) != receipt.version)
            return std::nullopt;
        return text;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<std::string> PluginInstaller::revertibleVersion(const Product& product) const {
    const auto record = rollbackRelease(product.bundleID);
    if (!record || record->productID != product.productID) return std::nullopt;
    if (installedVersion(record->bundleID) == record->version && isComplete(*record)) return std::nullopt;
    return record->version;
}

std::string PluginInstaller::hold(const Product& product) {
    const UpdateLock lock(folders_.applicationSupport);
    recoverUnlocked();
    const auto version = installedVersion(product.bundleID);
    if (!version) throw HalvexError::backgroundService(product.name + " is not installed.");
    holds().hold(product.productID, *version);
    return *version;
}

void PluginInstaller::releaseHold(const Product& product) {
    holds().release(product.productID);
}

ProductHolds PluginInstaller::holds() const {
    return ProductHolds(folders_.applicationSupport);
}

void PluginInstaller::verifyInstalledBundle(const std::filesystem::path& installed, const Release& release,
                                            const std::optional<std::filesystem::path>& vst3) const {
    if (installed.extension() == ".clap" && release.clap) {
        verifyClap(installed, *release.clap, release, vst3);
    } else if (installed.extension() == ".component" && release.audioUnit) {
        verifyAudioUnit(installed, *release.audioUnit, release, vst3);
    } else {
        if (!vst3IdentityMatches(installed, release)) {
            throw HalvexError::invalidPackage(
                "The installed plugin identity or version could not be verified.");
        }
        verifyCodeSignature(installed, release.bundleID);
        BundleArchitectureVerifier::verify(installed, release.architectures);
    }
}

Release PluginInstaller::revert(const Product& product, const SignedMetadataVerifier& verifier,
                                bool allowDirectoryAuthorization) {
    const UpdateLock lock(folders_.applicationSupport);
    recoverUnlocked();
    if (auto hosts = runningAudioApplications(); !hosts.empty())
        throw HalvexError::dawIsRunning(std::move(hosts));

    const auto record = rollbackRelease(product.bundleID);
    if (!record || record->productID != product.productID) throw noEarlierVersion(product.name);
    verify(*record, verifier);
    if (installedVersion(record->bundleID) == record->version && isComplete(*record))
        throw noEarlierVersion(product.name);

    // The archived bundles are proven exactly as a downloaded release's bundles are.
    const auto rollbackFolder = folders_.applicationSupport / "Rollback";
    const platform::ScopedFolder staging(folders_.applicationSupport / "Staging" / platform::randomUUID());
    const auto expand = [&](const std::string& bundleID, const char* format) {
        requireSafeArchiveName(bundleID);
        const auto zip = rollbackFolder / (bundleID + ".zip");
        if (!platform::itemExists(zip)) throw noEarlierVersion(product.name);
        const auto destination = staging.path() / format;
        platform::createDirectory(destination, 0700);
        expandArchive(zip, destination);
    };
    if (record->includesVST3()) expand(record->bundleID, "vst3");
    if (record->audioUnit) expand(record->audioUnit->bundleID, "component");
    if (record->clap) expand(record->clap->bundleID, "clap");

    const auto vst3 = onlyBundle(staging.path() / "vst3", "vst3", record->includesVST3(),
                                 "The VST3 format does not match the signed release.");
    if (vst3 && !vst3IdentityMatches(*vst3, *record)) {
        throw HalvexError::invalidPackage("The plugin identity or version does not match this release.");
    }
    const auto audioUnit =
        onlyBundle(staging.path() / "component", "component", record->audioUnit.has_value(),
                   "The Audio Unit format does not match the signed release.");
    const auto clap = onlyBundle(staging.path() / "clap", "clap", record->clap.has_value(),
                                 "The CLAP format does not match the signed release.");
    verifyStagedBundles(vst3, audioUnit, clap, *record);

    // What is installed now becomes the next rollback archive; formats the old release lacks are removed.
    RollbackArchiveUpdate next(rollbackFolder, rollbackRecordURL(record->bundleID),
                               currentReceiptRecord(record->bundleID));
    std::vector<BundleReplacement::Item> items;
    std::vector<std::filesystem::path> extras;
    const auto place = [&](const std::optional<std::filesystem::path>& candidate,
                           const std::optional<std::filesystem::path>& installed,
                           const std::filesystem::path& folder, const std::string& bundleID) {
        if (installed) next.archive(*installed, bundleID);
        if (!candidate) {
            if (installed) extras.push_back(*installed);
            return;
        }
        platform::createDirectories(folder, 0755);
        items.push_back({*candidate, installed.value_or(folder / candidate->filename())});
    };
    if (vst3 && folders_.usesManagedSystemDirectory) ensureManagedDirectory(allowDirectoryAuthorization);
    place(vst3, installedBundle(record->bundleID), folders_.pluginDirectory, record->bundleID);
    place(audioUnit, installedAudioUnit(record->bundleID + ".au"), folders_.audioUnitDirectory,
          record->bundleID + ".au");
    place(clap, installedClap(record->bundleID + ".clap"), folders_.clapDirectory,
          record->bundleID + ".clap");

    if (auto hosts = runningAudioApplications(); !hosts.empty())
        throw HalvexError::dawIsRunning(std::move(hosts));

    platform::createDirectories(folders_.applicationSupport / "InstalledReleases", 0700);
    const auto holds = this->holds();
    holds.createFolder();
    const auto receipt = record->encode().dump();
    const auto receiptFile = receiptURL(record->bundleID);
    const auto installedVST3 = vst3 ? std::optional(items.front().destination) : std::nullopt;
    // The receipt and the hold are written, and formats the old release lacks removed, only with a swap
    // that held; a staged update of the product goes too (the product is held now).
    BundleReplacement::Journal journal{
        folders_.applicationSupport,
        {{receiptFile, receipt},
         {holds.file(record->productID), ProductHolds::record(record->productID, record->version)}},
        extras};
    journal.discards.push_back(pendingDirectory(*record));
    journal.archive = &next;
    BundleReplacement::install(
        items,
        [&](std::size_t index, const std::filesystem::path& installed) {
            verifyInstalledBundle(installed, *record, installedVST3);
            if (index + 1 == items.size()) platform::writeFileAtomically(receiptFile, receipt, 0600);
        },
        journal);
    return *record;
}

void PluginInstaller::uninstall(const Product& product) {
    const UpdateLock lock(folders_.applicationSupport);
    recoverUnlocked();
    if (auto hosts = runningAudioApplications(); !hosts.empty())
        throw HalvexError::dawIsRunning(std::move(hosts));

    std::vector<std::pair<std::filesystem::path, std::string>> bundles;
    const auto collect = [&](const std::optional<std::filesystem::path>& bundle,
                             const std::string& bundleID) {
        if (bundle) bundles.emplace_back(*bundle, bundleID);
    };
    const auto vst3 = installedBundle(product.bundleID);
    collect(vst3 ? vst3 : legacyInstalledBundle(product.bundleID), product.bundleID);
    collect(installedAudioUnit(product.bundleID + ".au"), product.bundleID + ".au");
    collect(installedClap(product.bundleID + ".clap"), product.bundleID + ".clap");
    if (bundles.empty()) throw HalvexError::backgroundService(product.name + " is not installed.");

    RollbackArchiveUpdate next(folders_.applicationSupport / "Rollback", rollbackRecordURL(product.bundleID),
                               currentReceiptRecord(product.bundleID));
    for (const auto& [bundle, bundleID] : bundles) next.archive(bundle, bundleID);
    // The archive changes places with the previous one first, so the removal can be reverted once it
    // holds, and the previous archive comes back if it does not.
    auto items = next.items();
    for (const auto& [bundle, bundleID] : bundles)
        items.push_back(TransactionJournal::Item::removing(bundle));
    // The receipt and the hold go with the bundles; so does a staged update, which would bring it back.
    auto files = next.recordChanges();
    files.push_back({receiptURL(product.bundleID), std::nullopt});
    files.push_back({holds().file(product.productID), std::nullopt});
    auto transaction = TransactionJournal::begin(
        folders_.applicationSupport, "plugin-uninstall", items, files,
        {folders_.applicationSupport / "PendingUpdates" / platform::sha256Hex(product.productID)});
    next.handedOver();
    transaction.swapInAll("The removal");
}

}  // namespace halvex
