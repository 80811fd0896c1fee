#include "tests/support/release_builder.h"

#include <algorithm>
#include <cctype>

#include "core/foundation/json_decoding.h"
#include "tests/support/plugin_fixtures.h"

namespace halvex::test {
namespace {

std::string capitalised(std::string text) {
    if (!text.empty())
        text.front() = static_cast<char>(std::toupper(static_cast<unsigned char>(text.front())));
    return text;
}

// Writes the release's sealed bundles into `source`.
void writeBundles(const PluginReleaseSpec& spec, const std::filesystem::path& source,
                  const maker::TrustSet& trust) {
    const std::string id = "com.halvex." + spec.product;
    const std::string stem = capitalised(spec.product);
    const BundleSpec engine{
        .identifier = id,
        .version = spec.version,
        .executable = stem,
        .payload = spec.enginePayload.empty() ? "engine " + spec.version : spec.enginePayload};
    if (spec.vst3) writeSealedBundle(source, stem + ".vst3", engine, trust.leaf);
    if (spec.audioUnit) {
        platform::PropertyValue::Array components = {
            platform::PropertyValue::Dictionary{{"type", std::string("aufx")},
                                                {"subtype", std::string("Aurd")},
                                                {"manufacturer", std::string("Hlvx")}}};
        writeSealedWrapper(source, stem + ".component",
                           {.identifier = id + ".au",
                            .version = spec.version,
                            .executable = stem + "AU",
                            .payload = "au " + spec.version,
                            .extraInfo = {{"AudioComponents", components}}},
                           engine, trust.leaf);
    }
    if (spec.clap) {
        writeSealedWrapper(source, stem + ".clap",
                           {.identifier = id + ".clap",
                            .version = spec.version,
                            .executable = stem + "CLAP",
                            .payload = "clap " + spec.version,
                            .extraInfo = {{"HVXCLAPPluginID", id}}},
                           engine, trust.leaf);
    }
    if (spec.tamper) spec.tamper(source);
}

std::vector<std::filesystem::path> entriesOf(const std::filesystem::path& folder) {
    std::vector<std::filesystem::path> entries;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) entries.push_back(entry.path());
    std::sort(entries.begin(), entries.end());
    return entries;
}

}  // namespace

ReleaseBuilder::ReleaseBuilder(std::filesystem::path folder, Publish publish)
    : folder_(std::move(folder)), publish_(std::move(publish)) {}

std::string ReleaseBuilder::nextName(const std::string& stem) {
    return stem + "-" + std::to_string(++count_);
}

maker::PackagedRelease ReleaseBuilder::plugin(const PluginReleaseSpec& spec) {
    const auto& signer = spec.trust ? *spec.trust : trust();
    const auto name = nextName(spec.product + "-" + spec.version);
    const auto source = folder_ / "Source" / name;
    writeBundles(spec, source, signer);

    maker::ReleaseSpec release;
    release.releaseID = "rel_" + name;
    release.productID = "prod_" + spec.product;
    release.slug = spec.product;
    release.name = spec.name.empty() ? capitalised(spec.product) : spec.name;
    release.bundleID = "com.halvex." + spec.product;
    release.version = spec.version;
    release.channel = spec.channel;
    release.audience = spec.audience;
    release.minimumOS = "1.0";
    release.minimumHubVersion = spec.minimumHubVersion;
    if (!spec.vst3) release.vst3 = false;
    if (spec.audioUnit) {
        release.audioUnit = nlohmann::json{{"bundle_id", release.bundleID + ".au"},
                                           {"type", "aufx"},
                                           {"subtype", "Aurd"},
                                           {"manufacturer", "Hlvx"}};
    }
    if (spec.clap)
        release.clap =
            nlohmann::json{{"bundle_id", release.bundleID + ".clap"}, {"plugin_id", release.bundleID}};
    release.bundles = entriesOf(source);
    return package(std::move(release), "releases", name, signer);
}

maker::PackagedRelease ReleaseBuilder::hub(const std::filesystem::path& image, const HubReleaseSpec& spec) {
    const auto& signer = spec.trust ? *spec.trust : trust();
    const auto name = nextName("hub-" + spec.version);
    maker::ReleaseSpec release;
    release.releaseID = "hub_" + std::to_string(count_);
    release.productID = "halvex-hub";
    release.bundleID = "com.halvex.hub";
    release.version = spec.version;
    release.architectures = spec.architectures;
    release.minimumOS = "1.0";
    release.bundles = entriesOf(image);
    auto packaged = package(std::move(release), "hub", name, signer);
    packaged.release["release_notes"] = spec.releaseNotes;
    if (spec.change) {
        spec.change(packaged.release, packaged.manifest);
        packaged.release["manifest"] = maker::signToken(packaged.manifest.dump(), signer.service.privatePEM);
    }
    return packaged;
}

maker::PackagedRelease ReleaseBuilder::package(maker::ReleaseSpec spec, const std::string& servedFolder,
                                               const std::string& name, const maker::TrustSet& signer) {
    const auto archive = folder_ / "Archives" / (name + ".zip");
    const auto path = servedFolder + "/" + name + ".zip";
    std::filesystem::create_directories(archive.parent_path());
    // The address is signed into the record, so it is known before the archive exists.
    spec.downloadURL = publish_ ? publish_(path, archive) : "https://cdn.example/" + path;
    return maker::packageRelease(spec, archive, signer.service.privatePEM);
}

Release releaseOf(const maker::PackagedRelease& packaged) {
    return json::decodeRecord<Release>(packaged.release.dump());
}

}  // namespace halvex::test
