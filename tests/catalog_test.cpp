#include "core/service/catalog.h"

#include <gtest/gtest.h>

#include "core/service/hub_release.h"

namespace halvex {
namespace {

using JSON = nlohmann::json;

JSON productJSON(const std::string& id = "prod_a") {
    return {{"product_id", id},
            {"slug", "aurora-delay"},
            {"name", "Aurora Delay"},
            {"bundle_id", "com.halvex.aurora"},
            {"vst3_processor_fuid", "P"},
            {"vst3_controller_fuid", "C"},
            {"icon_url", "https://cdn.example/icon.png"},
            {"owned", true}};
}

JSON releaseJSON(const std::string& version = "1.0.0", const std::string& channel = "stable",
                 const std::string& product = "prod_a") {
    return {{"release_id", "rel_" + version},
            {"product_id", product},
            {"slug", "aurora-delay"},
            {"name", "Aurora Delay"},
            {"bundle_id", "com.halvex.aurora"},
            {"version", version},
            {"channel", channel},
            {"platform", "macos"},
            {"architectures", {"arm64", "x86_64"}},
            {"minimum_os", "13.0"},
            {"minimum_hub_version", "1.0.0"},
            {"size_bytes", 5000},
            {"sha256", std::string(64, 'a')},
            {"manifest", "a.b.c"},
            {"download_url", "https://cdn.example/a.zip"},
            {"published_at", 1700000000}};
}

Catalog decoded(const JSON& document) {
    return json::decodeRecord<Catalog>(document.dump());
}

TEST(CatalogDecoding, MinimalCatalogueDecodesAndOneWithoutReleasesDoesNot) {
    const auto catalog = decoded({{"products", JSON::array()}, {"releases", JSON::array()}});
    EXPECT_TRUE(catalog.products.empty());
    EXPECT_FALSE(catalog.subscription.has_value());
    EXPECT_THROW(decoded({{"products", JSON::array()}}), DecodingError);
    EXPECT_THROW(json::decodeRecord<Catalog>("{\"products\":[],\"releases\":["), DecodingError);
    EXPECT_THROW(json::decodeRecord<Catalog>("[]"), DecodingError);
}

// One member changed in an otherwise valid product or release: does the whole catalogue still decode?
struct MemberCase {
    const char* record;  // "product" or "release"
    const char* member;
    JSON value;  // JSON() with discard=true removes the member
    bool remove;
    bool decodes;
};

TEST(CatalogDecoding, RequiredAndOptionalMembersFollowTheStrictRules) {
    const std::vector<MemberCase> table = {
        {"product", "owned", nullptr, true, false},
        {"product", "owned", nullptr, false, false},
        {"product", "owned", "true", false, false},
        {"product", "owned", 1, false, false},
        {"product", "icon_url", "not a url", false, false},
        {"product", "icon_url", 7, false, false},
        {"product", "visibility", nullptr, false, true},
        {"product", "visibility", 3, false, false},
        {"product", "beta_access", "yes", false, false},
        {"product", "purchase_url", "https://store.example/buy", false, true},
        {"product", "purchase_url", "::bad", false, false},
        {"product",
         "discovery",
         {{"category", "Delay"}, {"tagline", "t"}, {"overview", "o"}, {"features", {"a"}}},
         false,
         true},
        {"product", "discovery", {{"category", "Delay"}, {"tagline", "t"}, {"overview", "o"}}, false, false},
        {"product",
         "discovery",
         {{"category", "D"}, {"tagline", "t"}, {"overview", "o"}, {"features", {1}}},
         false,
         false},
        {"product", "unknown_member", {{"anything", 1}}, false, true},
        {"product", "Owned", true, false, true},  // names match exactly; this one is just unknown
        {"release", "size_bytes", 5000.0, false, true},
        {"release", "size_bytes", 5000.5, false, false},
        {"release", "size_bytes", "5000", false, false},
        {"release", "size_bytes", 18446744073709551615ull, false, false},
        {"release", "architectures", "arm64", false, false},
        {"release", "architectures", {"arm64", nullptr}, false, false},
        {"release", "download_url", nullptr, false, false},
        {"release", "vst3", false, false, true},
        {"release", "vst3", "false", false, false},
        {"release",
         "audio_unit",
         {{"bundle_id", "b"}, {"type", "aufx"}, {"subtype", "Aurd"}, {"manufacturer", "Hlvx"}},
         false,
         true},
        {"release", "audio_unit", {{"bundle_id", "b"}, {"type", "aufx"}}, false, false},
        {"release", "clap", {{"bundle_id", "b"}, {"plugin_id", "com.halvex.aurora"}}, false, true},
        {"release", "clap", nullptr, false, true},
        {"release", "published_at", nullptr, true, false},
    };
    for (const auto& row : table) {
        JSON product = productJSON();
        JSON release = releaseJSON();
        JSON& target = std::string(row.record) == "product" ? product : release;
        if (row.remove) {
            target.erase(row.member);
        } else {
            target[row.member] = row.value;
        }
        const JSON document = {{"products", {product}}, {"releases", {release}}};
        if (row.decodes) {
            EXPECT_NO_THROW(decoded(document)) << row.record << "." << row.member << " = " << row.value;
        } else {
            EXPECT_THROW(decoded(document), DecodingError)
                << row.record << "." << row.member << " = " << row.value;
        }
    }
}

TEST(CatalogDecoding, EncodingLeavesAbsentOptionalsOutAndRoundTrips) {
    JSON product = productJSON();
    product["beta_access"] = true;
    JSON release = releaseJSON();
    release["clap"] = {{"bundle_id", "b"}, {"plugin_id", "p"}};
    const JSON document = {{"subscription",
                            {{"plan_id", "p"},
                             {"name", "All Access"},
                             {"status", "payment_grace"},
                             {"access_until", 1800000000},
                             {"icon_url", "https://cdn.example/plan.png"}}},
                           {"products", {product}},
                           {"releases", {release}}};
    const auto catalog = decoded(document);
    const auto encoded = catalog.encode();
    EXPECT_FALSE(encoded.contains("subscription_offer"));
    EXPECT_FALSE(encoded["products"][0].contains("visibility"));
    EXPECT_FALSE(encoded["releases"][0].contains("vst3"));
    EXPECT_FALSE(encoded["releases"][0].contains("audio_unit"));
    EXPECT_EQ(encoded["products"][0]["beta_access"], true);
    EXPECT_EQ(decoded(encoded), catalog);

    JSON hub = releaseJSON();
    hub["release_notes"] = "Notes";
    const auto hubRelease = json::decodeRecord<HubRelease>(hub.dump());
    EXPECT_EQ(json::decodeRecord<HubRelease>(hubRelease.encode().dump()), hubRelease);
}

TEST(CatalogComputedValues, PurchaseStoreURLAndVST3) {
    auto product = Product::decode(json::JSONObject(productJSON(), ""));
    const std::vector<std::pair<std::optional<std::string>, bool>> purchases = {
        {"purchase", true},
        {"purchase_and_subscription", true},
        {"subscription", false},
        {"complimentary", false},
        {std::nullopt, false}};
    for (const auto& [source, purchased] : purchases) {
        product.accessSource = source;
        EXPECT_EQ(product.isPurchased(), purchased) << source.value_or("(absent)");
    }
    product.accessSource = "purchase";
    product.owned = false;
    EXPECT_FALSE(product.isPurchased());

    const std::vector<std::pair<std::string, bool>> slugs = {{"my-plugin2", true}, {"my plugin", false},
                                                             {"my_plugin", false}, {"pl\u00fcgin", false},
                                                             {"", false},          {"../x", false}};
    for (const auto& [slug, hasURL] : slugs) {
        product.slug = slug;
        const auto url = product.storeURL();
        EXPECT_EQ(url.has_value(), hasURL) << slug;
        if (url) {
            EXPECT_EQ(url->string(), std::string(storeProductPagePrefix) + slug);
        }
    }
    product.slug = "my-plugin2";
    product.visibility = "private";
    EXPECT_FALSE(product.storeURL().has_value());

    auto release = Release::decode(json::JSONObject(releaseJSON(), ""));
    EXPECT_TRUE(release.includesVST3());
    release.vst3 = false;
    EXPECT_FALSE(release.includesVST3());
}

// Selection rules over one product's releases.
struct SelectionCase {
    const char* name;
    std::vector<std::pair<std::string, std::string>> releases;  // version, channel (in catalogue order)
    std::optional<std::string> visibility;
    std::optional<bool> betaAccess;
    bool owned;
    std::optional<std::string> installed;
    std::optional<std::string> channel;
    std::optional<std::string> expectedInstallable;
    std::optional<std::string> expectedTest;
    std::optional<std::string> expectedUpdate;
};

TEST(CatalogSelection, Table) {
    using Releases = std::vector<std::pair<std::string, std::string>>;
    const Releases stableTwo = {{"1.2.0", "stable"}, {"1.3.0", "stable"}};
    const std::vector<SelectionCase> table = {
        {"first stable installs, newest updates", stableTwo, {}, {}, true, "1.2.0", {}, "1.2.0", {}, "1.3.0"},
        {"not owned: no update", stableTwo, {}, {}, false, "1.2.0", {}, "1.2.0", {}, {}},
        {"nothing installed: no update", stableTwo, {}, {}, true, {}, {}, "1.2.0", {}, {}},
        {"installed beyond stable follows beta, without access nothing",
         {{"1.3.0", "stable"}, {"1.4.0-beta.1", "beta"}},
         {},
         false,
         true,
         "1.4.0-beta.2",
         {},
         "1.3.0",
         {},
         {}},
        {"installed beyond stable follows beta",
         {{"1.3.0", "stable"}, {"1.4.0-beta.1", "beta"}, {"1.4.0-beta.3", "beta"}},
         {},
         true,
         true,
         "1.4.0-beta.2",
         {},
         "1.3.0",
         "1.4.0-beta.1",
         "1.4.0-beta.3"},
        {"beta equal to latest stable stays stable",
         {{"1.3.0", "beta"}, {"1.3.0", "stable"}, {"1.4.0-rc.1", "beta"}},
         {},
         true,
         true,
         "1.3.0",
         {},
         "1.3.0",
         "1.3.0",
         "1.3.0"},
        {"installed exact beta with newer stable elsewhere follows beta",
         {{"1.2.0", "stable"}, {"1.3.0-beta.1", "beta"}, {"1.3.0-beta.2", "beta"}},
         {},
         true,
         true,
         "1.3.0-beta.1",
         {},
         "1.2.0",
         "1.3.0-beta.1",
         "1.3.0-beta.2"},
        {"recorded nightly: nothing", stableTwo, {}, true, true, "1.2.0", "nightly", "1.2.0", {}, {}},
        {"recorded beta without access: nothing",
         stableTwo,
         {},
         false,
         true,
         "1.2.0",
         "beta",
         "1.2.0",
         {},
         {}},
        {"private with stable recorded: nothing",
         {{"1.0.0", "beta"}, {"1.1.0", "stable"}},
         "private",
         true,
         true,
         "1.0.0",
         "stable",
         "1.0.0",
         "1.0.0",
         {}},
        {"private follows beta",
         {{"1.0.0", "beta"}, {"1.1.0", "beta"}},
         "private",
         true,
         true,
         "1.0.0",
         {},
         "1.0.0",
         "1.0.0",
         "1.1.0"},
        {"private without beta access: nothing to install",
         {{"1.0.0", "beta"}},
         "private",
         false,
         true,
         "1.0.0",
         {},
         {},
         {},
         {}},
        {"private unowned: nothing to install",
         {{"1.0.0", "beta"}},
         "private",
         true,
         false,
         {},
         {},
         {},
         {},
         {}},
        {"unparseable first stays the pick",
         {{"banana", "stable"}, {"2.0.0", "stable"}},
         {},
         {},
         true,
         "1.0.0",
         "stable",
         "banana",
         {},
         "banana"},
        {"unparseable later never becomes the pick",
         {{"1.0.0", "stable"}, {"x.y.z", "stable"}},
         {},
         {},
         true,
         "1.0.0",
         {},
         "1.0.0",
         {},
         "1.0.0"},
        {"no releases", {}, {}, true, true, "1.0.0", {}, {}, {}, {}},
    };
    for (const auto& row : table) {
        JSON releases = JSON::array();
        for (const auto& [version, channel] : row.releases) releases.push_back(releaseJSON(version, channel));
        releases.push_back(releaseJSON("9.9.9", "stable", "prod_other"));
        JSON product = productJSON();
        product["owned"] = row.owned;
        if (row.visibility) product["visibility"] = *row.visibility;
        if (row.betaAccess) product["beta_access"] = *row.betaAccess;
        const auto catalog = decoded({{"products", {product}}, {"releases", releases}});
        const auto& subject = catalog.products.front();
        const auto version = [](const std::optional<Release>& release) -> std::optional<std::string> {
            if (!release) return std::nullopt;
            return release->version;
        };
        EXPECT_EQ(version(catalog.installableRelease(subject)), row.expectedInstallable) << row.name;
        EXPECT_EQ(version(catalog.testRelease(subject)), row.expectedTest) << row.name;
        EXPECT_EQ(version(catalog.updateRelease(subject, row.installed, row.channel)), row.expectedUpdate)
            << row.name;
    }
}

}  // namespace
}  // namespace halvex
