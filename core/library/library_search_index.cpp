#include "core/library/library_search_index.h"

#include <algorithm>

#include "core/library/library_search.h"
#include "core/library/search_key.h"

namespace halvex {

LibrarySearchIndex::LibrarySearchIndex(const std::vector<Product>& products) {
    entries_.reserve(products.size());
    for (const auto& product : products) {
        Entry entry{product.productID,
                    product.owned,
                    product.isPurchased(),
                    product.presentation().category,
                    product.presentation().artist,
                    {}};
        LibrarySearch::appendSearchText(product, entry.searchText);
        entry.searchText.shrink_to_fit();
        entries_.push_back(std::move(entry));
    }
}

bool LibrarySearchIndex::inScope(const Entry& entry, LibraryScope scope,
                                 const std::set<std::string>& installed) const {
    switch (scope) {
        case LibraryScope::all:
            return true;
        case LibraryScope::access:
            return entry.owned;
        case LibraryScope::purchased:
            return entry.purchased;
        case LibraryScope::installed:
            return installed.contains(entry.productID);
        case LibraryScope::discover:
            return !entry.owned;
    }
    return false;
}

std::vector<std::size_t> LibrarySearchIndex::filter(LibraryScope scope,
                                                    const std::set<std::string>& installed,
                                                    const std::optional<std::string>& category,
                                                    const std::optional<std::string>& artist,
                                                    const std::string& query) const {
    std::vector<std::u32string> keys;
    for (const auto& term : LibrarySearch::terms(query)) keys.push_back(searchKey(term));

    std::vector<std::size_t> kept;
    for (std::size_t position = 0; position < entries_.size(); ++position) {
        const auto& entry = entries_[position];
        if (!inScope(entry, scope, installed)) continue;
        if (category && entry.category != *category) continue;
        if (artist && entry.artist != *artist) continue;
        const bool all = std::all_of(keys.begin(), keys.end(), [&entry](const std::u32string& key) {
            return entry.searchText.find(key) != std::u32string::npos;
        });
        if (all) kept.push_back(position);
    }
    return kept;
}

}  // namespace halvex
