#pragma once

// A product's storefront texts.

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/foundation/json_decoding.h"

namespace halvex {

struct ProductDiscovery {
    std::string category;
    std::string tagline;
    std::string overview;
    std::vector<std::string> features;
    std::optional<std::string> artist;
    std::optional<std::string> accent;

    // 0xRRGGBB from an accent of exactly "#" and six hexadecimal digits; absent otherwise.
    std::optional<std::uint32_t> accentRGB() const;
    // The built-in texts for a slug, or the fallback record for any slug not in the table.
    static const ProductDiscovery& bundled(std::string_view slug);
    // The slugs of the built-in table, in table order.
    static std::vector<std::string_view> bundledSlugs();

    bool operator==(const ProductDiscovery&) const = default;

    static ProductDiscovery decode(const json::JSONObject& object);
    nlohmann::json encode() const;
};

}  // namespace halvex
