#pragma once

// The only version comparison of the system: Semantic Versioning precedence with a permissive grammar
// (leading zeros, signed numeric identifiers, any characters in text identifiers, ignored build
// metadata). Pure and thread-safe.

#include <string_view>

namespace halvex {

struct SemanticVersion {
    // True exactly when both strings parse and `candidate` orders strictly after `reference`.
    // An unparseable string on either side gives false; nothing is thrown.
    static bool isNewer(std::string_view candidate, std::string_view reference);
};

}  // namespace halvex
