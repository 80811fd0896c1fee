#include "core/trust/bundle_architecture_verifier.h"

#include <algorithm>
#include <optional>

#include "core/foundation/halvex_error.h"
#include "core/trust/executable_architectures.h"
#include "core/trust/plugin_bundle_info.h"

namespace halvex {

namespace {

std::optional<std::uint32_t> cpuTypeNamed(const std::string& name) {
    if (name == "arm64") return cpuTypeARM64;
    if (name == "x86_64") return cpuTypeX86_64;
    return std::nullopt;
}

}  // namespace

void BundleArchitectureVerifier::verify(const std::filesystem::path& bundle,
                                        const std::vector<std::string>& architectures) {
    std::optional<std::string> name;
    try {
        name = executableName(readInfoPlist(bundle));
    } catch (const platform::PropertyListError&) {
    }
    if (!name) throw HalvexError::invalidPackage("The bundle executable is invalid.");
    verifyExecutable(bundle / "Contents" / "MacOS" / *name, architectures);
}

void BundleArchitectureVerifier::verifyExecutable(const std::filesystem::path& executable,
                                                  const std::vector<std::string>& architectures) {
    const auto cpuTypes = executableCPUTypes(executable);
    if (architectures.empty() || cpuTypes.empty()) {
        throw HalvexError::invalidPackage("The bundle executable has no valid Mach-O architectures.");
    }
    for (const auto& name : architectures) {
        const auto cpuType = cpuTypeNamed(name);
        if (!cpuType || std::find(cpuTypes.begin(), cpuTypes.end(), *cpuType) == cpuTypes.end()) {
            throw HalvexError::invalidPackage("The bundle executable is missing the required " + name +
                                              " architecture.");
        }
    }
}

}  // namespace halvex
