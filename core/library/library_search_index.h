#pragma once

// The library filter for a window that filters the same catalogue on every keystroke: each product's
// search text is folded once when the index is built, so a query only compares keys. Matches exactly what
// LibrarySearch::filter keeps. Immutable after construction: build on any thread, then share read-only.

#include <cstddef>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/library/library_scope.h"
#include "core/service/catalog.h"

namespace halvex {

class LibrarySearchIndex {
  public:
    LibrarySearchIndex() = default;
    explicit LibrarySearchIndex(const std::vector<Product>& products);

    // Positions, in catalogue order, of the products LibrarySearch::filter would keep.
    std::vector<std::size_t> filter(LibraryScope scope, const std::set<std::string>& installed,
                                    const std::optional<std::string>& category,
                                    const std::optional<std::string>& artist, const std::string& query) const;

    std::size_t size() const { return entries_.size(); }

  private:
    struct Entry {
        std::string productID;
        bool owned = false;
        bool purchased = false;
        std::string category;
        std::optional<std::string> artist;
        std::u32string searchText;
    };
    bool inScope(const Entry& entry, LibraryScope scope, const std::set<std::string>& installed) const;

    std::vector<Entry> entries_;
};

}  // namespace halvex
