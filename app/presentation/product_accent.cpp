#include "app/presentation/product_accent.h"

#include <array>
#include <utility>

namespace halvex::app {

namespace {

// One colour per product of the built-in discovery table, picked to stay readable on the dark shell.
constexpr std::array<std::pair<std::string_view, std::uint32_t>, 12> accentTable = {{
    {"aurora-delay", 0x7C9CFF},
    {"basalt-compressor", 0xE0A25A},
    {"cinder-drive", 0xF06A4A},
    {"drift-chorus", 0x5FD3B5},
    {"ember-synth", 0xFF8A5C},
    {"fjord-reverb", 0x6CC4F0},
    {"glacier-eq", 0x9FE3F5},
    {"harbor-limiter", 0xF2C94C},
    {"iris-filter", 0xC38BFF},
    {"juniper-keys", 0x8BD46A},
    {"kestrel-gate", 0xD9D2C5},
    {"lumen-shimmer", 0xF5A8D4},
}};

}  // namespace

std::uint32_t accentRGB(std::string_view slug) {
    for (const auto& [tableSlug, rgb] : accentTable) {
        if (tableSlug == slug) return rgb;
    }
    return defaultAccentRGB;
}

std::uint32_t accentRGB(const Product& product) {
    if (const auto rgb = product.presentation().accentRGB()) return *rgb;
    return accentRGB(product.slug);
}

}  // namespace halvex::app
