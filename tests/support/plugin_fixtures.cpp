#include "tests/support/plugin_fixtures.h"

#include <fstream>

namespace halvex::test {

const maker::TrustSet& trust() {
    static const maker::TrustSet set = maker::makeTrustSet(teamID);
    return set;
}

HalvexConfiguration trustingConfiguration(const std::string& baseURL) {
    return HalvexConfiguration{
        *Url::parse(baseURL), teamID, trust().service.publicPEM, {trust().root.certificatePEM}};
}

SignedMetadataVerifier trustingVerifier() {
    return SignedMetadataVerifier::fromPEM(trust().service.publicPEM);
}

std::filesystem::path writeBundle(const std::filesystem::path& folder, const std::string& name,
                                  const BundleSpec& spec) {
    const auto bundle = folder / name;
    std::filesystem::create_directories(bundle / "Contents" / "MacOS");
    platform::PropertyValue::Dictionary info = spec.extraInfo;
    info.emplace("CFBundleIdentifier", spec.identifier);
    info.emplace("CFBundleShortVersionString", spec.version);
    info.emplace("CFBundleExecutable", spec.executable);
    std::ofstream(bundle / "Contents" / "Info.plist", std::ios::binary)
        << platform::xmlPropertyList(platform::PropertyValue(info));
    if (!spec.executable.empty() && spec.executable.find('/') == std::string::npos &&
        spec.executable != "." && spec.executable != "..") {
        std::ofstream(bundle / "Contents" / "MacOS" / spec.executable, std::ios::binary)
            << maker::machOExecutable(spec.cpuTypes, spec.payload);
    }
    return bundle;
}

std::filesystem::path writeSealedBundle(const std::filesystem::path& folder, const std::string& name,
                                        const BundleSpec& spec, const maker::Identity& signer) {
    const auto bundle = writeBundle(folder, name, spec);
    maker::sealBundle(bundle, spec.identifier, signer);
    return bundle;
}

std::filesystem::path writeSealedWrapper(const std::filesystem::path& folder, const std::string& name,
                                         const BundleSpec& wrapper, const BundleSpec& engine,
                                         const maker::Identity& signer) {
    const auto bundle = writeBundle(folder, name, wrapper);
    writeSealedBundle(bundle / "Contents" / "Resources", "plugin.bundle", engine, signer);
    maker::sealBundle(bundle, wrapper.identifier, signer);
    return bundle;
}

Release signedRelease(const maker::ReleaseSpec& spec, const std::filesystem::path& archive) {
    const auto described = maker::describeRelease(spec, archive, trust().service.privatePEM);
    return json::decodeRecord<Release>(described.release.dump());
}

}  // namespace halvex::test
