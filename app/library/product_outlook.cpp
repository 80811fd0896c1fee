#include "app/library/product_outlook.h"

#include <vector>

#include "app/library/product_rules.h"
#include "core/foundation/semantic_version.h"

namespace halvex::app {

std::string_view statusName(ProductStatus status) {
    switch (status) {
        case ProductStatus::notOwned:
            return "not_owned";
        case ProductStatus::held:
            return "held";
        case ProductStatus::updateStaged:
            return "update_staged";
        case ProductStatus::notInstalled:
            return "not_installed";
        case ProductStatus::incomplete:
            return "incomplete";
        case ProductStatus::updateAvailable:
            return "update_available";
        case ProductStatus::upToDate:
            return "up_to_date";
    }
    return "up_to_date";
}

ProductStatus productStatus(const Catalog& catalog, const Product& product, const ProductState& state) {
    if (!product.owned) return ProductStatus::notOwned;
    // A held product's staged update waits for the hold to end, so the hold is where it stands.
    if (state.held()) return ProductStatus::held;
    if (state.pendingVersion) return ProductStatus::updateStaged;
    if (!state.installed()) return ProductStatus::notInstalled;
    if (state.incomplete) return ProductStatus::incomplete;
    if (offeredUpdate(catalog, product, state)) return ProductStatus::updateAvailable;
    return ProductStatus::upToDate;
}

std::optional<Release> primaryRelease(const std::optional<Release>& publicRelease,
                                      const std::optional<Release>& testRelease, const ProductState& state) {
    if (!state.installedVersion) return publicRelease ? publicRelease : testRelease;
    const auto& installed = *state.installedVersion;

    const auto keep = [&](const Release& candidate) {
        if (SemanticVersion::isNewer(candidate.version, installed)) return true;
        if (candidate.channel != "stable" || candidate.version != installed) return false;
        if (!state.pendingVersion) return true;
        const bool stagedNewer = SemanticVersion::isNewer(*state.pendingVersion, candidate.version);
        const bool stagedSameAndComplete = *state.pendingVersion == candidate.version && !state.incomplete;
        return !(stagedNewer || stagedSameAndComplete);
    };
    std::vector<Release> kept;
    for (const auto* candidate : {&publicRelease, &testRelease}) {
        if (*candidate && keep(**candidate)) kept.push_back(**candidate);
    }
    if (kept.empty()) return std::nullopt;

    Release best = kept.front();
    for (std::size_t index = 1; index < kept.size(); ++index) {
        const auto& candidate = kept[index];
        if ((candidate.version == best.version && candidate.channel == "stable") ||
            SemanticVersion::isNewer(candidate.version, best.version)) {
            best = candidate;
        }
    }
    return best;
}

std::string_view actionName(NextAction::Kind kind) {
    using Kind = NextAction::Kind;
    switch (kind) {
        case Kind::purchase:
            return "purchase";
        case Kind::releaseHold:
            return "release_hold";
        case Kind::restartHosts:
            return "restart_hosts";
        case Kind::install:
            return "install";
        case Kind::update:
            return "update";
        case Kind::repair:
            return "repair";
        case Kind::none:
            return "none";
    }
    return "none";
}

NextAction nextAction(const Catalog& catalog, const Product& product, const ProductState& state) {
    using Kind = NextAction::Kind;
    if (!product.owned) return {Kind::purchase, std::nullopt};
    if (state.held()) return {Kind::releaseHold, std::nullopt};
    if (state.pendingVersion) return {Kind::restartHosts, std::nullopt};
    auto release = primaryRelease(catalog.installableRelease(product), catalog.testRelease(product), state);
    if (!release) return {Kind::none, std::nullopt};
    const auto kind = !state.installedVersion                       ? Kind::install
                      : *state.installedVersion == release->version ? Kind::repair
                                                                    : Kind::update;
    return {kind, std::move(release)};
}

}  // namespace halvex::app
