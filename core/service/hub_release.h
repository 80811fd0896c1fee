#pragma once

// The latest release of the hub application itself, as the service announces it.

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "core/foundation/json_decoding.h"
#include "core/foundation/url.h"

namespace halvex {

struct HubRelease {
    std::string releaseID;
    std::string version;
    std::string platform;
    std::vector<std::string> architectures;
    std::string minimumOS;
    std::int64_t sizeBytes = 0;
    std::string sha256;
    std::string releaseNotes;
    std::string manifest;
    Url downloadURL;
    std::int64_t publishedAt = 0;

    const std::string& id() const { return releaseID; }

    bool operator==(const HubRelease&) const = default;
    static HubRelease decode(const json::JSONObject& object);
    nlohmann::json encode() const;
};

}  // namespace halvex
