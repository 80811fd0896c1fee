#include "core/install/bundle_removal.h"

#include "platform/file_io.h"

namespace halvex {

BundleRemoval::BundleRemoval(const std::vector<std::filesystem::path>& items) {
    try {
        for (const auto& item : items) {
            const auto hidden = item.parent_path() / (".hvx-removed-" + platform::randomUUID());
            std::filesystem::rename(item, hidden);
            moved_.emplace_back(item, hidden);
        }
        for (const auto& [original, hidden] : moved_) platform::fsyncDirectory(original.parent_path());
    } catch (...) {
        restore();
        throw;
    }
}

BundleRemoval::~BundleRemoval() {
    if (!committed_) restore();
}

void BundleRemoval::commit() {
    committed_ = true;
    for (const auto& [original, hidden] : moved_) {
        std::error_code ignored;
        std::filesystem::remove_all(hidden, ignored);
    }
}

void BundleRemoval::restore() noexcept {
    for (auto it = moved_.rbegin(); it != moved_.rend(); ++it) {
        std::error_code ignored;
        std::filesystem::rename(it->second, it->first, ignored);
    }
    moved_.clear();
}

}  // namespace halvex
