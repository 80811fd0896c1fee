#include <gtest/gtest.h>

#include <fstream>
#include <functional>

#include "core/foundation/halvex_error.h"
#include "core/install/installed_bundle_index.h"
#include "core/install/plugin_installer.h"
#include "core/trust/bundle_architecture_verifier.h"
#include "core/trust/executable_architectures.h"
#include "platform/running_bundle.h"
#include "tests/support/error_text.h"
#include "tests/support/plugin_fixtures.h"
#include "tests/support/temporary_directory.h"

namespace halvex {
namespace {

using platform::PropertyValue;

using test::errorText;

std::string bigEndian32(std::uint32_t value) {
    return {static_cast<char>(value >> 24), static_cast<char>(value >> 16), static_cast<char>(value >> 8),
            static_cast<char>(value)};
}

TEST(ExecutableArchitectures, ReadsThinUniversalAndELFHeadersAndRefusesLyingOnes) {
    const auto universal = maker::machOExecutable({maker::cpuTypeX86_64, maker::cpuTypeARM64});
    auto lyingSize = universal;
    lyingSize.replace(8 + 12, 4, bigEndian32(0x7FFFFFFF));  // first slice claims more than the file
    auto lyingType = universal;
    lyingType.replace(8, 4, bigEndian32(maker::cpuTypeARM64));  // table says arm64, slice says x86_64
    auto manySlices = universal;
    manySlices.replace(4, 4, bigEndian32(100000));
    auto lyingCommands = maker::machOExecutable({maker::cpuTypeARM64});
    lyingCommands[20] = '\x7f';  // sizeofcmds far past the end

    const std::vector<std::tuple<const char*, std::string, std::vector<std::uint32_t>>> table = {
        {"thin arm64", maker::machOExecutable({maker::cpuTypeARM64}), {cpuTypeARM64}},
        {"universal", universal, {cpuTypeX86_64, cpuTypeARM64}},
        {"slice beyond the end", lyingSize, {}},
        {"slice of another type", lyingType, {}},
        {"too many slices", manySlices, {}},
        {"load commands beyond the end", lyingCommands, {}},
        {"truncated universal", universal.substr(0, 30), {}},
        {"truncated thin", maker::machOExecutable({maker::cpuTypeARM64}).substr(0, 20), {}},
        {"text", "#!/bin/sh\necho hi\n", {}},
        {"empty", "", {}},
    };
    for (const auto& [name, bytes, expected] : table) EXPECT_EQ(cpuTypesOf(bytes), expected) << name;

    // This test program is an ELF executable of the machine it runs on.
    const auto own = executableCPUTypes(platform::runningExecutablePath());
#if defined(__x86_64__)
    EXPECT_EQ(own, std::vector<std::uint32_t>{cpuTypeX86_64});
#elif defined(__aarch64__)
    EXPECT_EQ(own, std::vector<std::uint32_t>{cpuTypeARM64});
#endif
}

TEST(BundleArchitectureVerifier, NamesTheMissingArchitecture) {
    test::TemporaryDirectory folder;
    const auto intelOnly =
        test::writeBundle(folder.path(), "Intel.vst3", {.cpuTypes = {maker::cpuTypeX86_64}});
    const auto both = test::writeBundle(folder.path(), "Both.vst3", {});
    EXPECT_EQ(errorText([&] { BundleArchitectureVerifier::verify(both, {"arm64", "x86_64"}); }), "(passed)");
    EXPECT_EQ(errorText([&] { BundleArchitectureVerifier::verify(intelOnly, {"arm64"}); }),
              "The bundle executable is missing the required arm64 architecture.");
    EXPECT_EQ(errorText([&] {
                  BundleArchitectureVerifier::verify(both, {"arm64", "ppc"});
              }),
              "The bundle executable is missing the required ppc architecture.");
    EXPECT_EQ(errorText([&] { BundleArchitectureVerifier::verify(both, {}); }),
              "The bundle executable has no valid Mach-O architectures.");
    std::ofstream(both / "Contents" / "MacOS" / "Demo") << "not an executable";
    EXPECT_EQ(errorText([&] { BundleArchitectureVerifier::verify(both, {"arm64"}); }),
              "The bundle executable has no valid Mach-O architectures.");

    for (const std::string name : {"a/b", ".", "..", ""}) {
        const auto bundle = test::writeBundle(folder.path(), "Bad.vst3", {.executable = name});
        EXPECT_EQ(errorText([&] { BundleArchitectureVerifier::verify(bundle, {"arm64"}); }),
                  "The bundle executable is invalid.")
            << name;
        std::filesystem::remove_all(bundle);
    }
}

TEST(PluginBundles, FindsBundlesWithoutDescendingIntoThemOrHiddenFolders) {
    test::TemporaryDirectory folder;
    std::filesystem::create_directories(folder / "A.vst3" / "Contents" / "Resources" / "inner.vst3");
    std::filesystem::create_directories(folder / "nested" / "B.vst3");
    std::filesystem::create_directories(folder / ".hidden" / "C.vst3");
    std::filesystem::create_directories(folder / "D.VST3");
    std::filesystem::create_directories(folder / "elsewhere" / "E.vst3");
    std::filesystem::create_directory_symlink(folder / "elsewhere", folder / "linked");
    auto found = PluginInstaller::pluginBundles(folder.path(), "vst3");
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, (std::vector<std::filesystem::path>{folder / "A.vst3", folder / "elsewhere" / "E.vst3",
                                                         folder / "nested" / "B.vst3"}));
    EXPECT_TRUE(PluginInstaller::pluginBundles(folder / "missing", "vst3").empty());
}

class WrapperTest : public testing::Test {
  protected:
    WrapperTest() {
        release.releaseID = "rel_demo_1";
        release.bundleID = "com.halvex.demo";
        release.version = "1.0.0";
        release.architectures = {"arm64"};
        vst3 = test::writeSealedBundle(folder.path(), "Demo.vst3", engine);
    }

    test::BundleSpec wrapperSpec(const std::string& identifier, PropertyValue::Dictionary extra) const {
        return {.identifier = identifier,
                .executable = "Wrapper",
                .payload = "wrapper",
                .extraInfo = std::move(extra)};
    }

    PropertyValue::Dictionary components(int count, const std::string& subtype = "Demo") const {
        PropertyValue::Array entries;
        for (int index = 0; index < count; ++index) {
            entries.push_back(PropertyValue::Dictionary{
                {"type", std::string("aufx")}, {"subtype", subtype}, {"manufacturer", std::string("Hlvx")}});
        }
        return {{"AudioComponents", entries}};
    }

    test::TemporaryDirectory folder;
    static std::filesystem::path archiveIn(const test::TemporaryDirectory& folder) {
        std::ofstream(folder / "release.zip") << "zip";
        return folder / "release.zip";
    }

    Release release = test::signedRelease(maker::ReleaseSpec{}, archiveIn(folder));
    test::BundleSpec engine{};
    std::filesystem::path vst3;
    PluginInstaller installer{test::trustingConfiguration(), PluginInstaller::Folders{}};
    AudioUnitIdentity audioUnit{"com.halvex.demo.au", "aufx", "Demo", "Hlvx"};
    ClapIdentity clap{"com.halvex.demo.clap", "com.halvex.demo"};
};

TEST_F(WrapperTest, AudioUnitChecksIdentityRegistrationSignatureAndEngine) {
    const auto check = [&](const std::string& name, const test::BundleSpec& wrapper,
                           const test::BundleSpec& inner) {
        const auto bundle = test::writeSealedWrapper(folder.path(), name, wrapper, inner);
        return errorText([&] { installer.verifyAudioUnit(bundle, audioUnit, release, vst3); });
    };
    EXPECT_EQ(check("A.component", wrapperSpec("com.halvex.demo.au", components(1)), engine), "(passed)");
    EXPECT_EQ(check("B.component", wrapperSpec("com.halvex.demo", components(1)), engine),
              "The Audio Unit identity or version does not match this release.");
    EXPECT_EQ(check("C.component", wrapperSpec("com.halvex.demo.au", components(2)), engine),
              "The Audio Unit registration does not match the signed release.");
    EXPECT_EQ(check("D.component", wrapperSpec("com.halvex.demo.au", components(1, "Demx")), engine),
              "The Audio Unit registration does not match the signed release.");
    EXPECT_EQ(check("E.component", wrapperSpec("com.halvex.demo.au", components(1)),
                    {.identifier = "com.halvex.other"}),
              "The embedded plugin engine identity is invalid.");
    EXPECT_EQ(check("F.component", wrapperSpec("com.halvex.demo.au", components(1)), {.payload = "enginf"}),
              "The embedded and VST3 engines do not match.");
}

TEST_F(WrapperTest, ClapChecksRegistrationAndSkipsTheEngineComparisonWithoutVST3) {
    const PropertyValue::Dictionary registration = {{"HVXCLAPPluginID", std::string("com.halvex.demo")}};
    const auto differentEngine =
        test::writeSealedWrapper(folder.path(), "A.clap", wrapperSpec("com.halvex.demo.clap", registration),
                                 {.payload = "one byte differs"});
    EXPECT_EQ(errorText([&] { installer.verifyClap(differentEngine, clap, release, vst3); }),
              "The embedded and VST3 engines do not match.");
    EXPECT_EQ(errorText([&] { installer.verifyClap(differentEngine, clap, release, std::nullopt); }),
              "(passed)");

    const auto unregistered = test::writeSealedWrapper(
        folder.path(), "B.clap", wrapperSpec("com.halvex.demo.clap", {{"HVXCLAPPluginID", std::string("x")}}),
        engine);
    EXPECT_EQ(errorText([&] { installer.verifyClap(unregistered, clap, release, vst3); }),
              "The CLAP registration does not match the signed release.");

    const auto unsealed =
        test::writeBundle(folder.path(), "C.clap", wrapperSpec("com.halvex.demo.clap", registration));
    EXPECT_EQ(errorText([&] { installer.verifyClap(unsealed, clap, release, vst3); }),
              "The plugin is not signed by HALVEX.");
}

TEST(InstalledBundles, LookupsByIdentifierAndTheLegacyFolderRule) {
    test::TemporaryDirectory folder;
    auto folders = PluginInstaller::Folders::standard(folder / "Support", folder / "Plugins" / "VST3");
    EXPECT_EQ(folders.audioUnitDirectory, folder / "Plugins" / "Components");
    EXPECT_EQ(folders.clapDirectory, folder / "Plugins" / "CLAP");
    EXPECT_FALSE(folders.usesManagedSystemDirectory);

    test::writeBundle(folders.pluginDirectory, "B.vst3", {.identifier = "com.halvex.same"});
    test::writeBundle(folders.pluginDirectory, "A.vst3", {.identifier = "com.halvex.same"});
    test::writeBundle(folders.pluginDirectory, ".C.vst3", {.identifier = "com.halvex.hidden"});
    std::filesystem::create_directories(folders.pluginDirectory / "Broken.vst3");
    test::writeBundle(folders.audioUnitDirectory, "A.component", {.identifier = "com.halvex.same.au"});
    test::writeBundle(folders.clapDirectory, "A.clap", {.identifier = "com.halvex.same.clap"});
    folders.legacyVST3Directory = folder / "Legacy";
    test::writeBundle(folders.legacyVST3Directory, "Old.vst3", {.identifier = "com.halvex.same"});

    const PluginInstaller installer(test::trustingConfiguration(), folders);
    EXPECT_EQ(installer.installedBundle("com.halvex.same"), folders.pluginDirectory / "A.vst3");
    EXPECT_EQ(installer.installedBundle("com.halvex.hidden"), std::nullopt);
    EXPECT_EQ(installer.installedAudioUnit("com.halvex.same.au"), folders.audioUnitDirectory / "A.component");
    EXPECT_EQ(installer.installedClap("com.halvex.same.clap"), folders.clapDirectory / "A.clap");
    EXPECT_EQ(installer.legacyInstalledBundle("com.halvex.same"), std::nullopt)
        << "a given VST3 folder never looks there";

    folders.usesManagedSystemDirectory = true;
    EXPECT_EQ(
        PluginInstaller(test::trustingConfiguration(), folders).legacyInstalledBundle("com.halvex.same"),
        folders.legacyVST3Directory / "Old.vst3");
    folders.legacyVST3Directory = folders.pluginDirectory / ".";
    EXPECT_EQ(
        PluginInstaller(test::trustingConfiguration(), folders).legacyInstalledBundle("com.halvex.same"),
        std::nullopt)
        << "the same folder as the VST3 folder is not searched twice";
}

}  // namespace
}  // namespace halvex

namespace halvex {
namespace {

// Makes a folder look as if it last changed an hour ago, so its cached listing is trusted.
void ageFolder(const std::filesystem::path& folder) {
    std::filesystem::last_write_time(folder,
                                     std::filesystem::file_time_type::clock::now() - std::chrono::hours(1));
}

TEST(InstalledBundleIndex, SeesBundlesSwappedInAndInfoEditedInPlace) {
    test::TemporaryDirectory folder;
    const auto plugins = folder / "VST3";
    test::writeBundle(plugins, "A.vst3", {.identifier = "com.halvex.a", .version = "1.0.0"});
    ageFolder(plugins);
    const InstalledBundleIndex index;
    EXPECT_EQ(index.find(plugins, "vst3", "com.halvex.a")->info.version, "1.0.0");
    EXPECT_EQ(index.find(plugins, "vst3", "com.halvex.b"), std::nullopt);

    // A new bundle renamed into the folder changes the folder's own timestamps.
    test::writeBundle(folder.path(), "B.vst3", {.identifier = "com.halvex.b", .version = "2.0.0"});
    std::filesystem::rename(folder / "B.vst3", plugins / "B.vst3");
    EXPECT_EQ(index.find(plugins, "vst3", "com.halvex.b")->path, plugins / "B.vst3");

    // An Info.plist rewritten in place leaves the folder's timestamps alone.
    ageFolder(plugins);
    EXPECT_EQ(index.find(plugins, "vst3", "com.halvex.a")->info.version, "1.0.0");
    test::writeBundle(plugins, "A.vst3", {.identifier = "com.halvex.a", .version = "1.1.0"});
    EXPECT_EQ(index.find(plugins, "vst3", "com.halvex.a")->info.version, "1.1.0");

    std::filesystem::remove_all(plugins);
    EXPECT_EQ(index.find(plugins, "vst3", "com.halvex.a"), std::nullopt);
}

}  // namespace
}  // namespace halvex
