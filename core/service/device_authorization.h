#pragma once

// The records of the browser sign-in: the pending authorization and the token that ends it.

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "core/foundation/json_decoding.h"
#include "core/foundation/url.h"

namespace halvex {

struct DeviceAuthorization {
    std::string deviceCode;
    std::string userCode;
    Url verificationURI;
    Url verificationURIComplete;
    std::int64_t expiresIn = 0;
    std::int64_t interval = 0;

    static DeviceAuthorization decode(const json::JSONObject& object);
    nlohmann::json encode() const;
};

struct DeviceToken {
    std::string accessToken;
    std::string tokenType;
    std::int64_t expiresIn = 0;

    static DeviceToken decode(const json::JSONObject& object);
    nlohmann::json encode() const;
};

}  // namespace halvex
