#pragma once

// The maker's side of the trust chain, for tests, benchmarks and the demo: keys and certificates, bundle
// seals, signed manifest tokens, release packaging and small Mach-O test executables. Nothing here is
// part of the hub.

#include <cstdint>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "platform/delta_archive.h"

namespace halvex::maker {

struct CertificateOptions {
    std::string commonName = "HALVEX Code Signing";
    std::optional<std::string> organizationalUnit{};  // the team identifier of a leaf
    bool certificateAuthority = false;
    bool codeSigning = true;          // extended key usage codeSigning (leaves)
    std::int64_t notBeforeDays = -1;  // relative to now
    std::int64_t notAfterDays = 3650;
    // A web-server leaf: its subject alternative names ("IP:127.0.0.1,DNS:localhost"); such a leaf gets
    // extended key usage serverAuth instead.
    std::optional<std::string> serverNames{};
};

struct Identity {
    std::string certificatePEM;
    std::string privateKeyPEM;
};

// A fresh P-256 key pair, PEM (private PKCS#8 and public SubjectPublicKeyInfo).
struct KeyPair {
    std::string privatePEM;
    std::string publicPEM;
};
KeyPair makeKeyPair();

// A self-signed root (when `issuer` is absent) or a certificate issued by `issuer`.
Identity makeCertificate(const CertificateOptions& options,
                         const std::optional<Identity>& issuer = std::nullopt);

// A complete demo trust set: service key, code-signing root, and a leaf for `teamID`.
struct TrustSet {
    KeyPair service;
    Identity root;
    Identity leaf;
};
TrustSet makeTrustSet(const std::string& teamID);
void writeTrustSet(const TrustSet& trust, const std::filesystem::path& folder);
TrustSet readTrustSet(const std::filesystem::path& folder);

// A demo web-server authority and a loopback (127.0.0.1, localhost) server certificate it issued, for a
// stand-in service that speaks https to a demo build. Files: tls-authority.pem, tls-authority-key.pem,
// tls-server.pem (leaf, then the authority) and tls-server-key.pem.
struct ServerTrust {
    Identity authority;
    Identity server;
};
ServerTrust makeLoopbackServerTrust();
void writeServerTrust(const ServerTrust& trust, const std::filesystem::path& folder);

// Writes Contents/_CodeSignature/seal.json and seal.p7s for the bundle.
void sealBundle(const std::filesystem::path& bundle, const std::string& identifier, const Identity& signer,
                const std::vector<std::string>& intermediatesPEM = {});

// A compact ES256 token over `payload` (header {"alg":"ES256","typ":"JWT"} unless given).
std::string signToken(const std::string& payload, const std::string& privateKeyPEM,
                      const std::string& header = R"({"alg":"ES256","typ":"JWT"})");

// One member of a manifest's "deltas": what the hub checks a delta against before it reads it.
struct DeltaRecord {
    std::string fromVersion;
    std::string fromManifestSHA256;
    std::string url;  // a URI reference, resolved against the release's download address
    std::int64_t sizeBytes = 0;
    std::string sha256;

    nlohmann::json json() const;
    static DeltaRecord fromJSON(const nlohmann::json& value);
};

struct ReleaseSpec {
    std::string releaseID = "rel_demo_1";
    std::string productID = "prod_demo";
    std::string slug = "demo";
    std::string name = "Demo";
    std::string bundleID = "com.halvex.demo";
    std::string version = "1.0.0";
    std::string channel = "stable";
    std::vector<std::string> architectures = {"arm64", "x86_64"};
    std::string minimumOS = "5.0";
    std::string minimumHubVersion = "1.0.0";
    std::string downloadURL = "https://example.invalid/demo.zip";
    std::int64_t publishedAt = 1'700'000'000;
    std::optional<nlohmann::json> audioUnit;
    std::optional<nlohmann::json> clap;
    std::optional<bool> vst3;
    std::optional<std::string> audience;
    std::vector<std::filesystem::path> bundles;  // zipped at the archive's top level
    std::vector<DeltaRecord> deltas;             // signed into the manifest when there are any
};

struct PackagedRelease {
    std::filesystem::path archive;
    nlohmann::json manifest;  // the signed payload
    nlohmann::json release;   // the catalogue record
};

// Zips the bundles to `archive`, then signs a manifest for them with the service key.
PackagedRelease packageRelease(const ReleaseSpec& spec, const std::filesystem::path& archive,
                               const std::string& servicePrivateKeyPEM);
// The manifest payload and catalogue record for an existing archive (size and SHA-256 from the file).
PackagedRelease describeRelease(const ReleaseSpec& spec, const std::filesystem::path& archive,
                                const std::string& servicePrivateKeyPEM);

// The hub-release record the service announces for a packaged hub (productID "halvex-hub",
// bundleID "com.halvex.hub"): the catalogue record's own fields plus the release notes.
nlohmann::json hubReleaseRecord(const PackagedRelease& packaged, const std::string& releaseNotes);

// The SHA-256 of the payload bytes a manifest token signs (its decoded second segment): how a delta record
// names the release it applies to.
std::string manifestPayloadSHA256(const std::string& token);

struct MadeDelta {
    DeltaRecord record;
    platform::DeltaStatistics statistics;
};

// Writes `out`, the delta from release archive `from` to release archive `to`, and its record. `fromRelease`
// is `from`'s catalogue or hub-release record (its version, manifest and digest); `url` is where the delta
// will be served, relative to `to`'s download address or absolute.
MadeDelta makeDelta(const std::filesystem::path& from, const nlohmann::json& fromRelease,
                    const std::filesystem::path& to, const std::filesystem::path& out, const std::string& url,
                    const platform::DeltaOptions& options = {});

inline constexpr std::uint32_t cpuTypeARM64 = 0x0100000C;
inline constexpr std::uint32_t cpuTypeX86_64 = 0x01000007;

// A thin 64-bit Mach-O executable for one CPU type, or a universal one with a slice per type.
std::string machOExecutable(const std::vector<std::uint32_t>& cpuTypes,
                            const std::string& payload = "engine");
std::uint32_t cpuTypeNamed(const std::string& name);

}  // namespace halvex::maker
