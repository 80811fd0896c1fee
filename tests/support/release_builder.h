#pragma once

// Signed releases of plugins and of the hub, built at test time from sealed bundles with the maker's tools.

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/service/catalog.h"
#include "tools/maker/maker.h"

namespace halvex::test {

// A plugin release; names follow from the product's slug: "com.halvex.<slug>", "prod_<slug>", and bundles
// "<Slug>.vst3", "<Slug>.component" and "<Slug>.clap" whose wrappers embed the VST3's engine.
struct PluginReleaseSpec {
    std::string product = "aurora";
    std::string version = "1.0.0";
    std::string name;  // the release's name; the capitalised slug when empty
    std::string channel = "stable";
    std::optional<std::string> audience;
    std::string minimumHubVersion = "1.0.0";
    bool vst3 = true;
    bool audioUnit = true;
    bool clap = true;
    std::string enginePayload;  // "engine <version>" when empty
    // Changes the sealed bundles (the folder holding them) before they are zipped.
    std::function<void(const std::filesystem::path&)> tamper;
    const maker::TrustSet* trust = nullptr;  // test::trust() when null
};

// A release of the hub whose image is a folder holding "HALVEX HUB.app" (and whatever else a test puts
// there).
struct HubReleaseSpec {
    std::string version = "1.1.0";
    std::vector<std::string> architectures = {"arm64", "x86_64"};
    std::string releaseNotes = "Faster and calmer.";
    // Edits the catalogue record and the manifest payload before the manifest is signed again.
    std::function<void(nlohmann::json& release, nlohmann::json& manifest)> change;
    const maker::TrustSet* trust = nullptr;  // test::trust() when null
};

// Builds each release under a name of its own in one folder and, given a publisher, serves its archive.
class ReleaseBuilder {
  public:
    // Serves `archive` at a relative path ("releases/…", "hub/…") and returns its address.
    using Publish = std::function<std::string(const std::string& path, const std::filesystem::path& archive)>;

    explicit ReleaseBuilder(std::filesystem::path folder, Publish publish = {});

    // The catalogue record's address is the publisher's, or an unreachable one without a publisher.
    maker::PackagedRelease plugin(const PluginReleaseSpec& spec);
    maker::PackagedRelease hub(const std::filesystem::path& image, const HubReleaseSpec& spec);

  private:
    std::string nextName(const std::string& stem);
    maker::PackagedRelease package(maker::ReleaseSpec spec, const std::string& servedFolder,
                                   const std::string& name, const maker::TrustSet& trust);

    std::filesystem::path folder_;
    Publish publish_;
    int count_ = 0;
};

// The catalogue record of a packaged release, as the hub reads it.
Release releaseOf(const maker::PackagedRelease& packaged);

}  // namespace halvex::test
