#include "core/install/bundle_replacement.h"

#include <exception>
#include <system_error>

#include "core/install/rollback_archive.h"
#include "platform/file_io.h"

namespace halvex {

void BundleReplacement::install(const std::vector<Item>& items, const Validate& validate,
                                const Journal& journal) {
    if (items.empty()) return;
    // The rollback archive changes places with the old one first; the bundles follow, each validated.
    auto transactionItems =
        journal.archive ? journal.archive->items() : std::vector<TransactionJournal::Item>{};
    const auto archived = transactionItems.size();
    platform::WorkItems copies;  // until the journal owns them
    for (const auto& item : items) {
        transactionItems.push_back(TransactionJournal::Item::replacing(item.destination));
        copies.add(*transactionItems.back().next);
        platform::moveOrCopyTree(item.candidate, *transactionItems.back().next);
    }
    auto files = journal.files;
    if (journal.archive) {
        const auto changes = journal.archive->recordChanges();
        files.insert(files.end(), changes.begin(), changes.end());
    }
    auto transaction = TransactionJournal::begin(journal.applicationSupport, "plugin-install",
                                                 transactionItems, files, journal.discards);
    copies.keep();
    if (journal.archive) journal.archive->handedOver();
    transaction.swapInAll("The installation", [&](std::size_t index) {
        if (index >= archived) validate(index - archived, items[index - archived].destination);
    });
}

}  // namespace halvex
