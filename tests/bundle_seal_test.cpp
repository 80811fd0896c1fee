#include "platform/bundle_seal.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <functional>

#include "core/foundation/halvex_error.h"
#include "core/install/plugin_installer.h"
#include "tests/support/plugin_fixtures.h"
#include "tests/support/temporary_directory.h"

namespace halvex {
namespace {

class BundleSealTest : public testing::Test {
  protected:
    bool accepted(const std::filesystem::path& bundle,
                  const std::string& identifier = "com.halvex.demo") const {
        try {
            installer.verifyCodeSignature(bundle, identifier);
            return true;
        } catch (const HalvexError& error) {
            EXPECT_EQ(error.errorDescription(), "The plugin is not signed by HALVEX.");
            return false;
        }
    }

    // A sealed bundle with a nested folder, a link and a nested bundle's seal files.
    std::filesystem::path sealedBundle(const std::string& name, const maker::Identity& signer,
                                       const std::vector<std::string>& chain = {}) const {
        const auto bundle = test::writeBundle(folder.path(), name, {});
        std::filesystem::create_directories(bundle / "Contents" / "Resources" / "de.lproj");
        std::ofstream(bundle / "Contents" / "Resources" / "de.lproj" / "Strings.txt") << "Hallo";
        std::filesystem::create_symlink("de.lproj/Strings.txt",
                                        bundle / "Contents" / "Resources" / "Default.txt");
        maker::sealBundle(bundle, "com.halvex.demo", signer, chain);
        return bundle;
    }

    test::TemporaryDirectory folder;
    PluginInstaller installer{test::trustingConfiguration(), PluginInstaller::Folders{}};
};

TEST_F(BundleSealTest, ASealedBundlePassesAndAnExpiredLeafStillDoes) {
    EXPECT_TRUE(accepted(sealedBundle("A.vst3", test::trust().leaf)));
    const auto expired = maker::makeCertificate(
        {.organizationalUnit = test::teamID, .notBeforeDays = -800, .notAfterDays = -400},
        test::trust().root);
    EXPECT_TRUE(accepted(sealedBundle("Expired.vst3", expired)));
    const auto intermediate = maker::makeCertificate(
        {.commonName = "Intermediate", .certificateAuthority = true}, test::trust().root);
    const auto chained = maker::makeCertificate({.organizationalUnit = test::teamID}, intermediate);
    EXPECT_TRUE(accepted(sealedBundle("Chained.vst3", chained, {intermediate.certificatePEM})));
}

TEST_F(BundleSealTest, AnyChangeToTheBundleOrTheSignerFails) {
    using Change = std::function<void(const std::filesystem::path&)>;
    const auto resources = [](const std::filesystem::path& bundle) {
        return bundle / "Contents" / "Resources";
    };
    const std::vector<std::pair<const char*, Change>> bundleChanges = {
        {"changed byte",
         [](const auto& b) {
             std::fstream file(b / "Contents" / "MacOS" / "Demo",
                               std::ios::in | std::ios::out | std::ios::binary);
             file.seekp(40);
             file.put('X');
         }},
        {"extra file", [&](const auto& b) { std::ofstream(resources(b) / "extra.txt") << "x"; }},
        {"extra hidden file", [&](const auto& b) { std::ofstream(resources(b) / ".DS_Store") << "x"; }},
        {"missing file",
         [&](const auto& b) { std::filesystem::remove(resources(b) / "de.lproj" / "Strings.txt"); }},
        {"changed link target",
         [&](const auto& b) {
             std::filesystem::remove(resources(b) / "Default.txt");
             std::filesystem::create_symlink("de.lproj/../de.lproj/Strings.txt",
                                             resources(b) / "Default.txt");
         }},
        {"link replaced by file",
         [&](const auto& b) {
             std::filesystem::remove(resources(b) / "Default.txt");
             std::ofstream(resources(b) / "Default.txt") << "Hallo";
         }},
        {"fifo added", [&](const auto& b) { ::mkfifo((resources(b) / "pipe").c_str(), 0600); }},
        {"seal removed",
         [](const auto& b) { std::filesystem::remove(b / "Contents/_CodeSignature/seal.p7s"); }},
        {"seal text edited",
         [](const auto& b) { std::ofstream(b / "Contents/_CodeSignature/seal.json", std::ios::app) << " "; }},
    };
    int index = 0;
    for (const auto& [name, change] : bundleChanges) {
        const auto bundle = sealedBundle("Changed" + std::to_string(index++) + ".vst3", test::trust().leaf);
        change(bundle);
        EXPECT_FALSE(accepted(bundle)) << name;
    }

    const auto otherRoot = maker::makeCertificate({.commonName = "Other Root", .certificateAuthority = true});
    const std::vector<std::pair<const char*, maker::Identity>> signers = {
        {"wrong OU", maker::makeCertificate({.organizationalUnit = "OTHERTEAM1"}, test::trust().root)},
        {"no OU", maker::makeCertificate({}, test::trust().root)},
        {"no codeSigning usage",
         maker::makeCertificate({.organizationalUnit = test::teamID, .codeSigning = false},
                                test::trust().root)},
        {"untrusted root", maker::makeCertificate({.organizationalUnit = test::teamID}, otherRoot)},
        {"self-signed leaf", maker::makeCertificate({.organizationalUnit = test::teamID})},
    };
    for (const auto& [name, signer] : signers) {
        EXPECT_FALSE(accepted(sealedBundle(std::string(name) + ".vst3", signer))) << name;
    }
    EXPECT_FALSE(accepted(sealedBundle("Identifier.vst3", test::trust().leaf), "com.halvex.other"));
    EXPECT_FALSE(accepted(folder / "Missing.vst3"));
}

TEST_F(BundleSealTest, ALinkLeavingTheBundleCannotBeSealed) {
    const auto bundle = test::writeBundle(folder.path(), "Escape.vst3", {});
    std::filesystem::create_symlink("../../outside", bundle / "Contents" / "escape");
    EXPECT_THROW(maker::sealBundle(bundle, "com.halvex.demo", test::trust().leaf), platform::SealError);
}

}  // namespace
}  // namespace halvex
