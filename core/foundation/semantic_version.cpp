#include "core/foundation/semantic_version.h"

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

#include <array>
#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace halvex {

namespace {

// A text identifier is kept in canonically composed form, so equality and code point order of the
// stored UTF-8 are the canonical comparisons.
struct Identifier {
    std::variant<std::int64_t, std::string> value;  // numeric before text, in that order

    auto operator<=>(const Identifier&) const = default;
};

struct Parsed {
    std::array<std::int64_t, 3> core{};
    std::optional<std::vector<Identifier>> preRelease;
};

std::vector<std::string_view> splitAll(std::string_view text, char separator) {
    std::vector<std::string_view> pieces;
    while (true) {
        const auto position = text.find(separator);
        pieces.push_back(text.substr(0, position));
        if (position == std::string_view::npos) return pieces;
        text.remove_prefix(position + 1);
    }
}

// Optional sign, then one or more ASCII digits, within the signed 64-bit range.
std::optional<std::int64_t> readInteger(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    for (const char character : text) {
        if (character < '0' || character > '9') return std::nullopt;
    }
    // Parsing the digits with their sign keeps INT64_MIN reachable and rejects anything past the range.
    std::string digits = negative ? "-" + std::string(text) : std::string(text);
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    return value;
}

std::string canonicallyComposed(std::string_view text) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status) || nfc == nullptr) return std::string(text);
    const auto source =
        icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    icu::UnicodeString composed = nfc->normalize(source, status);
    if (U_FAILURE(status)) return std::string(text);
    std::string result;
    composed.toUTF8String(result);
    return result;
}

std::optional<Parsed> parse(std::string_view text) {
    const std::string_view used = text.substr(0, text.find('+'));
    const auto dash = used.find('-');
    const std::string_view coreText = used.substr(0, dash);

    const auto corePieces = splitAll(coreText, '.');
    if (corePieces.size() != 3) return std::nullopt;
    Parsed parsed;
    for (std::size_t index = 0; index < 3; ++index) {
        const auto number = readInteger(corePieces[index]);
        if (!number || *number < 0) return std::nullopt;
        parsed.core[index] = *number;
    }
    if (dash == std::string_view::npos) return parsed;

    std::vector<Identifier> identifiers;
    for (const auto piece : splitAll(used.substr(dash + 1), '.')) {
        if (piece.empty()) return std::nullopt;
        auto& identifier = identifiers.emplace_back();
        if (const auto number = readInteger(piece)) {
            identifier.value.emplace<std::int64_t>(*number);
        } else {
            identifier.value.emplace<std::string>(canonicallyComposed(piece));
        }
    }
    parsed.preRelease = std::move(identifiers);
    return parsed;
}

bool isNewer(const Parsed& candidate, const Parsed& reference) {
    if (candidate.core != reference.core) return reference.core < candidate.core;
    if (!reference.preRelease) return false;
    if (!candidate.preRelease) return true;
    // Lexicographic comparison makes the longer list newer when one is a prefix of the other.
    return *reference.preRelease < *candidate.preRelease;
}

}  // namespace

bool SemanticVersion::isNewer(std::string_view candidate, std::string_view reference) {
    const auto parsedCandidate = parse(candidate);
    const auto parsedReference = parse(reference);
    if (!parsedCandidate || !parsedReference) return false;
    return halvex::isNewer(*parsedCandidate, *parsedReference);
}

}  // namespace halvex
