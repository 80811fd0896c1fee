#include "core/library/search_key.h"

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

namespace halvex {

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

}  // namespace halvex
