#include "core/foundation/halvex_configuration.h"

#include <gtest/gtest.h>

#include <fstream>

#include "core/foundation/halvex_error.h"
#include "halvex/build_constants.h"
#include "tests/support/temporary_directory.h"

namespace halvex {
namespace {

using platform::PropertyValue;

class HalvexConfigurationTest : public testing::Test {
  protected:
    // A bundle whose Info.plist holds exactly `plistBytes`.
    Bundle bundleWithInfo(const std::string& plistBytes) {
        const auto path = folder / "Test.app";
        std::filesystem::create_directories(path / "Contents");
        std::ofstream(path / "Contents" / "Info.plist", std::ios::binary) << plistBytes;
        return Bundle::atPath(path);
    }

    static std::string infoWith(PropertyValue value) {
        return platform::xmlPropertyList(
            PropertyValue(PropertyValue::Dictionary{{"HVXAPIBaseURL", std::move(value)}}));
    }

    static std::string resolved(const Bundle& bundle, const platform::Environment& environment) {
        return HalvexConfiguration::bundled(bundle, environment).apiBaseURL.string();
    }

    test::TemporaryDirectory folder;
};

TEST_F(HalvexConfigurationTest, EnvironmentWinsOverInfoPlistWhichWinsOverBuiltIn) {
    const auto bundle = bundleWithInfo(infoWith(std::string("https://plist.example/")));
    EXPECT_EQ(resolved(bundle, {{"HVX_API_BASE_URL", "http://127.0.0.1:8080"}}), "http://127.0.0.1:8080/");
    EXPECT_EQ(resolved(bundle, {}), "https://plist.example/");
    EXPECT_EQ(resolved(bundleWithInfo(platform::binaryPropertyList(PropertyValue(PropertyValue::Dictionary{
                           {"HVXAPIBaseURL", std::string("https://bin.example")}}))),
                       {}),
              "https://bin.example/");
    EXPECT_EQ(resolved(Bundle::atPath(folder / "Missing.app"), {}), Url::parse(build::apiBaseURL)->string());
}

TEST_F(HalvexConfigurationTest, ABaseURLWithAPathIsAccepted) {
    EXPECT_EQ(resolved(bundleWithInfo(""), {{"HVX_API_BASE_URL", "http://localhost:9/base/path"}}),
              "http://localhost:9/base/path");
}

TEST_F(HalvexConfigurationTest, InfoPlistValuesThatAreNoStringFallBackToBuiltIn) {
    const std::string builtIn = Url::parse(build::apiBaseURL)->string();
    const std::vector<std::string> infos = {
        infoWith(std::int64_t{42}),
        infoWith(true),
        infoWith(PropertyValue::Array{std::string("https://a.example")}),
        platform::xmlPropertyList(PropertyValue(PropertyValue::Array{})),  // root is no dictionary
        "<plist><dict><key>HVXAPIBaseURL</key>",                           // truncated XML
        "bplist00\xff\xff\xff",                                            // damaged binary
        "",
    };
    for (const auto& info : infos) EXPECT_EQ(resolved(bundleWithInfo(info), {}), builtIn) << info;
}

TEST_F(HalvexConfigurationTest, MissingOrUnparsableURLsFailWithTheMissingURLSentence) {
    const auto goodBundle = bundleWithInfo(infoWith(std::string("https://plist.example")));
    const std::vector<std::pair<Bundle, platform::Environment>> cases = {
        {goodBundle, {{"HVX_API_BASE_URL", ""}}},
        {goodBundle, {{"HVX_API_BASE_URL", "not a url"}}},
        {goodBundle, {{"HVX_API_BASE_URL", "relative/path"}}},
        {goodBundle, {{"HVX_API_BASE_URL", "http://exa mple.com"}}},
        {goodBundle, {{"HVX_API_BASE_URL", "http://host:99999"}}},
        {bundleWithInfo(infoWith(std::string(""))), {}},
        {bundleWithInfo(infoWith(std::string("::"))), {}},
    };
    for (const auto& [bundle, environment] : cases) {
        try {
            HalvexConfiguration::bundled(bundle, environment);
            ADD_FAILURE() << "accepted " << (environment.empty() ? "plist" : environment.begin()->second);
        } catch (const HalvexError& error) {
            EXPECT_EQ(error.kind(), HalvexError::Case::configuration);
            EXPECT_EQ(error.errorDescription(), "HALVEX HUB is missing its API URL.");
        }
    }
}

TEST_F(HalvexConfigurationTest, TeamIdentifierIsTheCompiledInOne) {
    const auto configuration = HalvexConfiguration::bundled(bundleWithInfo(""), {});
    EXPECT_EQ(configuration.signingTeamID, build::signingTeamID);
    EXPECT_EQ(configuration.signingTeamID.size(), 10u);
}

}  // namespace
}  // namespace halvex
