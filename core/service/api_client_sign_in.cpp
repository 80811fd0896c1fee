// The browser sign-in operations of APIClient: the device key, the start of an authorization and the
// polling that ends it.

#include <chrono>

#include "core/foundation/halvex_error.h"
#include "core/foundation/interruptible_sleep.h"
#include "core/service/api_client.h"
#include "platform/base64.h"

namespace halvex {

namespace {

// Bounds that keep clock arithmetic far from overflow whatever the service sends.
constexpr std::int64_t longestAuthorizationSeconds = 1'000'000'000;
constexpr std::int64_t longestPollIntervalSeconds = 3600;

}  // namespace

platform::P256PrivateKey APIClient::devicePrivateKey() const {
    if (const auto stored = keychain_.read(privateKeyAccount))
        return platform::P256PrivateKey::fromRawScalar(*stored);
    auto key = platform::P256PrivateKey::generateCompactRepresentable();
    keychain_.write(key.rawScalar(), privateKeyAccount);
    return key;
}

std::string APIClient::deviceProof(const platform::P256PrivateKey& key, std::string_view deviceCode) {
    return key.sign("halvex-device-token:" + std::string(deviceCode));
}

DeviceAuthorization APIClient::beginAuthorization(const std::string& deviceName, std::stop_token stop) const {
    const auto key = devicePrivateKey();
    const nlohmann::json body = {{"device_name", deviceName},
                                 {"platform", "macos"},
                                 {"public_key_x963_b64", platform::base64Encode(key.publicKey().x963())}};
    auto authorization = response<DeviceAuthorization>(jsonPost("/v1/device/authorizations", body), stop);
    // Both addresses reach the user as pages to open; neither may lead anywhere but a web page.
    if (!authorization.verificationURI.isBrowserAddress() ||
        !authorization.verificationURIComplete.isBrowserAddress()) {
        throw HalvexError::unsafeSignInAddress();
    }
    return authorization;
}

DeviceToken APIClient::waitForAuthorization(const DeviceAuthorization& authorization,
                                            std::stop_token stop) const {
    const auto deadline =
        std::chrono::system_clock::now() +
        std::chrono::seconds(std::min(authorization.expiresIn, longestAuthorizationSeconds));
    const auto interval =
        std::chrono::seconds(std::clamp<std::int64_t>(authorization.interval, 1, longestPollIntervalSeconds));
    const auto key = devicePrivateKey();
    const nlohmann::json body = {
        {"device_code", authorization.deviceCode},
        {"device_proof_b64", platform::base64Encode(deviceProof(key, authorization.deviceCode))}};

    while (true) {
        if (std::chrono::system_clock::now() >= deadline) throw HalvexError::authorizationExpired();
        const auto answer = exchange(jsonPost("/v1/device/token", body), stop);
        if (answer.head.status == 200) {
            auto token = json::decodeRecord<DeviceToken>(answer.body);
            keychain_.write(token.accessToken, credentialAccount);
            return token;
        }
        if (answer.head.status != 428) throw serverError(answer.head, answer.body);
        sleepFor(interval, stop);
    }
}

}  // namespace halvex
