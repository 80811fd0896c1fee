#include "core/service/device_authorization.h"

namespace halvex {

DeviceAuthorization DeviceAuthorization::decode(const json::JSONObject& object) {
    return {object.required<std::string>("device_code"), object.required<std::string>("user_code"),
            object.required<Url>("verification_uri"),    object.required<Url>("verification_uri_complete"),
            object.required<std::int64_t>("expires_in"), object.required<std::int64_t>("interval")};
}

nlohmann::json DeviceAuthorization::encode() const {
    return {{"device_code", deviceCode},
            {"user_code", userCode},
            {"verification_uri", verificationURI.string()},
            {"verification_uri_complete", verificationURIComplete.string()},
            {"expires_in", expiresIn},
            {"interval", interval}};
}

DeviceToken DeviceToken::decode(const json::JSONObject& object) {
    return {object.required<std::string>("access_token"), object.required<std::string>("token_type"),
            object.required<std::int64_t>("expires_in")};
}

nlohmann::json DeviceToken::encode() const {
    return {{"access_token", accessToken}, {"token_type", tokenType}, {"expires_in", expiresIn}};
}

}  // namespace halvex
