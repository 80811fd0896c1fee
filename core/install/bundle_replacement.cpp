#include "core/install/bundle_replacement.h"

#include <exception>
#include <system_error>

#include "core/install/rollback_archive.h"
#include "platform/file_io.h"

namespace halvex {

void BundleReplacement::install(const std::vector<Item>& items, const Validate& validate,
                                const Journal& journal) {
    if (items.empty()) return;
    std::vector<TransactionJournal::Item> staged;
    // Until the journal owns them, the hidden copies go on every way out.
    struct CleanUp {
        std::vector<TransactionJournal::Item>& staged;
        bool armed = true;
        ~CleanUp() {
            if (!armed) return;
            for (const auto& item : staged) {
                std::error_code ignored;
                std::filesystem::remove_all(*item.next, ignored);
            }
        }
    } cleanUp{staged};

    for (const auto& item : items) {
        const auto uuid = platform::randomUUID();
        const auto folder = item.destination.parent_path();
        staged.push_back(
            {item.destination, folder / (".hvx-next-" + uuid), folder / (".hvx-rollback-" + uuid), {}});
        platform::moveOrCopyTree(item.candidate, *staged.back().next);
    }
    auto transactionItems =
        journal.archive ? journal.archive->items() : std::vector<TransactionJournal::Item>{};
    const auto archived = transactionItems.size();
    transactionItems.insert(transactionItems.end(), staged.begin(), staged.end());
    auto files = journal.files;
    if (journal.archive) {
        const auto changes = journal.archive->recordChanges();
        files.insert(files.end(), changes.begin(), changes.end());
    }
    auto transaction = TransactionJournal::begin(journal.applicationSupport, "plugin-install",
                                                 transactionItems, files, journal.discards);
    cleanUp.armed = false;
    if (journal.archive) journal.archive->handedOver();

    for (std::size_t index = 0; index < transactionItems.size(); ++index) {
        try {
            transaction.swapIn(index);
            if (index >= archived) validate(index - archived, items[index - archived].destination);
            transaction.markSwapped(index);
        } catch (...) {
            std::exception_ptr failure = std::current_exception();
            try {
                transaction.rollBack();
            } catch (...) {
                failure = std::current_exception();
            }
            std::rethrow_exception(failure);
        }
    }
    transaction.commit();
}

}  // namespace halvex
