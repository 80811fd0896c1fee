#pragma once

// The library's filter: scope, optional category and artist, and a free-text query whose every term must
// occur (case- and diacritic-insensitive, locale-aware) in a product's name, category, tagline or artist.
// Stateless; any thread.

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/library/library_scope.h"
#include "core/service/catalog.h"

namespace halvex {

struct LibrarySearch {
    // The matching products in catalogue order.
    static std::vector<Product> filter(const std::vector<Product>& products, LibraryScope scope,
                                       const std::set<std::string>& installed,
                                       const std::optional<std::string>& category,
                                       const std::optional<std::string>& artist, const std::string& query);
    // The query's terms, split at every Unicode white-space character.
    static std::vector<std::string> terms(const std::string& query);
    // Appends the search key of a product's name, category, tagline and artist, each followed by a space.
    static void appendSearchText(const Product& product, std::u32string& text);
};

}  // namespace halvex
