#include "core/install/rollback_archive.h"

#include "core/foundation/halvex_error.h"
#include "platform/fault_injection.h"
#include "platform/file_io.h"
#include "platform/work_names.h"
#include "platform/zip_archive.h"

namespace halvex {

void requireSafeArchiveName(const std::string& bundleID) {
    const bool safe = !bundleID.empty() && bundleID.front() != '.' && bundleID.size() <= 250 &&
                      bundleID.find_first_not_of(
                          "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                          "0123456789.-_") == std::string::npos;
    if (!safe)
        throw HalvexError::invalidPackage("The plugin identity or version does not match this release.");
}

void writeRollbackArchive(const std::filesystem::path& bundle, const std::filesystem::path& zip) {
    const auto work = platform::work::hiddenName(zip.parent_path(), platform::work::next, ".zip");
    try {
        platform::faultPoint(platform::FileOperation::write, work);
        platform::createZip({bundle}, work);
        platform::syncTree(work);
        platform::renamePath(work, zip);
        platform::fsyncDirectory(zip.parent_path());
    } catch (const platform::ArchiveError& error) {
        platform::removeTreeQuietly(work);
        throw HalvexError::invalidPackage("Update tool failed: " + std::string(error.what()));
    } catch (...) {
        platform::removeTreeQuietly(work);
        throw;
    }
}

RollbackArchiveUpdate::RollbackArchiveUpdate(std::filesystem::path folder, std::filesystem::path recordFile,
                                             std::optional<std::string> record)
    : folder_(std::move(folder)), recordFile_(std::move(recordFile)), record_(std::move(record)) {}

RollbackArchiveUpdate::~RollbackArchiveUpdate() {
    for (const auto& item : items_) platform::removeTreeQuietly(*item.next);
}

void RollbackArchiveUpdate::archive(const std::filesystem::path& bundle, const std::string& bundleID) {
    requireSafeArchiveName(bundleID);
    platform::createDirectories(folder_, 0700);
    auto item = TransactionJournal::Item::replacing(folder_ / (bundleID + ".zip"));
    try {
        writeRollbackArchive(bundle, *item.next);
    } catch (...) {
        platform::removeTreeQuietly(*item.next);  // renamed already when only the folder's sync failed
        throw;
    }
    items_.push_back(std::move(item));
}

std::vector<TransactionJournal::Item> RollbackArchiveUpdate::items() const {
    return items_;
}

std::vector<TransactionJournal::FileChange> RollbackArchiveUpdate::recordChanges() const {
    if (items_.empty()) return {};
    return {{recordFile_, record_}};
}

}  // namespace halvex
