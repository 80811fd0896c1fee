#pragma once

// The data folder of the demo service, made with a build's demo keys: twelve products (their slugs are
// those of the hub's built-in discovery texts) with sealed releases in VST3, Audio Unit and CLAP form,
// icons, test-build artwork, a subscription and an offer, and optionally a newer hub release made from a
// built hub bundle. The stand-in service serves the folder as it is. Any thread; one call at a time per
// output folder.

#include <filesystem>
#include <optional>
#include <string>

#include "tools/maker/maker.h"

namespace halvex::maker {

struct DemoServiceOptions {
    std::filesystem::path out;
    // The built hub bundle a newer hub release is made from; no hub release without it.
    std::optional<std::filesystem::path> hubBundle{};
    // The newer release's version; default: the bundle's version with the minor part raised by one.
    std::optional<std::string> hubVersion{};
};

// Writes the whole folder anew (a failed run leaves the previous folder in place). Besides what the
// service reads it writes "extras/": release records the catalogue does not list yet, whose archives are
// served, for tests that offer an update later.
void writeDemoServiceData(const TrustSet& trust, const DemoServiceOptions& options);

}  // namespace halvex::maker
