#include "core/service/hub_release.h"

namespace halvex {

HubRelease HubRelease::decode(const json::JSONObject& object) {
    return {
        object.required<std::string>("release_id"),
        object.required<std::string>("version"),
        object.required<std::string>("platform"),
        object.required<std::vector<std::string>>("architectures"),
        object.required<std::string>("minimum_os"),
        object.required<std::int64_t>("size_bytes"),
        object.required<std::string>("sha256"),
        object.required<std::string>("release_notes"),
        object.required<std::string>("manifest"),
        object.required<Url>("download_url"),
        object.required<std::int64_t>("published_at"),
    };
}

nlohmann::json HubRelease::encode() const {
    return {{"release_id", releaseID},    {"version", version},
            {"platform", platform},       {"architectures", architectures},
            {"minimum_os", minimumOS},    {"size_bytes", sizeBytes},
            {"sha256", sha256},           {"release_notes", releaseNotes},
            {"manifest", manifest},       {"download_url", downloadURL.string()},
            {"published_at", publishedAt}};
}

}  // namespace halvex
