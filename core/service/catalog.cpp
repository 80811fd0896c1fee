#include "core/service/catalog.h"

#include <algorithm>
#include <functional>

#include "core/foundation/semantic_version.h"

namespace halvex {

using json::encoded;
using json::putOptional;

AudioUnitIdentity AudioUnitIdentity::decode(const json::JSONObject& object) {
    return {object.required<std::string>("bundle_id"), object.required<std::string>("type"),
            object.required<std::string>("subtype"), object.required<std::string>("manufacturer")};
}

nlohmann::json AudioUnitIdentity::encode() const {
    return {{"bundle_id", bundleID}, {"type", type}, {"subtype", subtype}, {"manufacturer", manufacturer}};
}

ClapIdentity ClapIdentity::decode(const json::JSONObject& object) {
    return {object.required<std::string>("bundle_id"), object.required<std::string>("plugin_id")};
}

nlohmann::json ClapIdentity::encode() const {
    return {{"bundle_id", bundleID}, {"plugin_id", pluginID}};
}

SubscriptionAccess SubscriptionAccess::decode(const json::JSONObject& object) {
    return {object.required<std::string>("plan_id"), object.required<std::string>("name"),
            object.required<std::string>("status"), object.required<std::int64_t>("access_until"),
            object.required<Url>("icon_url")};
}

nlohmann::json SubscriptionAccess::encode() const {
    return {{"plan_id", planID},
            {"name", name},
            {"status", status},
            {"access_until", accessUntil},
            {"icon_url", encoded(iconURL)}};
}

SubscriptionOffer SubscriptionOffer::decode(const json::JSONObject& object) {
    return {object.required<std::string>("plan_id"), object.required<std::string>("name"),
            object.required<Url>("purchase_url"), object.required<Url>("icon_url")};
}

nlohmann::json SubscriptionOffer::encode() const {
    return {{"plan_id", planID},
            {"name", name},
            {"purchase_url", encoded(purchaseURL)},
            {"icon_url", encoded(iconURL)}};
}

Product Product::decode(const json::JSONObject& object) {
    return {
        object.required<std::string>("product_id"),
        object.required<std::string>("slug"),
        object.required<std::string>("name"),
        object.required<std::string>("bundle_id"),
        object.required<std::string>("vst3_processor_fuid"),
        object.required<std::string>("vst3_controller_fuid"),
        object.required<Url>("icon_url"),
        object.required<bool>("owned"),
        object.optional<std::string>("access_source"),
        object.optional<std::string>("visibility"),
        object.optional<bool>("beta_access"),
        object.optional<Url>("purchase_url"),
        object.optional<ProductDiscovery>("discovery"),
    };
}

nlohmann::json Product::encode() const {
    nlohmann::json object = {{"product_id", productID},
                             {"slug", slug},
                             {"name", name},
                             {"bundle_id", bundleID},
                             {"vst3_processor_fuid", processorFUID},
                             {"vst3_controller_fuid", controllerFUID},
                             {"icon_url", encoded(iconURL)},
                             {"owned", owned}};
    putOptional(object, "access_source", accessSource);
    putOptional(object, "visibility", visibility);
    putOptional(object, "beta_access", betaAccess);
    putOptional(object, "purchase_url", purchaseURL);
    putOptional(object, "discovery", discovery);
    return object;
}

bool Product::isPurchased() const {
    return owned && (accessSource == "purchase" || accessSource == "purchase_and_subscription");
}

std::optional<Url> Product::storeURL() const {
    const auto storeSafe = [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
    };
    if (isPrivate() || slug.empty() || !std::all_of(slug.begin(), slug.end(), storeSafe)) return std::nullopt;
    return Url::parse(std::string(storeProductPagePrefix) + slug);
}

Release Release::decode(const json::JSONObject& object) {
    return {
        object.required<std::string>("release_id"),
        object.required<std::string>("product_id"),
        object.required<std::string>("slug"),
        object.required<std::string>("name"),
        object.required<std::string>("bundle_id"),
        object.required<std::string>("version"),
        object.required<std::string>("channel"),
        object.required<std::string>("platform"),
        object.required<std::vector<std::string>>("architectures"),
        object.required<std::string>("minimum_os"),
        object.required<std::string>("minimum_hub_version"),
        object.required<std::int64_t>("size_bytes"),
        object.required<std::string>("sha256"),
        object.required<std::string>("manifest"),
        object.required<Url>("download_url"),
        object.required<std::int64_t>("published_at"),
        object.optional<AudioUnitIdentity>("audio_unit"),
        object.optional<ClapIdentity>("clap"),
        object.optional<bool>("vst3"),
    };
}

nlohmann::json Release::encode() const {
    nlohmann::json object = {{"release_id", releaseID},
                             {"product_id", productID},
                             {"slug", slug},
                             {"name", name},
                             {"bundle_id", bundleID},
                             {"version", version},
                             {"channel", channel},
                             {"platform", platform},
                             {"architectures", architectures},
                             {"minimum_os", minimumOS},
                             {"minimum_hub_version", minimumHubVersion},
                             {"size_bytes", sizeBytes},
                             {"sha256", sha256},
                             {"manifest", manifest},
                             {"download_url", encoded(downloadURL)},
                             {"published_at", publishedAt}};
    putOptional(object, "audio_unit", audioUnit);
    putOptional(object, "clap", clap);
    putOptional(object, "vst3", vst3);
    return object;
}

Catalog Catalog::decode(const json::JSONObject& object) {
    return {
        object.optional<SubscriptionAccess>("subscription"),
        object.optional<SubscriptionOffer>("subscription_offer"),
        object.required<std::vector<Product>>("products"),
        object.required<std::vector<Release>>("releases"),
    };
}

nlohmann::json Catalog::encode() const {
    nlohmann::json object = {{"products", encoded(products)}, {"releases", encoded(releases)}};
    putOptional(object, "subscription", subscription);
    putOptional(object, "subscription_offer", subscriptionOffer);
    return object;
}

namespace {

std::vector<const Release*> releasesOf(const std::vector<Release>& releases, const Product& product,
                                       const std::function<bool(const Release&)>& keep = {}) {
    std::vector<const Release*> result;
    for (const auto& release : releases) {
        if (release.productID == product.productID && (!keep || keep(release))) result.push_back(&release);
    }
    return result;
}

std::vector<const Release*> onChannel(const std::vector<Release>& releases, const Product& product,
                                      const std::string& channel) {
    return releasesOf(releases, product, [&](const Release& release) { return release.channel == channel; });
}

std::optional<Release> first(const std::vector<const Release*>& releases) {
    if (releases.empty()) return std::nullopt;
    return *releases.front();
}

// Of equal or unreadable versions the earlier release stays the pick.
std::optional<Release> newest(const std::vector<const Release*>& releases) {
    if (releases.empty()) return std::nullopt;
    const Release* pick = releases.front();
    for (const auto* release : releases) {
        if (SemanticVersion::isNewer(release->version, pick->version)) pick = release;
    }
    return *pick;
}

std::string effectiveChannel(const std::vector<Release>& releases, const Product& product,
                             const std::string& installedVersion, const std::optional<std::string>& channel) {
    if (channel) return *channel;
    if (product.isPrivate()) return "beta";
    const auto latestStable = newest(onChannel(releases, product, "stable"));
    const auto betas = onChannel(releases, product, "beta");
    const auto installedBeta = std::find_if(betas.begin(), betas.end(), [&](const Release* release) {
        return release->version == installedVersion;
    });
    if (installedBeta != betas.end() && (!latestStable || latestStable->version != installedVersion))
        return "beta";
    if (latestStable && SemanticVersion::isNewer(installedVersion, latestStable->version)) return "beta";
    return "stable";
}

}  // namespace

std::optional<Release> Catalog::testRelease(const Product& product) const {
    if (!product.owned || !product.hasBetaAccess()) return std::nullopt;
    return first(onChannel(releases, product, "beta"));
}

std::optional<Release> Catalog::installableRelease(const Product& product) const {
    if (product.isPrivate()) {
        if (!product.owned || !product.hasBetaAccess()) return std::nullopt;
        return first(onChannel(releases, product, "beta"));
    }
    return first(onChannel(releases, product, "stable"));
}

std::optional<Release> Catalog::updateRelease(const Product& product,
                                              const std::optional<std::string>& installedVersion,
                                              const std::optional<std::string>& channel) const {
    if (!product.owned || !installedVersion) return std::nullopt;
    const auto effective = effectiveChannel(releases, product, *installedVersion, channel);
    if (effective != "stable" && effective != "beta") return std::nullopt;
    if (effective == "beta" && !product.hasBetaAccess()) return std::nullopt;
    if (effective == "stable" && product.isPrivate()) return std::nullopt;
    return newest(onChannel(releases, product, effective));
}

}  // namespace halvex
