#pragma once

#include <string_view>

namespace halvex {

// Well-formed UTF-8: shortest forms only, no surrogates, nothing past U+10FFFF.
bool isValidUTF8(std::string_view text);

}  // namespace halvex
