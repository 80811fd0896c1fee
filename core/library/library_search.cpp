#include "core/library/library_search.h"

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <string_view>

namespace halvex {

namespace {

// The primary-strength search key of UTF-8 text: canonical decomposition with the combining marks
// dropped, then case folding — what a collator at primary strength compares on Latin text, at a fraction
// of its cost (the filter runs on every keystroke over the whole catalogue). Appends to `key`, whose
// capacity is reused from product to product.
void appendSearchKey(std::string_view text, std::u32string& key) {
    UErrorCode status = U_ZERO_ERROR;
    static const icu::Normalizer2* decomposer = icu::Normalizer2::getNFDInstance(status);
    const auto append = [&key](UChar32 codePoint) {
        if (u_getCombiningClass(codePoint) != 0 || u_charType(codePoint) == U_NON_SPACING_MARK) return;
        key.push_back(static_cast<char32_t>(u_foldCase(codePoint, U_FOLD_CASE_DEFAULT)));
    };
    int32_t index = 0;
    const auto length = static_cast<int32_t>(text.size());
    icu::UnicodeString decomposition;
    while (index < length) {
        UChar32 codePoint = 0;
        U8_NEXT(text.data(), index, length, codePoint);
        if (codePoint < 0) codePoint = 0xFFFD;
        if (codePoint < 0x80) {
            key.push_back(
                static_cast<char32_t>(codePoint >= 'A' && codePoint <= 'Z' ? codePoint + 32 : codePoint));
        } else if (decomposer != nullptr && decomposer->getDecomposition(codePoint, decomposition)) {
            for (int32_t at = 0; at < decomposition.length(); at = decomposition.moveIndex32(at, 1)) {
                append(decomposition.char32At(at));
            }
        } else {
            append(codePoint);
        }
    }
}

std::u32string searchKey(std::string_view text) {
    std::u32string key;
    appendSearchKey(text, key);
    return key;
}

}  // namespace

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
            for (const std::string_view part :
                 {std::string_view(product.name), std::string_view(presentation.category),
                  std::string_view(presentation.tagline),
                  presentation.artist ? std::string_view(*presentation.artist) : std::string_view()}) {
                appendSearchKey(part, searchText);
                searchText.push_back(U' ');
            }
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
