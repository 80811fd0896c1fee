// PluginInstaller: the proof that a release is what the service signed and fits this machine, and that
// its archive is the one described.

#include <algorithm>
#include <regex>

#include "core/foundation/halvex_error.h"
#include "core/foundation/semantic_version.h"
#include "core/foundation/utf8.h"
#include "core/install/plugin_installer.h"
#include "platform/file_io.h"
#include "platform/process_runner.h"
#include "platform/sha256.h"
#include "platform/system_info.h"
#include "platform/zip_archive.h"

namespace halvex {

namespace {

HalvexError catalogMismatch() {
    return HalvexError::invalidPackage("The signed release metadata does not match the catalog.");
}

std::optional<std::string> stringMember(const nlohmann::json& object, const char* name) {
    if (!object.is_object()) return std::nullopt;
    const auto found = object.find(name);
    if (found == object.end() || !found->is_string()) return std::nullopt;
    return found->get<std::string>();
}

bool notOlderThan(const std::string& version, const char* floor) {
    return !SemanticVersion::isNewer(floor, version);
}

void checkCatalogMatch(const Manifest& manifest, const nlohmann::json& payload, const Release& release) {
    const bool matches = manifest.describes(release) && manifest.productID == release.productID &&
                         manifest.bundleID == release.bundleID && manifest.platform == "macos" &&
                         manifest.audioUnit == release.audioUnit && manifest.clap == release.clap &&
                         manifest.vst3.value_or(true) == release.includesVST3() && payload.is_object() &&
                         !payload.empty() &&
                         stringMember(payload, "minimum_hub_version") == release.minimumHubVersion &&
                         stringMember(payload, "channel") == release.channel;
    if (!matches) throw catalogMismatch();
}

void checkClapOnlyRule(const nlohmann::json& payload, const Release& release) {
    if (release.vst3 != false) return;
    const bool allowed = release.clap && !release.audioUnit && release.channel == "beta" &&
                         stringMember(payload, "audience") == "internal" &&
                         notOlderThan(release.minimumHubVersion, "1.0.5");
    if (!allowed) {
        throw HalvexError::invalidPackage(
            "CLAP-only packages require an internal beta and HUB 1.0.5 or later.");
    }
}

bool isFourAlphanumerics(const std::string& code) {
    return code.size() == 4 && std::all_of(code.begin(), code.end(), [](char c) {
               return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
           });
}

void checkAudioUnitIdentity(const Release& release) {
    if (!release.audioUnit) return;
    const auto& identity = *release.audioUnit;
    const bool valid = identity.bundleID == release.bundleID + ".au" &&
                       (identity.type == "aufx" || identity.type == "aumu") &&
                       identity.manufacturer == audioUnitManufacturerCode &&
                       isFourAlphanumerics(identity.subtype) &&
                       notOlderThan(release.minimumHubVersion, identity.type == "aumu" ? "0.9.4" : "0.9.0");
    if (!valid) throw HalvexError::invalidPackage("The signed Audio Unit identity is invalid.");
}

void checkClapIdentity(const Release& release) {
    if (!release.clap) return;
    static const std::regex pluginIdentifier("^com\\.halvex\\.[a-z0-9]+$");
    const auto& identity = *release.clap;
    const bool valid = identity.bundleID == release.bundleID + ".clap" &&
                       identity.pluginID == release.bundleID &&
                       std::regex_match(identity.pluginID, pluginIdentifier) &&
                       notOlderThan(release.minimumHubVersion, "1.0.0");
    if (!valid) throw HalvexError::invalidPackage("The signed CLAP identity is invalid.");
}

void checkThisMachine(const Release& release) {
    const bool hasARM64 = std::find(release.architectures.begin(), release.architectures.end(), "arm64") !=
                          release.architectures.end();
    if (!hasARM64 || minimumSystemVersionExceeds(release.minimumOS, platform::systemVersion())) {
        throw HalvexError::invalidPackage("This plugin release is incompatible with this Mac.");
    }
}

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r\n\v\f");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\r\n\v\f") - first + 1);
}

}  // namespace

void PluginInstaller::verify(const Release& release, const SignedMetadataVerifier& verifier) {
    const auto payloadBytes = verifier.verifyReleaseManifest(release.manifest);
    const auto manifest = json::decodeRecord<Manifest>(payloadBytes);
    const auto payload = parseJSON(payloadBytes);
    checkCatalogMatch(manifest, payload, release);
    checkClapOnlyRule(payload, release);
    checkAudioUnitIdentity(release);
    checkClapIdentity(release);
    checkThisMachine(release);
}

std::string PluginInstaller::sha256(const std::filesystem::path& file) {
    return platform::sha256HexOfFile(file);
}

void PluginInstaller::verifyArchive(const std::filesystem::path& archive, const Release& release,
                                    const std::optional<std::string>& digest) {
    const auto size = platform::fileSize(archive);
    if (!size || static_cast<std::int64_t>(*size) != release.sizeBytes) throw HalvexError::hashMismatch();
    if ((digest ? *digest : sha256(archive)) != release.sha256) {
        // Resuming a download with wrong bytes would only fail again.
        platform::removeTreeQuietly(archive);
        throw HalvexError::hashMismatch();
    }
}

void PluginInstaller::expandArchive(const std::filesystem::path& archive,
                                    const std::filesystem::path& destination) {
    try {
        platform::expandZip(archive, destination);
    } catch (const platform::ArchiveError& error) {
        throw HalvexError::invalidPackage("Update tool failed: " + std::string(error.what()));
    }
}

void PluginInstaller::run(const std::filesystem::path& tool, const std::vector<std::string>& arguments) {
    const auto result = platform::runTool(tool, arguments);
    if (result.exitStatus == 0) return;
    // Text that is not UTF-8 says nothing reliable; the contract is then an empty message.
    const bool utf8 = isValidUTF8(result.standardError);
    throw HalvexError::invalidPackage("Update tool failed: " +
                                      (utf8 ? trimmed(result.standardError) : std::string()));
}

}  // namespace halvex
