#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace halvex {

// Well-formed UTF-8: shortest forms only, no surrogates, nothing past U+10FFFF.
bool isValidUTF8(std::string_view text);

struct UTF8Character {
    char32_t codePoint = 0;
    std::size_t length = 0;  // bytes
};
// The well-formed character `text` starts with; absent when it starts with anything else (or is empty).
std::optional<UTF8Character> firstUTF8Character(std::string_view text);

}  // namespace halvex
