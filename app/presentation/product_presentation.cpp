#include "app/presentation/product_presentation.h"

#include <cstdio>
#include <vector>

#include "app/library/product_outlook.h"
#include "core/foundation/semantic_version.h"

namespace halvex::app {

namespace {

std::string accessLabel(const Product& product) {
    const auto source = product.accessSource.value_or("");
    if (source == "private_beta") return "Private beta";
    if (source == "complimentary") return "Complimentary access";
    if (source == "subscription") return "Included with NOVA ACCESS";
    if (source == "purchase_and_subscription") return "Purchased + NOVA ACCESS";
    if (source == "purchase") return "Purchased";
    return "Access active";
}

std::optional<std::string> channelWord(const Product& product, const std::optional<Release>& publicRelease,
                                       const std::optional<Release>& testRelease,
                                       const std::string& installed) {
    const bool publicInstalled = publicRelease && publicRelease->version == installed;
    const bool testInstalled = testRelease && testRelease->version == installed;
    if (publicInstalled && testInstalled) return std::nullopt;
    if (testInstalled) return "Test";
    if (publicInstalled && publicRelease->channel == "stable") return "Public";
    if (publicInstalled && product.isPrivate()) return "Private beta";
    return std::nullopt;
}

bool isUpdating(const LibraryState& state, const Product& product) {
    return state.phase.isUpdating(product.productID);
}

bool sameRelease(const std::optional<Release>& release, const Release& other) {
    return release && release->releaseID == other.releaseID;
}

}  // namespace

std::string statusText(const LibraryState& state, const Product& product) {
    static const Catalog noCatalog;
    const auto& facts = state.product(product.productID);
    const auto& installed = facts.installedVersion;
    const auto label = accessLabel(product);
    switch (productStatus(state.catalog ? *state.catalog : noCatalog, product, facts)) {
        case ProductStatus::notOwned:
            return installed ? "Installed " + *installed + " \u00b7 Access required"
                             : "Available to purchase";
        case ProductStatus::held:
            return label + " \u00b7 " +
                   (facts.heldVersion->empty() ? std::string("Held") : "Held at " + *facts.heldVersion);
        case ProductStatus::updateStaged:
            return *facts.pendingVersion + " ready \u00b7 Restart your DAW to finish";
        case ProductStatus::notInstalled:
            return label + " \u00b7 Not installed";
        case ProductStatus::incomplete:
        case ProductStatus::updateAvailable:
        case ProductStatus::upToDate:
            break;
    }
    const auto word =
        channelWord(product, state.publicRelease(product), state.testRelease(product), *installed);
    if (word) return label + " \u00b7 " + *word + " " + *installed + " installed";
    return label + " \u00b7 " + *installed + " installed";
}

std::string releaseActionTitle(const LibraryState& state, const Release& release,
                               const std::optional<std::string>& installed) {
    std::string word = "test";
    if (release.channel == "stable") {
        word = "public";
    } else if (release.channel == "beta" && state.catalog != nullptr) {
        for (const auto& product : state.catalog->products) {
            if (product.productID == release.productID && product.isPrivate()) word = "private beta";
            if (product.productID == release.productID) break;
        }
    }
    const std::string verb = !installed                      ? "Install "
                             : *installed == release.version ? "Repair "
                                                             : "Update to ";
    return verb + word + " " + release.version;
}

ProductAction productAction(const LibraryState& state, const Product& product) {
    using Kind = ProductAction::Kind;
    if (!product.owned) {
        static const auto storeHost = Url::parse(storeProductPagePrefix)->host();
        const bool purchasable = product.purchaseURL && product.purchaseURL->scheme() == "https" &&
                                 product.purchaseURL->host() == storeHost;
        return {Kind::purchase, "Purchase", std::nullopt, purchasable};
    }
    if (isUpdating(state, product)) return {Kind::installing, "", std::nullopt};

    static const Catalog noCatalog;
    const auto& facts = state.product(product.productID);
    const auto next = nextAction(state.catalog ? *state.catalog : noCatalog, product, facts);
    switch (next.kind) {
        case NextAction::Kind::releaseHold:
            return {Kind::releaseHold, "Release", std::nullopt};
        case NextAction::Kind::restartHosts:
            return {Kind::restartDAW, "Restart DAW", std::nullopt};
        case NextAction::Kind::install:
        case NextAction::Kind::update:
        case NextAction::Kind::repair:
            return {Kind::install, releaseActionTitle(state, *next.release, facts.installedVersion),
                    next.release};
        case NextAction::Kind::purchase:
        case NextAction::Kind::none:
            break;
    }
    if (!facts.installedVersion) return {Kind::releasePending, "Release pending", std::nullopt};
    const auto publicRelease = state.publicRelease(product);
    const auto testRelease = state.testRelease(product);
    const auto& installed = *facts.installedVersion;
    const bool current = (testRelease && testRelease->version == installed) ||
                         (publicRelease && publicRelease->version == installed);
    return {Kind::installed, current ? "Up to date" : "Installed", std::nullopt};
}

std::optional<SecondaryLink> secondaryLink(const LibraryState& state, const Product& product) {
    if (!product.owned || isUpdating(state, product) || state.product(product.productID).pendingVersion ||
        state.product(product.productID).heldVersion) {
        return std::nullopt;
    }
    const auto installed = state.product(product.productID).installedVersion;
    const auto publicRelease = state.publicRelease(product);
    const auto testRelease = state.testRelease(product);
    const auto primary = primaryRelease(publicRelease, testRelease, state.product(product.productID));

    if (product.isPrivate()) {
        if (testRelease && installed && SemanticVersion::isNewer(*installed, testRelease->version) &&
            !sameRelease(primary, *testRelease)) {
            return SecondaryLink{"Return to private beta " + testRelease->version, "", *testRelease};
        }
        return std::nullopt;
    }
    if (publicRelease && publicRelease->channel == "stable" && installed &&
        SemanticVersion::isNewer(*installed, publicRelease->version) &&
        !sameRelease(primary, *publicRelease)) {
        return SecondaryLink{"Return to public " + publicRelease->version,
                             "Replaces the installed test build with the public release", *publicRelease};
    }
    if (testRelease &&
        (!publicRelease || SemanticVersion::isNewer(testRelease->version, publicRelease->version)) &&
        (!installed || SemanticVersion::isNewer(testRelease->version, *installed)) &&
        !sameRelease(primary, *testRelease)) {
        return SecondaryLink{"Use test " + testRelease->version, "", *testRelease};
    }
    return std::nullopt;
}

std::string installProgressText(const PluginInstaller::Progress& progress, double bytesPerSecond) {
    using Step = PluginInstaller::Progress::Step;
    if (progress.step == Step::verifying) return "Verifying\u2026";
    if (progress.step == Step::installing) return "Installing\u2026";
    if (progress.bytesTotal == 0) return "Preparing\u2026";
    const auto megabytes = [](double bytes) {
        char text[32];
        std::snprintf(text, sizeof text, "%.1f", bytes / 1e6);
        return std::string(text);
    };
    auto text = megabytes(static_cast<double>(progress.bytesDone)) + " of " +
                megabytes(static_cast<double>(progress.bytesTotal)) + " MB";
    if (bytesPerSecond > 0) text += " \u00b7 " + megabytes(bytesPerSecond) + " MB/s";
    return text;
}

std::vector<ManagementControl> managementControls(const LibraryState& state, const Product& product) {
    using Kind = ManagementControl::Kind;
    const bool enabled = !state.phase.is(Phase::Kind::updating);
    const auto& name = product.name;
    const auto installed = state.product(product.productID).installedVersion;
    const auto held = state.product(product.productID).heldVersion;
    std::vector<ManagementControl> controls;
    if (const auto previous = state.product(product.productID).revertVersion) {
        const auto replaced = installed ? name + " " + *installed + " is replaced by " + *previous + ", "
                                        : name + " " + *previous + " is installed again, ";
        controls.push_back({Kind::revert, "Revert to " + *previous, enabled, "Revert " + name + "?",
                            replaced + "the version kept on this computer. Automatic updates skip " + name +
                                " until you release it.",
                            "Revert"});
    }
    if (held) {
        controls.push_back({Kind::releaseHold, "Release", enabled, "", "", ""});
    } else if (installed) {
        controls.push_back(
            {Kind::hold, "Hold at " + *installed, enabled, "Hold " + name + " at " + *installed + "?",
             "Automatic updates and Update All skip " + name + " until you release it.", "Hold"});
    }
    if (installed) {
        controls.push_back({Kind::uninstall, "Uninstall", enabled, "Uninstall " + name + "?",
                            "Every format of " + name + " " + *installed +
                                " is removed from this computer. It is kept, so Revert can bring it back.",
                            "Uninstall"});
    }
    return controls;
}

}  // namespace halvex::app
