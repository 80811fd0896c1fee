// PluginInstaller: recovery of transactions a crash cut short, and removal of the work files they left.

#include "core/foundation/halvex_error.h"
#include "core/install/plugin_installer.h"
#include "core/install/recovery_folders.h"
#include "core/install/transaction_journal.h"
#include "core/install/update_lock.h"
#include "platform/work_names.h"

namespace halvex {

bool PluginInstaller::recoverInterruptedWork() {
    try {
        const UpdateLock lock(folders_.applicationSupport);
        recoverUnlocked();
        return true;
    } catch (const HalvexError& error) {
        if (error.kind() != HalvexError::Case::updateInProgress) throw;
        return false;
    }
}

void PluginInstaller::recoverUnlocked() const {
    TransactionJournal::recoverAll(
        folders_.applicationSupport,
        recoveryScope({folders_.applicationSupport, folders_.pluginDirectory, folders_.audioUnitDirectory,
                       folders_.clapDirectory, folders_.legacyVST3Directory}));
    removeAbandonedTemporaryFiles(folders_.applicationSupport);
    // With every journal settled, no live transaction owns any of these names.
    for (const auto& folder : {folders_.pluginDirectory, folders_.audioUnitDirectory, folders_.clapDirectory,
                               folders_.legacyVST3Directory}) {
        if (!folder.empty()) platform::work::sweep(folder, platform::work::swapPrefixes);
    }
    const auto& support = folders_.applicationSupport;
    platform::work::sweepAll(support / "Staging");
    for (const auto& folder : {support / "Rollback", support / "Rollback" / "Hub", support / "PendingUpdates",
                               support / "Downloads"}) {
        platform::work::sweepHidden(folder);
    }
}

}  // namespace halvex
