#include "core/product_discovery.h"

namespace halvex {

ProductDiscovery ProductDiscovery::decode(const json::JSONObject& object) {
    return {
        object.required<std::string>("category"), object.required<std::string>("tagline"),
        object.required<std::string>("overview"), object.required<std::vector<std::string>>("features"),
        object.optional<std::string>("artist"),   object.optional<std::string>("accent"),
    };
}

nlohmann::json ProductDiscovery::encode() const {
    nlohmann::json object = {
        {"category", category}, {"tagline", tagline}, {"overview", overview}, {"features", features}};
    json::putOptional(object, "artist", artist);
    json::putOptional(object, "accent", accent);
    return object;
}

}  // namespace halvex
