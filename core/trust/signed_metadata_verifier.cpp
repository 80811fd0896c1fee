#include "core/trust/signed_metadata_verifier.h"

#include <algorithm>
#include <array>
#include <charconv>

#include "core/foundation/halvex_error.h"
#include "platform/base64.h"

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

}  // namespace

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
    };
}

bool minimumSystemVersionExceeds(std::string_view minimum, std::string_view system) {
    return lenientVersion(system) < lenientVersion(minimum);
}

}  // namespace halvex
