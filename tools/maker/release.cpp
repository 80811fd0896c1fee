#include <algorithm>

#include "platform/file_io.h"
#include "platform/sha256.h"
#include "platform/zip_archive.h"
#include "tools/maker/maker.h"

namespace halvex::maker {

namespace {

std::string fileDigest(const std::filesystem::path& path) {
    return platform::sha256Hex(platform::readFile(path, std::size_t{8} * 1024 * 1024 * 1024));
}

}  // namespace

PackagedRelease describeRelease(const ReleaseSpec& spec, const std::filesystem::path& archive,
                                const std::string& servicePrivateKeyPEM) {
    const auto size = static_cast<std::int64_t>(std::filesystem::file_size(archive));
    const auto digest = fileDigest(archive);

    nlohmann::json manifest = {{"schema", 1},
                               {"release_id", spec.releaseID},
                               {"product_id", spec.productID},
                               {"bundle_id", spec.bundleID},
                               {"version", spec.version},
                               {"platform", "macos"},
                               {"architectures", spec.architectures},
                               {"minimum_os", spec.minimumOS},
                               {"size_bytes", size},
                               {"sha256", digest},
                               {"minimum_hub_version", spec.minimumHubVersion},
                               {"channel", spec.channel}};
    if (spec.audioUnit) manifest["audio_unit"] = *spec.audioUnit;
    if (spec.clap) manifest["clap"] = *spec.clap;
    if (spec.vst3) manifest["vst3"] = *spec.vst3;
    if (spec.audience) manifest["audience"] = *spec.audience;
    if (!spec.deltas.empty()) {
        manifest["deltas"] = nlohmann::json::array();
        for (const auto& delta : spec.deltas) manifest["deltas"].push_back(delta.json());
    }

    nlohmann::json release = {{"release_id", spec.releaseID},
                              {"product_id", spec.productID},
                              {"slug", spec.slug},
                              {"name", spec.name},
                              {"bundle_id", spec.bundleID},
                              {"version", spec.version},
                              {"channel", spec.channel},
                              {"platform", "macos"},
                              {"architectures", spec.architectures},
                              {"minimum_os", spec.minimumOS},
                              {"minimum_hub_version", spec.minimumHubVersion},
                              {"size_bytes", size},
                              {"sha256", digest},
                              {"manifest", signToken(manifest.dump(), servicePrivateKeyPEM)},
                              {"download_url", spec.downloadURL},
                              {"published_at", spec.publishedAt}};
    if (spec.audioUnit) release["audio_unit"] = *spec.audioUnit;
    if (spec.clap) release["clap"] = *spec.clap;
    if (spec.vst3) release["vst3"] = *spec.vst3;
    return {archive, manifest, release};
}

PackagedRelease packageRelease(const ReleaseSpec& spec, const std::filesystem::path& archive,
                               const std::string& servicePrivateKeyPEM) {
    if (archive.has_parent_path()) std::filesystem::create_directories(archive.parent_path());
    std::filesystem::remove(archive);
    platform::createZip(spec.bundles, archive);
    return describeRelease(spec, archive, servicePrivateKeyPEM);
}

nlohmann::json hubReleaseRecord(const PackagedRelease& packaged, const std::string& releaseNotes) {
    nlohmann::json record = {{"release_notes", releaseNotes}};
    for (const auto* key : {"release_id", "version", "platform", "architectures", "minimum_os", "size_bytes",
                            "sha256", "manifest", "download_url", "published_at"}) {
        record[key] = packaged.release.at(key);
    }
    return record;
}

}  // namespace halvex::maker
