#pragma once

// Signed release metadata: a compact ES256 token (header.payload.signature, base64url) whose payload is
// the release manifest. The algorithm is fixed; nothing in the header can change it.

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/foundation/json_decoding.h"
#include "core/service/catalog.h"
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

// A delta the service offers beside the full archive: applied to the installed version `fromVersion`, whose
// manifest payload has the digest `fromManifestSHA256`, it builds this release's bundles.
struct ManifestDelta {
    std::string fromVersion;
    std::string fromManifestSHA256;
    // A URI reference, resolved against the full archive's download address: a manifest signed before the
    // service's address is known can still name its deltas.
    std::string url;
    std::int64_t sizeBytes = 0;
    std::string sha256;

    bool operator==(const ManifestDelta&) const = default;
    static ManifestDelta decode(const json::JSONObject& object);

    // Where the delta of a release downloaded from `downloadURL` lies; absent when `url` does not resolve.
    std::optional<Url> location(const Url& downloadURL) const;
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
    std::vector<ManifestDelta> deltas;  // none when the manifest lists none

    static constexpr std::size_t maximumDeltas = 64;

    static Manifest decode(const json::JSONObject& object);

    // What a delta's fromManifestSHA256 names: the SHA-256 (lower-case hex) of the exact payload bytes a
    // release's token signs, as verifyReleaseManifest returns them.
    static std::string payloadDigest(std::string_view payload);

    // Whether this manifest describes the download of `release` (a plugin or a hub release): schema 1 and
    // the same release, version, platform, architectures (in any order), minimum system, size and digest.
    // Each caller adds the identity fields of its own kind of release.
    template <typename Release>
    bool describes(const Release& release) const {
        return schema == 1 && releaseID == release.releaseID && version == release.version &&
               platform == release.platform && sameArchitectures(release.architectures) &&
               minimumOS == release.minimumOS && sizeBytes == release.sizeBytes && sha256 == release.sha256;
    }

  private:
    bool sameArchitectures(const std::vector<std::string>& others) const;
};

// The lenient reading of a minimum operating-system version: numeric pieces kept, missing ones 0.
bool minimumSystemVersionExceeds(std::string_view minimum, std::string_view system);

}  // namespace halvex
