#include "core/foundation/utf8.h"

#include <cstdint>

namespace halvex {

std::optional<UTF8Character> firstUTF8Character(std::string_view text) {
    if (text.empty()) return std::nullopt;
    const auto lead = static_cast<unsigned char>(text.front());
    std::size_t length = 0;
    std::uint32_t codePoint = 0;
    if (lead < 0x80) {
        length = 1;
        codePoint = lead;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2;
        codePoint = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        codePoint = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        codePoint = lead & 0x07;
    } else {
        return std::nullopt;
    }
    if (length > text.size()) return std::nullopt;
    for (std::size_t next = 1; next < length; ++next) {
        const auto byte = static_cast<unsigned char>(text[next]);
        if ((byte & 0xC0) != 0x80) return std::nullopt;
        codePoint = (codePoint << 6) | (byte & 0x3F);
    }
    static constexpr std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (codePoint < smallest[length] || codePoint > 0x10FFFF ||
        (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
        return std::nullopt;
    }
    return UTF8Character{static_cast<char32_t>(codePoint), length};
}

bool isValidUTF8(std::string_view text) {
    while (!text.empty()) {
        const auto character = firstUTF8Character(text);
        if (!character) return false;
        text.remove_prefix(character->length);
    }
    return true;
}

}  // namespace halvex
