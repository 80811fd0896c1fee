#pragma once

// Checks that a bundle's executable carries every required processor architecture.

#include <filesystem>
#include <string>
#include <vector>

namespace halvex {

struct BundleArchitectureVerifier {
    // Reads Contents/Info.plist for the executable's name (read errors pass on), then checks
    // Contents/MacOS/<name>.
    static void verify(const std::filesystem::path& bundle, const std::vector<std::string>& architectures);
    static void verifyExecutable(const std::filesystem::path& executable,
                                 const std::vector<std::string>& architectures);
};

}  // namespace halvex
