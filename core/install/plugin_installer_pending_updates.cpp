// PluginInstaller: verified updates kept while audio hosts run, and their completion once the hosts quit.

#include <algorithm>
#include <exception>

#include "core/foundation/halvex_error.h"
#include "core/foundation/semantic_version.h"
#include "core/install/plugin_installer.h"
#include "core/install/transaction_journal.h"
#include "core/install/update_lock.h"
#include "platform/fault_injection.h"
#include "platform/file_io.h"
#include "platform/sha256.h"
#include "platform/work_names.h"

namespace halvex {

namespace {

constexpr std::size_t maximumPendingRecordBytes = 1024 * 1024;

struct PendingRecord {
    Release release;
    std::optional<std::string> previousVersion;

    static PendingRecord decode(const json::JSONObject& object) {
        return {object.required<Release>("release"), object.optional<std::string>("previousVersion")};
    }
    nlohmann::json encode() const {
        nlohmann::json object = {{"release", release.encode()}};
        json::putOptional(object, "previousVersion", previousVersion);
        return object;
    }
};

}  // namespace

std::filesystem::path PluginInstaller::pendingDirectory(const Release& release) const {
    return folders_.applicationSupport / "PendingUpdates" / platform::sha256Hex(release.productID);
}

void PluginInstaller::savePending(const Release& release, const std::filesystem::path& archive) const {
    const auto root = folders_.applicationSupport / "PendingUpdates";
    platform::createDirectories(root, 0700);
    // A newer pending update takes the older one's place in one swap: a crash leaves one of the two.
    auto item = TransactionJournal::Item::replacing(pendingDirectory(release));
    platform::WorkItems work;  // until the journal owns it
    work.add(*item.next);
    platform::createDirectory(*item.next, 0700);
    platform::copyTree(archive, *item.next / "update.zip", platform::Durability::deferred);
    const PendingRecord record{release, installedVersion(release.bundleID)};
    platform::writeFileAtomically(*item.next / "release.json", record.encode().dump(), 0600);
    auto transaction = TransactionJournal::begin(folders_.applicationSupport, "pending-save", {item});
    work.keep();
    transaction.swapInAll("Keeping the update");
}

std::vector<PluginInstaller::PendingUpdate> PluginInstaller::pendingUpdates(
    const SignedMetadataVerifier& verifier, const UnreadablePending& onUnreadable) const {
    const auto root = folders_.applicationSupport / "PendingUpdates";
    std::vector<PendingUpdate> updates;
    std::vector<std::filesystem::path> entries;
    for (const auto& name : platform::directoryEntries(root)) {
        if (!name.starts_with(".")) entries.push_back(root / name);
    }
    std::sort(entries.begin(), entries.end());
    for (const auto& entry : entries) {
        try {
            const auto record = json::decodeRecord<PendingRecord>(
                platform::readFile(entry / "release.json", maximumPendingRecordBytes));
            verify(record.release, verifier);
            if (entry.lexically_normal() != pendingDirectory(record.release).lexically_normal()) {
                throw HalvexError::invalidPackage("Invalid pending plugin update.");
            }
            updates.push_back({entry, record.release, record.previousVersion});
        } catch (const std::exception& error) {
            if (onUnreadable) onUnreadable(entry, error);
        }
    }
    return updates;
}

std::map<std::string, std::string> PluginInstaller::pendingVersions(
    const SignedMetadataVerifier& verifier) const {
    std::map<std::string, std::string> versions;
    for (const auto& update : pendingUpdates(verifier))
        versions[update.release.productID] = update.release.version;
    return versions;
}

std::vector<std::string> PluginInstaller::finishPendingUpdates(const SignedMetadataVerifier& verifier,
                                                               const std::string& hubVersion,
                                                               const UnreadablePending& onUnreadable) {
    // The folder is looked at before the hosts: the agent asks four times a second, and with nothing
    // pending the process scan would be wasted work. The answer is the same either way.
    const auto root = folders_.applicationSupport / "PendingUpdates";
    if (platform::directoryEntries(root).empty()) return {};
    if (!runningAudioApplications().empty()) return {};

    const UpdateLock lock(folders_.applicationSupport);
    recoverUnlocked();
    std::vector<std::string> installed;
    for (const auto& update : pendingUpdates(verifier, onUnreadable)) {
        const auto& release = update.release;
        // A release for a newer hub waits for the hub update; unreadable versions do not block it.
        if (SemanticVersion::isNewer(release.minimumHubVersion, hubVersion)) continue;
        // A held product keeps its version; its staged update waits for the hold to be released.
        if (holds().isHeld(release.productID)) continue;
        const auto current = installedVersion(release.bundleID);
        const bool obsolete = current && SemanticVersion::isNewer(*current, release.version) &&
                              update.previousVersion != current;
        if (obsolete || (current && isComplete(release))) {
            // Out of the listing first: half a folder would make every later listing fail.
            const auto hidden =
                platform::work::hiddenName(update.folder.parent_path(), platform::work::discard);
            platform::renamePath(update.folder, hidden);
            platform::removeTree(hidden);
            continue;
        }
        installUnlocked(release, update.folder / "update.zip", verifier, false, false);
        installed.push_back(release.name);
    }
    return installed;
}

}  // namespace halvex
