#include "core/trust/signed_metadata_verifier.h"

#include <algorithm>
#include <array>
#include <charconv>

#include "core/foundation/halvex_error.h"
#include "platform/base64.h"
#include "platform/sha256.h"

namespace halvex {

namespace {

// Far beyond any manifest; keeps a hostile token from costing more than a moment.
constexpr std::size_t maximumTokenBytes = 1024 * 1024;

std::vector<std::string_view> segments(std::string_view token) {
    std::vector<std::string_view> parts;
    while (true) {
        const auto dot = token.find('.');
        parts.push_back(token.substr(0, dot));
        if (dot == std::string_view::npos) return parts;
        token.remove_prefix(dot + 1);
    }
}

bool headerIsES256(const std::string& header) {
    try {
        const auto value = nlohmann::json::parse(header);
        if (!value.is_object()) return false;
        const auto alg = value.find("alg");
        const auto typ = value.find("typ");
        return alg != value.end() && typ != value.end() && alg->is_string() && typ->is_string() &&
               alg->get<std::string>() == "ES256" && typ->get<std::string>() == "JWT";
    } catch (const nlohmann::json::exception&) {
        return false;
    }
}

std::array<std::int64_t, 3> lenientVersion(std::string_view text) {
    std::array<std::int64_t, 3> result{};
    std::size_t filled = 0;
    while (filled < 3) {
        const auto dot = text.find('.');
        const auto piece = text.substr(0, dot);
        std::int64_t value = 0;
        const auto [end, error] = std::from_chars(piece.data(), piece.data() + piece.size(), value);
        if (!piece.empty() && error == std::errc() && end == piece.data() + piece.size() && value >= 0) {
            result[filled++] = value;
        }
        if (dot == std::string_view::npos) break;
        text.remove_prefix(dot + 1);
    }
    return result;
}

std::string memberPath(const json::JSONObject& object, const char* name) {
    return object.path().empty() ? name : object.path() + "." + name;
}

std::string requiredDigest(const json::JSONObject& object, const char* name) {
    auto digest = object.required<std::string>(name);
    const bool hex = std::all_of(digest.begin(), digest.end(),
                                 [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
    if (digest.size() != 64 || !hex) json::failAt(memberPath(object, name), "is not a SHA-256 digest");
    return digest;
}

// Any valid reference resolves against a fixed absolute address exactly when it resolves against the real
// one.
const Url& referenceCheckBase() {
    static const Url base = *Url::parse("https://reference.invalid/files/release.zip");
    return base;
}

std::vector<ManifestDelta> decodeDeltas(const json::JSONObject& object) {
    const auto value = object.optional<nlohmann::json>("deltas");
    if (!value) return {};
    const auto path = memberPath(object, "deltas");
    if (value->is_array() && value->size() > Manifest::maximumDeltas)
        json::failAt(path, "lists too many deltas");
    return json::Decoder<std::vector<ManifestDelta>>::decode(*value, path);
}

}  // namespace

ManifestDelta ManifestDelta::decode(const json::JSONObject& object) {
    ManifestDelta delta{
        object.required<std::string>("from_version"),
        requiredDigest(object, "from_manifest_sha256"),
        object.required<std::string>("url"),
        object.required<std::int64_t>("size_bytes"),
        requiredDigest(object, "sha256"),
    };
    if (delta.fromVersion.empty()) json::failAt(memberPath(object, "from_version"), "is empty");
    if (!delta.location(referenceCheckBase()))
        json::failAt(memberPath(object, "url"), "is not a URL reference");
    if (delta.sizeBytes <= 0) json::failAt(memberPath(object, "size_bytes"), "is not a positive size");
    return delta;
}

std::optional<Url> ManifestDelta::location(const Url& downloadURL) const {
    if (url.empty()) return std::nullopt;
    return downloadURL.resolving(url);
}

std::string Manifest::payloadDigest(std::string_view payload) {
    return platform::sha256Hex(payload);
}

SignedMetadataVerifier::SignedMetadataVerifier(platform::P256PublicKey serviceKey)
    : serviceKey_(std::move(serviceKey)) {}

SignedMetadataVerifier SignedMetadataVerifier::fromPEM(std::string_view pem) {
    return SignedMetadataVerifier(platform::P256PublicKey::fromPEM(pem));
}

std::string SignedMetadataVerifier::verifyReleaseManifest(std::string_view token) const {
    if (token.size() > maximumTokenBytes) throw HalvexError::invalidSignature();
    const auto parts = segments(token);
    if (parts.size() != 3) throw HalvexError::invalidSignature();
    const auto header = platform::base64URLDecode(parts[0]);
    const auto payload = platform::base64URLDecode(parts[1]);
    const auto signature = platform::base64URLDecode(parts[2]);
    if (!header || !payload || !signature || !headerIsES256(*header)) throw HalvexError::invalidSignature();
    const auto signingInput = token.substr(0, parts[0].size() + 1 + parts[1].size());
    if (!serviceKey_.verify(signingInput, *signature)) throw HalvexError::invalidSignature();
    return *payload;
}

bool Manifest::sameArchitectures(const std::vector<std::string>& others) const {
    auto mine = architectures;
    auto theirs = others;
    std::sort(mine.begin(), mine.end());
    std::sort(theirs.begin(), theirs.end());
    return mine == theirs;
}

Manifest Manifest::decode(const json::JSONObject& object) {
    return {
        object.required<std::int64_t>("schema"),
        object.required<std::string>("release_id"),
        object.required<std::string>("product_id"),
        object.required<std::string>("bundle_id"),
        object.required<std::string>("version"),
        object.required<std::string>("platform"),
        object.required<std::vector<std::string>>("architectures"),
        object.required<std::string>("minimum_os"),
        object.required<std::int64_t>("size_bytes"),
        object.required<std::string>("sha256"),
        object.optional<AudioUnitIdentity>("audio_unit"),
        object.optional<ClapIdentity>("clap"),
        object.optional<bool>("vst3"),
        decodeDeltas(object),
    };
}

bool minimumSystemVersionExceeds(std::string_view minimum, std::string_view system) {
    return lenientVersion(system) < lenientVersion(minimum);
}

}  // namespace halvex
