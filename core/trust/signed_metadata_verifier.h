#pragma once

// Signed release metadata: a compact ES256 token (header.payload.signature, base64url) whose payload is
// the release manifest. The algorithm is fixed; nothing in the header can change it.

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/service/catalog.h"
#include "core/foundation/json_decoding.h"
#include "platform/p256.h"

namespace halvex {

class SignedMetadataVerifier {
  public:
    explicit SignedMetadataVerifier(platform::P256PublicKey serviceKey);
    // Throws platform::CryptoError when the PEM is no P-256 public key.
    static SignedMetadataVerifier fromPEM(std::string_view pem);

    // The payload bytes of a token whose ES256 signature verifies; HalvexError::invalidSignature otherwise.
    std::string verifyReleaseManifest(std::string_view token) const;
    // The service key's bytes, telling verifiers with different keys apart.
    std::string keyIdentity() const { return serviceKey_.x963(); }

  private:
    platform::P256PublicKey serviceKey_;
};

struct Manifest {
    std::int64_t schema = 0;
    std::string releaseID;
    std::string productID;
    std::string bundleID;
    std::string version;
    std::string platform;
    std::vector<std::string> architectures;
    std::string minimumOS;
    std::int64_t sizeBytes = 0;
    std::string sha256;
    std::optional<AudioUnitIdentity> audioUnit;
    std::optional<ClapIdentity> clap;
    std::optional<bool> vst3;

    static Manifest decode(const json::JSONObject& object);
};

// The lenient reading of a minimum operating-system version: numeric pieces kept, missing ones 0.
bool minimumSystemVersionExceeds(std::string_view minimum, std::string_view system);

}  // namespace halvex
