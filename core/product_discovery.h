#pragma once

// A product's storefront texts.

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "core/json_decoding.h"

namespace halvex {

struct ProductDiscovery {
    std::string category;
    std::string tagline;
    std::string overview;
    std::vector<std::string> features;
    std::optional<std::string> artist;
    std::optional<std::string> accent;

    bool operator==(const ProductDiscovery&) const = default;

    static ProductDiscovery decode(const json::JSONObject& object);
    nlohmann::json encode() const;
};

}  // namespace halvex
