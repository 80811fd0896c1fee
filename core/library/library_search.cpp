#include "core/library/library_search.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <string_view>

#include "core/library/search_key.h"

namespace halvex {

std::vector<std::string> LibrarySearch::terms(const std::string& query) {
    std::vector<std::string> result;
    std::string current;
    int32_t index = 0;
    const auto length = static_cast<int32_t>(query.size());
    while (index < length) {
        const int32_t start = index;
        UChar32 codePoint = 0;
        U8_NEXT(query.data(), index, length, codePoint);
        if (codePoint >= 0 && u_isUWhiteSpace(codePoint)) {
            if (!current.empty()) result.push_back(std::move(current));
            current.clear();
        } else {
            current.append(query, static_cast<std::size_t>(start), static_cast<std::size_t>(index - start));
        }
    }
    if (!current.empty()) result.push_back(std::move(current));
    return result;
}

void LibrarySearch::appendSearchText(const Product& product, std::u32string& text) {
    const auto& presentation = product.presentation();
    for (const std::string_view part :
         {std::string_view(product.name), std::string_view(presentation.category),
          std::string_view(presentation.tagline),
          presentation.artist ? std::string_view(*presentation.artist) : std::string_view()}) {
        appendSearchKey(part, text);
        text.push_back(U' ');
    }
}

std::vector<Product> LibrarySearch::filter(const std::vector<Product>& products, LibraryScope scope,
                                           const std::set<std::string>& installed,
                                           const std::optional<std::string>& category,
                                           const std::optional<std::string>& artist,
                                           const std::string& query) {
    std::vector<std::u32string> keys;
    for (const auto& term : terms(query)) keys.push_back(searchKey(term));

    std::vector<Product> kept;
    // Reused across products: the joined search text is the only per-product work memory.
    std::u32string searchText;
    for (const auto& product : products) {
        if (!includes(scope, product, installed)) continue;
        const auto& presentation = product.presentation();
        if (category && presentation.category != *category) continue;
        if (artist && presentation.artist != *artist) continue;
        if (!keys.empty()) {
            searchText.clear();
            appendSearchText(product, searchText);
            bool all = true;
            for (const auto& key : keys) {
                if (searchText.find(key) == std::u32string::npos) {
                    all = false;
                    break;
                }
            }
            if (!all) continue;
        }
        kept.push_back(product);
    }
    return kept;
}

}  // namespace halvex
