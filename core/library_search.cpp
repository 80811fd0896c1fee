#include "core/library_search.h"

#include <unicode/coll.h>
#include <unicode/stsearch.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/usearch.h>
#include <unicode/utf8.h>

#include <memory>
#include <string_view>

namespace halvex {

namespace {

// The user's locale; the POSIX ("C") locale's collation orders case as a primary difference, so the
// root collation stands in for it.
icu::Locale searchLocale() {
    const icu::Locale locale = icu::Locale::getDefault();
    if (std::string_view(locale.getVariant()) == "POSIX" || std::string_view(locale.getLanguage()).empty()) {
        return icu::Locale::getRoot();
    }
    return locale;
}

// One term's search pattern, compiled once per filter call. Primary strength ignores case and
// diacritics; the collator's locale is the user's.
class TermMatcher {
  public:
    explicit TermMatcher(const std::string& term) : pattern_(icu::UnicodeString::fromUTF8(term)) {
        UErrorCode status = U_ZERO_ERROR;
        collator_.reset(icu::Collator::createInstance(searchLocale(), status));
        if (U_FAILURE(status) || !collator_) return;
        collator_->setStrength(icu::Collator::PRIMARY);
        const icu::UnicodeString placeholder(static_cast<UChar>(' '));
        search_ = std::make_unique<icu::StringSearch>(
            pattern_, placeholder, dynamic_cast<icu::RuleBasedCollator*>(collator_.get()), nullptr, status);
        if (U_FAILURE(status)) search_.reset();
    }

    bool occursIn(const icu::UnicodeString& text) {
        if (!search_) return text.indexOf(pattern_) >= 0;
        UErrorCode status = U_ZERO_ERROR;
        search_->setText(text, status);
        if (U_FAILURE(status)) return false;
        const int32_t found = search_->first(status);
        return U_SUCCESS(status) && found != USEARCH_DONE;
    }

  private:
    icu::UnicodeString pattern_;
    std::unique_ptr<icu::Collator> collator_;
    std::unique_ptr<icu::StringSearch> search_;
};

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
    std::vector<TermMatcher> matchers;
    for (const auto& term : terms(query)) matchers.emplace_back(term);

    std::vector<Product> kept;
    // Reused across products: the joined text is the only per-product work memory.
    std::string joined;
    icu::UnicodeString searchText;
    for (const auto& product : products) {
        if (!includes(scope, product, installed)) continue;
        const auto& presentation = product.presentation();
        if (category && presentation.category != *category) continue;
        if (artist && presentation.artist != *artist) continue;
        if (!matchers.empty()) {
            joined.assign(product.name).append(" ").append(presentation.category).append(" ");
            joined.append(presentation.tagline).append(" ").append(presentation.artist.value_or(""));
            searchText = icu::UnicodeString::fromUTF8(joined);
            bool all = true;
            for (auto& matcher : matchers) {
                if (!matcher.occursIn(searchText)) {
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
