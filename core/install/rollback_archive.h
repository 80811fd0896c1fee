#pragma once

// The ZIPs of bundles a transaction is about to replace, kept so that the replaced version can come back
// (revert) or be recovered by hand. Any thread may call these; callers serialise changes of one product's
// archive through the update lock.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/install/transaction_journal.h"

namespace halvex {

// Writes a durable ZIP of `bundle` (its own folder at the top) to `zip`, replacing an older archive there:
// the archive is written under a hidden name, synced, renamed, and its folder synced, so a failure never
// leaves half an archive and a crash never leaves an empty one. Archive failures are
// HalvexError::invalidPackage("Update tool failed: " + reason); file-system errors as they are.
void writeRollbackArchive(const std::filesystem::path& bundle, const std::filesystem::path& zip);

// Bundle identifiers name the archives; one that could leave the folder is refused (invalidPackage).
void requireSafeArchiveName(const std::string& bundleID);

// The next rollback archive of one product: a ZIP per replaced bundle (<folder>/<bundle id>.zip) and the
// record of the release they came from. The ZIPs are written durably under hidden names beside the ones
// they replace and change places with them as items of the caller's transaction, ahead of its bundles; the
// record is one of its file changes. So the old archive stays until the transaction commits, comes back
// when it rolls back, and the new one is on disk before any bundle is removed. Hidden ZIPs the caller did
// not hand to a journal are removed on every way out.
class RollbackArchiveUpdate {
  public:
    // `record` describes the release of the bundles about to be archived; without one the record file is
    // removed, so that nothing pairs the new ZIPs with an older release's description.
    RollbackArchiveUpdate(std::filesystem::path folder, std::filesystem::path recordFile,
                          std::optional<std::string> record);
    RollbackArchiveUpdate(const RollbackArchiveUpdate&) = delete;
    RollbackArchiveUpdate& operator=(const RollbackArchiveUpdate&) = delete;
    ~RollbackArchiveUpdate();

    // Archives `bundle` as the next <bundleID>.zip. The identifier must be safe as a file name.
    void archive(const std::filesystem::path& bundle, const std::string& bundleID);

    // The transaction's items (one per archived bundle) and its change of the record file (none when
    // nothing was archived). Once they are given to TransactionJournal::begin, the journal owns the hidden
    // ZIPs: call handedOver().
    std::vector<TransactionJournal::Item> items() const;
    std::vector<TransactionJournal::FileChange> recordChanges() const;
    void handedOver() { items_.clear(); }

  private:
    std::filesystem::path folder_;
    std::filesystem::path recordFile_;
    std::optional<std::string> record_;
    std::vector<TransactionJournal::Item> items_;
};

}  // namespace halvex
