#include "app/library/product_rules.h"

#include <algorithm>

#include "core/foundation/halvex_error.h"
#include "core/foundation/semantic_version.h"
#include "core/library/search_key.h"

namespace halvex::app {

std::optional<Release> dueUpdate(const Catalog& catalog, const Product& product, const ProductState& state) {
    if (!state.installedVersion) return std::nullopt;
    auto release = catalog.updateRelease(product, state.installedVersion, state.installedChannel);
    if (!release) return std::nullopt;
    const bool newer = SemanticVersion::isNewer(release->version, *state.installedVersion);
    const bool repair = release->version == *state.installedVersion && state.incomplete;
    if (!newer && !repair) return std::nullopt;
    return release;
}

std::optional<Release> offeredUpdate(const Catalog& catalog, const Product& product,
                                     const ProductState& state) {
    if (!product.owned || state.held() || state.pendingVersion) return std::nullopt;
    return dueUpdate(catalog, product, state);
}

std::vector<Release> offeredUpdates(const Catalog& catalog, const ProductStates& states) {
    std::vector<Release> updates;
    for (const auto& product : catalog.products) {
        if (auto update = offeredUpdate(catalog, product, stateOf(states, product.productID)))
            updates.push_back(std::move(*update));
    }
    return updates;
}

bool needsNewerHub(const Release& release, const std::string& hubVersion) {
    return SemanticVersion::isNewer(release.minimumHubVersion, hubVersion);
}

void requireMayInstall(const Product* product, const ProductState& state) {
    if (product == nullptr || !product->owned)
        throw HalvexError::backgroundService("Purchase this plugin before installing it.");
    if (state.held()) {
        const auto& version =
            state.heldVersion->empty() ? std::string("its installed version") : *state.heldVersion;
        throw HalvexError::backgroundService(product->name + " is held at " + version +
                                             ". Release the hold to install another version.");
    }
}

void requireInstallable(const Product* product, const ProductState& state, const Release& release,
                        const std::string& hubVersion) {
    requireMayInstall(product, state);
    if (needsNewerHub(release, hubVersion)) {
        throw HalvexError::backgroundService("Update HALVEX HUB before installing " + release.name + " " +
                                             release.version + ".");
    }
}

std::string hostText(const std::vector<std::string>& runningHosts) {
    // Helper processes of the hosts ("… Audio Engine") are no host to restart. Matched without regard to
    // case or accents, the same in every locale.
    const auto engine = searchKey("engine");
    std::vector<std::string> hosts;
    for (const auto& name : runningHosts) {
        if (searchKey(name).find(engine) == std::u32string::npos) hosts.push_back(name);
    }
    std::sort(hosts.begin(), hosts.end());
    hosts.erase(std::unique(hosts.begin(), hosts.end()), hosts.end());
    if (hosts.empty()) return "your DAW";
    std::string text;
    for (const auto& host : hosts) text += (text.empty() ? "" : " and ") + host;
    return text;
}

std::string stagedUpdateNotice(const Release& release, const std::vector<std::string>& runningHosts) {
    return release.name + " " + release.version + " is downloaded and verified. Restart " +
           hostText(runningHosts) + " to finish the update and use the latest version.";
}

std::string updateAllSummary(int installed, int staged) {
    if (staged == 0) return std::to_string(installed) + " plugin updates installed.";
    return std::to_string(staged) + (staged == 1 ? " update" : " updates") +
           " downloaded and verified. Close your DAW to finish installing.";
}

}  // namespace halvex::app
