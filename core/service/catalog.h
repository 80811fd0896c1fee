#pragma once

// The service's catalogue records and the rules that pick, for one product, the release to install, to
// test or to update to. Plain values; decoding is strict (see json_decoding.h), encoding leaves absent
// optionals out.

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "core/foundation/json_decoding.h"
#include "core/foundation/url.h"
#include "core/library/product_discovery.h"

namespace halvex {

// Where a product's store page lives; the slug follows.
inline constexpr const char* storeProductPagePrefix = "https://store.halvexaudio.com/products/";

struct AudioUnitIdentity {
    std::string bundleID;
    std::string type;
    std::string subtype;
    std::string manufacturer;

    bool operator==(const AudioUnitIdentity&) const = default;
    static AudioUnitIdentity decode(const json::JSONObject& object);
    nlohmann::json encode() const;
};

struct ClapIdentity {
    std::string bundleID;
    std::string pluginID;

    bool operator==(const ClapIdentity&) const = default;
    static ClapIdentity decode(const json::JSONObject& object);
    nlohmann::json encode() const;
};

struct SubscriptionAccess {
    std::string planID;
    std::string name;
    std::string status;
    std::int64_t accessUntil = 0;
    Url iconURL;

    bool operator==(const SubscriptionAccess&) const = default;
    static SubscriptionAccess decode(const json::JSONObject& object);
    nlohmann::json encode() const;
};

struct SubscriptionOffer {
    std::string planID;
    std::string name;
    Url purchaseURL;
    Url iconURL;

    bool operator==(const SubscriptionOffer&) const = default;
    static SubscriptionOffer decode(const json::JSONObject& object);
    nlohmann::json encode() const;
};

struct Product {
    std::string productID;
    std::string slug;
    std::string name;
    std::string bundleID;
    std::string processorFUID;
    std::string controllerFUID;
    Url iconURL;
    bool owned = false;
    std::optional<std::string> accessSource;
    std::optional<std::string> visibility;
    std::optional<bool> betaAccess;
    std::optional<Url> purchaseURL;
    std::optional<ProductDiscovery> discovery;

    const std::string& id() const { return productID; }
    bool isPurchased() const;
    std::optional<Url> storeURL() const;
    bool isPrivate() const { return visibility == "private"; }
    // The catalogue's discovery texts, else the built-in ones for the slug (never mixed).
    const ProductDiscovery& presentation() const {
        return discovery ? *discovery : ProductDiscovery::bundled(slug);
    }
    bool hasBetaAccess() const { return betaAccess == true; }

    bool operator==(const Product&) const = default;
    static Product decode(const json::JSONObject& object);
    nlohmann::json encode() const;
};

struct Release {
    std::string releaseID;
    std::string productID;
    std::string slug;
    std::string name;
    std::string bundleID;
    std::string version;
    std::string channel;
    std::string platform;
    std::vector<std::string> architectures;
    std::string minimumOS;
    std::string minimumHubVersion;
    std::int64_t sizeBytes = 0;
    std::string sha256;
    std::string manifest;
    Url downloadURL;
    std::int64_t publishedAt = 0;
    std::optional<AudioUnitIdentity> audioUnit;
    std::optional<ClapIdentity> clap;
    std::optional<bool> vst3;

    const std::string& id() const { return releaseID; }
    bool includesVST3() const { return vst3.value_or(true); }

    bool operator==(const Release&) const = default;
    static Release decode(const json::JSONObject& object);
    nlohmann::json encode() const;
};

struct Catalog {
    std::optional<SubscriptionAccess> subscription;
    std::optional<SubscriptionOffer> subscriptionOffer;
    std::vector<Product> products;
    std::vector<Release> releases;

    // The first beta release, for an owned product with beta access.
    std::optional<Release> testRelease(const Product& product) const;
    // The first stable release; for a private product, the first beta release when owned with beta access.
    std::optional<Release> installableRelease(const Product& product) const;
    // The newest release of the channel the installation follows; a candidate the caller still compares
    // with the installed version.
    std::optional<Release> updateRelease(const Product& product,
                                         const std::optional<std::string>& installedVersion,
                                         const std::optional<std::string>& channel) const;

    bool operator==(const Catalog&) const = default;
    static Catalog decode(const json::JSONObject& object);
    nlohmann::json encode() const;
};

}  // namespace halvex
