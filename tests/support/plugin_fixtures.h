#pragma once

// Plugin bundles, seals and signed releases made at test time with the maker's tools.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "core/foundation/halvex_configuration.h"
#include "core/service/catalog.h"
#include "core/trust/signed_metadata_verifier.h"
#include "platform/property_list.h"
#include "tools/maker/maker.h"

namespace halvex::test {

inline constexpr const char* teamID = "HALVEXDEV1";

// One trust set per test process: key generation is the slow part of every fixture.
const maker::TrustSet& trust();

// A configuration that trusts `trust()` and talks to `baseURL`.
HalvexConfiguration trustingConfiguration(const std::string& baseURL = "http://127.0.0.1:1");
SignedMetadataVerifier trustingVerifier();

struct BundleSpec {
    std::string identifier = "com.halvex.demo";
    std::string version = "1.0.0";
    std::string executable = "Demo";
    std::vector<std::uint32_t> cpuTypes = {maker::cpuTypeARM64, maker::cpuTypeX86_64};
    std::string payload = "engine";
    platform::PropertyValue::Dictionary extraInfo = {};
};

// Writes <folder>/<name> with Contents/Info.plist and Contents/MacOS/<executable>; not sealed.
std::filesystem::path writeBundle(const std::filesystem::path& folder, const std::string& name,
                                  const BundleSpec& spec);
// The same, sealed with the trust set's leaf under the bundle's identifier.
std::filesystem::path writeSealedBundle(const std::filesystem::path& folder, const std::string& name,
                                        const BundleSpec& spec, const maker::Identity& signer = trust().leaf);

// A release record whose manifest is signed by the trust set's service key for an archive on disk.
Release signedRelease(const maker::ReleaseSpec& spec, const std::filesystem::path& archive);

// A wrapper (.component or .clap) embedding an engine bundle identical to the VST3's.
std::filesystem::path writeSealedWrapper(const std::filesystem::path& folder, const std::string& name,
                                         const BundleSpec& wrapper, const BundleSpec& engine,
                                         const maker::Identity& signer = trust().leaf);

}  // namespace halvex::test
