#include "app/presentation/library_presentation.h"

#include <algorithm>

#include "core/library/library_search.h"

namespace halvex::app {

namespace {

std::set<std::string> installedSet(const LibraryState& state) {
    std::set<std::string> installed;
    for (const auto& [productID, product] : state.products) {
        if (product.installed()) installed.insert(productID);
    }
    return installed;
}

int countProducts(const LibraryState& state, bool (*predicate)(const Product&)) {
    if (state.catalog == nullptr) return 0;
    return static_cast<int>(
        std::count_if(state.catalog->products.begin(), state.catalog->products.end(), predicate));
}

}  // namespace

std::vector<const Product*> filteredProducts(const LibraryState& state) {
    std::vector<const Product*> result;
    if (state.catalog == nullptr) return result;
    const auto& products = state.catalog->products;
    const auto installed = installedSet(state);
    if (state.searchIndex != nullptr && state.searchIndex->size() == products.size()) {
        for (const auto position :
             state.searchIndex->filter(state.scope, installed, std::nullopt, std::nullopt, state.query)) {
            result.push_back(&products[position]);
        }
        return result;
    }
    const LibrarySearchIndex index(products);
    for (const auto position :
         index.filter(state.scope, installed, std::nullopt, std::nullopt, state.query)) {
        result.push_back(&products[position]);
    }
    return result;
}

int sectionTotal(const LibraryState& state) {
    if (state.catalog == nullptr) return 0;
    if (state.scope == LibraryScope::installed) {
        return countProducts(state, [](const Product& product) { return product.owned; });
    }
    return static_cast<int>(state.catalog->products.size());
}

std::optional<SectionHeading> librarySectionHeading(const LibraryState& state, int count) {
    switch (state.scope) {
        case LibraryScope::discover:
            return std::nullopt;
        case LibraryScope::installed:
            return SectionHeading{"Installed plugins", count, sectionTotal(state)};
        case LibraryScope::purchased:
            return SectionHeading{"Purchased plugins", count, sectionTotal(state)};
        case LibraryScope::all:
        case LibraryScope::access:
            break;
    }
    return SectionHeading{"Available to you", count, sectionTotal(state)};
}

SectionHeading discoverySectionHeading(const LibraryState& state, int count) {
    const int notOwned = countProducts(state, [](const Product& product) { return !product.owned; });
    if (state.scope == LibraryScope::discover) return {"Discover your next sound", count, notOwned};
    const int all = state.catalog ? static_cast<int>(state.catalog->products.size()) : 0;
    return {"Explore more", notOwned, all};
}

std::string sectionCountText(const SectionHeading& heading) {
    return std::to_string(heading.count) + " of " + std::to_string(heading.total);
}

LibraryBanner libraryBanner(const LibraryState& state) {
    if (state.catalog == nullptr) return LibraryBanner::none;
    if (state.checkingInstallations) return LibraryBanner::checkingPlugins;
    return state.phase.is(Phase::Kind::blocked) ? LibraryBanner::blocked : LibraryBanner::none;
}

std::string emptyLibraryTitle(const LibraryState& state) {
    return state.catalog && !state.catalog->products.empty() ? "No plugins to show" : "Catalog unavailable";
}

std::string emptyLibraryMessage(const LibraryState& state) {
    if (state.catalog == nullptr || state.catalog->products.empty()) {
        return "The catalog is unavailable. Try Refresh to check again.";
    }
    if (!state.query.empty()) return "Try another search or clear the search field.";
    switch (state.scope) {
        case LibraryScope::all:
            return "No plugins are available right now.";
        case LibraryScope::access:
            return "Purchase a plugin or get NOVA ACCESS to start your library.";
        case LibraryScope::purchased:
            return "You have no permanent purchases. Plugins included with NOVA ACCESS appear under My "
                   "access.";
        case LibraryScope::installed:
            return "Install a plugin from your library to see it here.";
        case LibraryScope::discover:
            return "You have access to every plugin in your catalog.";
    }
    return {};
}

SubscriptionCard subscriptionCard(const LibraryState& state) {
    if (state.catalog == nullptr) return SubscriptionCard::none;
    if (const auto& subscription = state.catalog->subscription) {
        if (subscription->status == "payment_grace") return SubscriptionCard::paymentGrace;
        if (subscription->status == "active" || subscription->status == "trialing")
            return SubscriptionCard::active;
    }
    return state.catalog->subscriptionOffer ? SubscriptionCard::offer : SubscriptionCard::none;
}

UpdateSummary updateSummary(const LibraryState& state) {
    using Kind = BackgroundServiceController::State::Kind;
    switch (state.backgroundServiceState.kind) {
        case Kind::requiresApproval:
            return {"Background updates need approval", "exclamationmark.circle", ColourRole::warning};
        case Kind::unavailable:
            return {"Background updates are off", "exclamationmark.triangle", ColourRole::warning};
        case Kind::active:
            break;
    }
    if (state.backgroundStatus && state.backgroundStatus->error) {
        return {"Updates need attention", "exclamationmark.circle", ColourRole::warning};
    }
    return {"Updates are automatic", "checkmark.circle.fill", ColourRole::signal};
}

}  // namespace halvex::app
