#pragma once

// Moves a set of verified bundles onto their destinations as one transaction. Every candidate is first
// moved beside its destination under a hidden name (copied when it lies on another file system, so a
// candidate may be gone afterwards: candidates come from staging folders), then the new copies are swapped
// in one by one, each validated right after its swap; any failure puts every touched destination back. All
// moves are renames inside each destination's own folder. With a journal folder the transaction is
// journalled (TransactionJournal), so a crash at any point is finished or undone by the next recovery. The
// caller holds the update lock.

#include <filesystem>
#include <functional>
#include <vector>

#include "core/install/transaction_journal.h"

namespace halvex {

class RollbackArchiveUpdate;

struct BundleReplacement {
    struct Item {
        std::filesystem::path candidate;
        std::filesystem::path destination;
    };
    using Validate = std::function<void(std::size_t index, const std::filesystem::path& installed)>;
    struct Journal {
        std::filesystem::path applicationSupport;  // empty: not journalled
        std::vector<TransactionJournal::FileChange> files;
        std::vector<std::filesystem::path> discards;  // removed once the transaction is committed
        // The rollback archive of the replaced bundles: it takes the old archive's place in the same
        // transaction, ahead of the bundles.
        RollbackArchiveUpdate* archive;  // brace-initialised: null unless given
    };

    // On return every destination holds its candidate's content and no backup remains. On failure every
    // touched destination holds what it held before (unless restoring failed; that error is thrown then,
    // and recovery finishes the restore).
    static void install(const std::vector<Item>& items, const Validate& validate,
                        const Journal& journal = {});
};

}  // namespace halvex
