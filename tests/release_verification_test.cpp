#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>

#include "core/foundation/halvex_error.h"
#include "core/install/plugin_installer.h"
#include "platform/base64.h"
#include "tests/support/plugin_fixtures.h"
#include "tests/support/temporary_directory.h"

namespace halvex {
namespace {

using JSON = nlohmann::json;

std::string errorText(const std::function<void()>& action) {
    try {
        action();
    } catch (const HalvexError& error) {
        return error.errorDescription();
    } catch (const DecodingError&) {
        return "(decoding error)";
    }
    return "(passed)";
}

TEST(SignedMetadataVerifier, AcceptsOnlyAnES256TokenSignedByTheServiceKey) {
    const auto verifier = test::trustingVerifier();
    const std::string payload = R"({"schema":1})";
    const auto& key = test::trust().service.privatePEM;
    const auto valid = maker::signToken(payload, key);
    EXPECT_EQ(verifier.verifyReleaseManifest(valid), payload);

    const auto parts = [&] {
        std::vector<std::string> result;
        std::string rest = valid;
        for (auto dot = rest.find('.'); dot != std::string::npos; dot = rest.find('.')) {
            result.push_back(rest.substr(0, dot));
            rest = rest.substr(dot + 1);
        }
        result.push_back(rest);
        return result;
    }();
    auto flipped = platform::base64URLDecode(parts[2]).value();
    flipped[10] = static_cast<char>(flipped[10] ^ 0x01);
    const std::string otherKey = maker::makeKeyPair().privatePEM;

    const std::vector<std::pair<const char*, std::string>> refused = {
        {"two segments", parts[0] + "." + parts[1]},
        {"four segments", valid + "." + parts[2]},
        {"empty", ""},
        {"alg none", maker::signToken(payload, key, R"({"alg":"none","typ":"JWT"})")},
        {"alg HS256", maker::signToken(payload, key, R"({"alg":"HS256","typ":"JWT"})")},
        {"alg lower case", maker::signToken(payload, key, R"({"alg":"es256","typ":"JWT"})")},
        {"typ other", maker::signToken(payload, key, R"({"alg":"ES256","typ":"JOSE"})")},
        {"typ missing", maker::signToken(payload, key, R"({"alg":"ES256"})")},
        {"header not JSON", maker::signToken(payload, key, "ES256")},
        {"flipped signature bit", parts[0] + "." + parts[1] + "." + platform::base64URLEncode(flipped)},
        {"r = s = 0", parts[0] + "." + parts[1] + "." + platform::base64URLEncode(std::string(64, '\0'))},
        {"short signature",
         parts[0] + "." + parts[1] + "." + platform::base64URLEncode(flipped.substr(0, 63))},
        {"other payload", parts[0] + "." + platform::base64URLEncode(R"({"schema":2})") + "." + parts[2]},
        {"another key", maker::signToken(payload, otherKey)},
        {"padding", parts[0] + "=." + parts[1] + "." + parts[2]},
        {"not base64url", parts[0] + "." + parts[1] + "!." + parts[2]},
    };
    for (const auto& [name, token] : refused) {
        EXPECT_EQ(errorText([&] { verifier.verifyReleaseManifest(token); }),
                  "The HALVEX signature is invalid.")
            << name;
    }
}

// A signed release and a way to change the catalogue record, the signed payload, or both.
class ReleaseCheck : public testing::Test {
  protected:
    ReleaseCheck() {
        std::ofstream(archive, std::ios::binary) << "archive bytes";
        spec.minimumOS = "1.0";
        spec.audioUnit = JSON{{"bundle_id", "com.halvex.demo.au"},
                              {"type", "aufx"},
                              {"subtype", "Demo"},
                              {"manufacturer", audioUnitManufacturerCode}};
        spec.clap = JSON{{"bundle_id", "com.halvex.demo.clap"}, {"plugin_id", "com.halvex.demo"}};
    }

    // Applies `change` to the record and/or the payload, signs the payload, and runs the check.
    std::string verify(const std::function<void(JSON& release, JSON& manifest)>& change) const {
        auto described = maker::describeRelease(spec, archive, test::trust().service.privatePEM);
        change(described.release, described.manifest);
        described.release["manifest"] =
            maker::signToken(described.manifest.dump(), test::trust().service.privatePEM);
        const auto release = json::decodeRecord<Release>(described.release.dump());
        return errorText([&] { PluginInstaller::verify(release, test::trustingVerifier()); });
    }

    // The same change on both sides, so only the later rules can object.
    std::string verifyBoth(const char* member, const JSON& value) const {
        return verify([&](JSON& release, JSON& manifest) {
            release[member] = value;
            manifest[member] = value;
        });
    }

    test::TemporaryDirectory folder;
    std::filesystem::path archive = folder / "release.zip";
    maker::ReleaseSpec spec;
};

constexpr const char* mismatch = "The signed release metadata does not match the catalog.";

TEST_F(ReleaseCheck, AFaithfulReleasePasses) {
    EXPECT_EQ(verify([](JSON&, JSON&) {}), "(passed)");
    EXPECT_EQ(verify([](JSON&, JSON& manifest) {
                  manifest["architectures"] = {"x86_64", "arm64"};
              }),
              "(passed)");
    EXPECT_EQ(verify([](JSON&, JSON& manifest) { manifest["unknown"] = 1; }), "(passed)");
}

TEST_F(ReleaseCheck, EveryCatalogueDifferenceIsAMismatch) {
    const std::vector<std::pair<const char*, std::function<void(JSON&, JSON&)>>> table = {
        {"schema 2", [](JSON&, JSON& m) { m["schema"] = 2; }},
        {"release id", [](JSON& r, JSON&) { r["release_id"] = "rel_other"; }},
        {"product id", [](JSON&, JSON& m) { m["product_id"] = "prod_other"; }},
        {"bundle id", [](JSON&, JSON& m) { m["bundle_id"] = "com.halvex.other"; }},
        {"version", [](JSON& r, JSON&) { r["version"] = "1.0.1"; }},
        {"platform both windows", [](JSON& r, JSON& m) { r["platform"] = m["platform"] = "windows"; }},
        {"duplicate architecture",
         [](JSON&, JSON& m) {
             m["architectures"] = {"arm64", "arm64", "x86_64"};
         }},
        {"fewer architectures", [](JSON&, JSON& m) { m["architectures"] = {"arm64"}; }},
        {"minimum os", [](JSON&, JSON& m) { m["minimum_os"] = "2.0"; }},
        {"size", [](JSON& r, JSON&) { r["size_bytes"] = 14; }},
        {"digest in upper case",
         [](JSON& r, JSON&) {
             auto digest = r["sha256"].get<std::string>();
             std::transform(digest.begin(), digest.end(), digest.begin(), ::toupper);
             r["sha256"] = digest;
         }},
        {"audio unit missing in manifest", [](JSON&, JSON& m) { m.erase("audio_unit"); }},
        {"audio unit subtype", [](JSON&, JSON& m) { m["audio_unit"]["subtype"] = "Demp"; }},
        {"clap plugin id", [](JSON&, JSON& m) { m["clap"]["plugin_id"] = "com.halvex.other"; }},
        {"vst3 false in manifest only", [](JSON&, JSON& m) { m["vst3"] = false; }},
        {"no minimum hub version", [](JSON&, JSON& m) { m.erase("minimum_hub_version"); }},
        {"minimum hub version differs", [](JSON&, JSON& m) { m["minimum_hub_version"] = "1.0.1"; }},
        {"no channel", [](JSON&, JSON& m) { m.erase("channel"); }},
        {"channel differs", [](JSON&, JSON& m) { m["channel"] = "beta"; }},
    };
    for (const auto& [name, change] : table) EXPECT_EQ(verify(change), mismatch) << name;

    EXPECT_EQ(verify([](JSON&, JSON& m) { m["vst3"] = true; }), "(passed)")
        << "an explicit true equals absent";
    EXPECT_EQ(verify([](JSON&, JSON& m) { m["size_bytes"] = "13"; }), "(decoding error)");
}

TEST_F(ReleaseCheck, DeltasAreOptionalAndDecodedStrictly) {
    const JSON delta = {{"from_version", "1.2.0"},
                        {"from_manifest_sha256", std::string(64, 'a')},
                        {"url", "deltas/from-1.2.0.hvxdelta"},
                        {"size_bytes", 1234},
                        {"sha256", "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef"}};
    const auto deltas = [](const JSON& list) { return [list](JSON&, JSON& m) { m["deltas"] = list; }; };
    const auto with = [&](const char* member, const JSON& value) {
        auto changed = delta;
        changed[member] = value;
        return JSON::array({changed});
    };
    EXPECT_EQ(verify(deltas(JSON::array({delta, with("url", "https://mirror.example/d")[0]}))), "(passed)");
    EXPECT_EQ(verify(deltas(JSON::array())), "(passed)");
    EXPECT_EQ(verify(deltas(with("unknown", true))), "(passed)");
    EXPECT_EQ(verify(deltas(JSON(std::vector<JSON>(Manifest::maximumDeltas, delta)))), "(passed)");

    const std::vector<std::pair<const char*, JSON>> refused = {
        {"not a list", delta},
        {"not an object", JSON::array({"deltas/from-1.2.0.hvxdelta"})},
        {"no from version", with("from_version", nullptr)},
        {"empty from version", with("from_version", "")},
        {"numeric from version", with("from_version", 1)},
        {"upper-case manifest digest", with("from_manifest_sha256", std::string(64, 'A'))},
        {"short digest", with("sha256", std::string(63, '0'))},
        {"long digest", with("sha256", std::string(65, '0'))},
        {"digest not hex", with("sha256", std::string(63, '0') + "g")},
        {"no size", with("size_bytes", nullptr)},
        {"zero size", with("size_bytes", 0)},
        {"size as text", with("size_bytes", "1234")},
        {"empty url", with("url", "")},
        {"url no reference", with("url", "http://[::1")},
        {"too many", JSON(std::vector<JSON>(Manifest::maximumDeltas + 1, delta))},
    };
    for (const auto& [name, list] : refused) EXPECT_EQ(verify(deltas(list)), "(decoding error)") << name;
}

TEST(ManifestDelta, LiesWhereItsReferenceResolvesFromTheArchiveAddress) {
    const auto archive = Url::parse("https://cdn.example/files/aurora/1.3.0/aurora.zip").value();
    const std::vector<std::pair<const char*, const char*>> table = {
        {"deltas/from-1.2.0.hvxdelta", "https://cdn.example/files/aurora/1.3.0/deltas/from-1.2.0.hvxdelta"},
        {"/files/deltas/d", "https://cdn.example/files/deltas/d"},
        {"https://mirror.example/d", "https://mirror.example/d"},
    };
    for (const auto& [reference, expected] : table) {
        const ManifestDelta delta{.url = reference};
        EXPECT_EQ(delta.location(archive).value().string(), expected) << reference;
    }
}

TEST_F(ReleaseCheck, ClapOnlyPackagesNeedAnInternalBetaForHub105) {
    const auto clapOnly = [&](const std::string& minimumHub, const char* audience, bool withAudioUnit,
                              const char* channel) {
        return verify([&](JSON& r, JSON& m) {
            for (JSON* side : {&r, &m}) {
                (*side)["vst3"] = false;
                (*side)["minimum_hub_version"] = minimumHub;
                (*side)["channel"] = channel;
                if (!withAudioUnit) side->erase("audio_unit");
            }
            if (audience != nullptr) m["audience"] = audience;
        });
    };
    const char* rule = "CLAP-only packages require an internal beta and HUB 1.0.5 or later.";
    EXPECT_EQ(clapOnly("1.0.5", "internal", false, "beta"), "(passed)");
    EXPECT_EQ(clapOnly("1.0.4", "internal", false, "beta"), rule);
    EXPECT_EQ(clapOnly("1.0.5", "public", false, "beta"), rule);
    EXPECT_EQ(clapOnly("1.0.5", nullptr, false, "beta"), rule);
    EXPECT_EQ(clapOnly("1.0.5", "internal", true, "beta"), rule);
    EXPECT_EQ(clapOnly("1.0.5", "internal", false, "stable"), rule);
}

TEST_F(ReleaseCheck, AudioUnitAndClapIdentitiesFollowTheirRules) {
    const char* audioUnit = "The signed Audio Unit identity is invalid.";
    const char* clap = "The signed CLAP identity is invalid.";
    const auto withAudioUnit = [&](const std::string& member, const std::string& value,
                                   const std::string& minimumHub) {
        JSON identity = *spec.audioUnit;
        identity[member] = value;
        return verify([&](JSON& r, JSON& m) {
            r["audio_unit"] = m["audio_unit"] = identity;
            r["minimum_hub_version"] = m["minimum_hub_version"] = minimumHub;
            r.erase("clap");
            m.erase("clap");
        });
    };
    EXPECT_EQ(withAudioUnit("type", "aumu", "0.9.4"), "(passed)");
    EXPECT_EQ(withAudioUnit("type", "aumu", "0.9.3"), audioUnit);
    EXPECT_EQ(withAudioUnit("type", "aufx", "0.9.0"), "(passed)");
    EXPECT_EQ(withAudioUnit("type", "aufx", "0.8.9"), audioUnit);
    EXPECT_EQ(withAudioUnit("type", "aumi", "1.0.0"), audioUnit);
    EXPECT_EQ(withAudioUnit("manufacturer", "Appl", "1.0.0"), audioUnit);
    EXPECT_EQ(withAudioUnit("subtype", "De-o", "1.0.0"), audioUnit);
    EXPECT_EQ(withAudioUnit("subtype", "Demos", "1.0.0"), audioUnit);
    EXPECT_EQ(withAudioUnit("bundle_id", "com.halvex.demo.component", "1.0.0"), audioUnit);

    const auto withClap = [&](const std::string& bundleID, const std::string& pluginID) {
        return verify([&](JSON& r, JSON& m) {
            for (JSON* side : {&r, &m}) {
                (*side)["bundle_id"] = bundleID;
                (*side)["clap"] = {{"bundle_id", bundleID + ".clap"}, {"plugin_id", pluginID}};
                side->erase("audio_unit");
            }
        });
    };
    EXPECT_EQ(withClap("com.halvex.demo2", "com.halvex.demo2"), "(passed)");
    EXPECT_EQ(withClap("com.halvex.Demo", "com.halvex.Demo"), clap);
    EXPECT_EQ(withClap("com.halvex.de-mo", "com.halvex.de-mo"), clap);
    EXPECT_EQ(withClap("com.halvex.demo", "com.halvex.other"), clap);
    EXPECT_EQ(verifyBoth("minimum_hub_version", "0.9.9"), clap);
}

TEST_F(ReleaseCheck, ThisMachineNeedsArm64AndASystemAtLeastTheMinimum) {
    const char* incompatible = "This plugin release is incompatible with this Mac.";
    EXPECT_EQ(verifyBoth("architectures", {"x86_64"}), incompatible);
    EXPECT_EQ(verifyBoth("minimum_os", "999"), incompatible) << "a one-part minimum reads as 999.0.0";
    EXPECT_EQ(verifyBoth("minimum_os", "999.0"), incompatible);
    EXPECT_EQ(verifyBoth("minimum_os", "1"), "(passed)");
    EXPECT_EQ(verifyBoth("minimum_os", "beta"), "(passed)") << "no numeric piece reads as 0.0.0";
}

TEST(ArchiveCheck, SizeThenDigestWithTheWrongDigestDeletingTheArchive) {
    test::TemporaryDirectory folder;
    const auto archive = folder / "a.zip";
    std::ofstream(archive, std::ios::binary) << "0123456789";
    auto release = test::signedRelease(maker::ReleaseSpec{}, archive);

    EXPECT_NO_THROW(PluginInstaller::verifyArchive(archive, release));
    { std::ofstream(archive, std::ios::binary | std::ios::app) << "x"; }
    EXPECT_EQ(errorText([&] { PluginInstaller::verifyArchive(archive, release); }),
              "The downloaded update did not match its signed checksum.");
    EXPECT_TRUE(std::filesystem::exists(archive)) << "a size mismatch keeps the file";

    std::ofstream(archive, std::ios::binary) << "0123456780";
    EXPECT_EQ(errorText([&] { PluginInstaller::verifyArchive(archive, release); }),
              "The downloaded update did not match its signed checksum.");
    EXPECT_FALSE(std::filesystem::exists(archive)) << "a digest mismatch deletes the file";
    EXPECT_EQ(errorText([&] { PluginInstaller::verifyArchive(archive, release); }),
              "The downloaded update did not match its signed checksum.");
    EXPECT_THROW(PluginInstaller::sha256(folder / "missing"), std::system_error);
}

}  // namespace
}  // namespace halvex
