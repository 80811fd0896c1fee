#include "app/presentation/library_presentation.h"

#include <gtest/gtest.h>

#include "app/presentation/product_accent.h"
#include "app/presentation/product_presentation.h"

namespace halvex::app {
namespace {

Release release(const std::string& productID, const std::string& version, const std::string& channel) {
    return Release{.releaseID = "rel_" + productID + "_" + channel + "_" + version,
                   .productID = productID,
                   .name = "Plugin " + productID,
                   .version = version,
                   .channel = channel,
                   .downloadURL = *Url::parse("https://cdn.example/" + productID + ".zip")};
}

Product product(const std::string& id, bool owned, std::optional<std::string> access = "purchase",
                std::optional<std::string> visibility = std::nullopt, bool betaAccess = true) {
    return Product{.productID = id,
                   .slug = id,
                   .name = "Plugin " + id,
                   .iconURL = *Url::parse("https://cdn.example/" + id + ".png"),
                   .owned = owned,
                   .accessSource = std::move(access),
                   .visibility = std::move(visibility),
                   .betaAccess = betaAccess};
}

// One product "p" with the given releases, and a state that reads it.
struct Library {
    Catalog catalog;
    LibraryState state;

    explicit Library(Product item, std::vector<Release> releases = {}) {
        catalog.products = {std::move(item)};
        catalog.releases = std::move(releases);
        state.catalog = &catalog;
    }
    // The state points into this object's own catalogue, also in a copy.
    Library(const Library& other) : catalog(other.catalog), state(other.state) { state.catalog = &catalog; }
    const Product& item() const { return catalog.products.front(); }
    Library& installed(const std::string& version) {
        state.products[item().productID].installedVersion = version;
        return *this;
    }
    Library& pending(const std::string& version) {
        state.products[item().productID].pendingVersion = version;
        return *this;
    }
    Library& held(const std::string& version) {
        state.products[item().productID].heldVersion = version;
        return *this;
    }
    Library& revertible(const std::string& version) {
        state.products[item().productID].revertVersion = version;
        return *this;
    }
};

TEST(ProductStatus, AccessChannelAndInstallationStates) {
    const auto stable = release("p", "1.0.0", "stable");
    const auto beta = release("p", "1.1.0-beta.1", "beta");
    const auto betaAtStable = release("p", "1.0.0", "beta");
    struct Case {
        const char* name;
        Library library;
        std::optional<std::string> installed;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"not owned", Library(product("p", false)), std::nullopt, "Available to purchase"},
        {"not owned, installed", Library(product("p", false)), "1.0.0",
         "Installed 1.0.0 \u00b7 Access required"},
        {"pending wins over a newer release",
         std::move(Library(product("p", true), {release("p", "3.0.0", "stable")}).pending("2.0.0")), "1.0.0",
         "2.0.0 ready \u00b7 Restart your DAW to finish"},
        {"private beta", Library(product("p", true, "private_beta")), std::nullopt,
         "Private beta \u00b7 Not installed"},
        {"complimentary", Library(product("p", true, "complimentary")), std::nullopt,
         "Complimentary access \u00b7 Not installed"},
        {"subscription", Library(product("p", true, "subscription")), std::nullopt,
         "Included with NOVA ACCESS \u00b7 Not installed"},
        {"both", Library(product("p", true, "purchase_and_subscription")), std::nullopt,
         "Purchased + NOVA ACCESS \u00b7 Not installed"},
        {"absent source", Library(product("p", true, std::nullopt)), std::nullopt,
         "Access active \u00b7 Not installed"},
        {"unknown source", Library(product("p", true, "gift")), std::nullopt,
         "Access active \u00b7 Not installed"},
        {"both channels at the installed version", Library(product("p", true), {stable, betaAtStable}),
         "1.0.0", "Purchased \u00b7 1.0.0 installed"},
        {"test installed", Library(product("p", true), {stable, beta}), "1.1.0-beta.1",
         "Purchased \u00b7 Test 1.1.0-beta.1 installed"},
        {"public installed", Library(product("p", true), {stable, beta}), "1.0.0",
         "Purchased \u00b7 Public 1.0.0 installed"},
        {"public installed without beta access",
         Library(product("p", true, "purchase", std::nullopt, false), {stable, beta}), "1.0.0",
         "Purchased \u00b7 Public 1.0.0 installed"},
        {"neither channel's version", Library(product("p", true), {stable, beta}), "0.9.0",
         "Purchased \u00b7 0.9.0 installed"},
        {"held", std::move(Library(product("p", true), {stable, beta}).held("1.0.0")), "1.0.0",
         "Purchased \u00b7 Held at 1.0.0"},
        {"held wins over its staged update",
         std::move(Library(product("p", true, "subscription")).held("1.0.0").pending("2.0.0")), "1.0.0",
         "Included with NOVA ACCESS \u00b7 Held at 1.0.0"},
        {"held, version unreadable", std::move(Library(product("p", true)).held("")), "1.0.0",
         "Purchased \u00b7 Held"},
        {"not owned, held", std::move(Library(product("p", false)).held("1.0.0")), "1.0.0",
         "Installed 1.0.0 \u00b7 Access required"},
    };
    for (const auto& test : cases) {
        auto library = test.library;
        if (test.installed) library.installed(*test.installed);
        EXPECT_EQ(statusText(library.state, library.item()), test.expected) << test.name;
    }
}

TEST(PrimaryRelease, NewerRepairAndStagedCases) {
    const auto p10 = release("p", "1.0.0", "stable");
    const auto p11 = release("p", "1.1.0", "stable");
    const auto t11 = release("p", "1.1.0", "beta");
    const auto t12 = release("p", "1.2.0-beta.1", "beta");
    struct Case {
        const char* name;
        std::optional<Release> publicRelease, testRelease;
        std::optional<std::string> installed, pending;
        bool incomplete;
        std::optional<Release> expected;
    };
    const std::vector<Case> cases = {
        {"nothing installed: public", p10, t12, std::nullopt, std::nullopt, false, p10},
        {"nothing installed: test alone", std::nullopt, t12, std::nullopt, std::nullopt, false, t12},
        {"nothing installed, no releases", std::nullopt, std::nullopt, std::nullopt, std::nullopt, false,
         std::nullopt},
        {"equal versions prefer public", p11, t11, "1.0.0", std::nullopt, false, p11},
        {"equal versions prefer public, test first", t11, p11, "1.0.0", std::nullopt, false, p11},
        {"newest wins", p11, t12, "1.0.0", std::nullopt, false, t12},
        {"repair without a staged version", p10, std::nullopt, "1.0.0", std::nullopt, false, p10},
        {"repair dropped: staged newer", p10, std::nullopt, "1.0.0", "1.1.0", false, std::nullopt},
        {"repair dropped: staged same, complete", p10, std::nullopt, "1.0.0", "1.0.0", false, std::nullopt},
        {"repair kept: staged same, incomplete", p10, std::nullopt, "1.0.0", "1.0.0", true, p10},
        {"repair kept: staged older", p10, std::nullopt, "1.0.0", "0.9.0", false, p10},
        {"test at the installed version is no repair", std::nullopt, t11, "1.1.0", std::nullopt, false,
         std::nullopt},
        {"older releases only", p10, std::nullopt, "2.0.0", std::nullopt, false, std::nullopt},
    };
    for (const auto& test : cases) {
        const ProductState state{.installedVersion = test.installed,
                                 .pendingVersion = test.pending,
                                 .incomplete = test.incomplete};
        EXPECT_EQ(primaryRelease(test.publicRelease, test.testRelease, state), test.expected) << test.name;
    }
}

TEST(ReleaseActionTitle, VerbAndChannelWord) {
    Library publicProduct(product("p", true));
    Library privateProduct(product("p", true, "private_beta", "private"));
    LibraryState noCatalogue;
    struct Case {
        const LibraryState* state;
        Release release;
        std::optional<std::string> installed;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {&publicProduct.state, release("p", "1.0.0", "stable"), std::nullopt, "Install public 1.0.0"},
        {&publicProduct.state, release("p", "1.0.0", "stable"), "1.0.0", "Repair public 1.0.0"},
        {&publicProduct.state, release("p", "2.0.0-beta.1", "beta"), "1.0.0", "Update to test 2.0.0-beta.1"},
        {&privateProduct.state, release("p", "0.9.0", "beta"), "0.8.0", "Update to private beta 0.9.0"},
        {&noCatalogue, release("p", "0.9.0", "beta"), std::nullopt, "Install test 0.9.0"},
        {&publicProduct.state, release("p", "0.9.0", "nightly"), std::nullopt, "Install test 0.9.0"},
        {&privateProduct.state, release("other", "0.9.0", "beta"), std::nullopt, "Install test 0.9.0"},
    };
    for (const auto& test : cases) {
        EXPECT_EQ(releaseActionTitle(*test.state, test.release, test.installed), test.expected);
    }
}

TEST(ProductAction, FirstMatchingState) {
    using Kind = ProductAction::Kind;
    const auto stable = release("p", "1.0.0", "stable");
    const auto beta = release("p", "1.1.0-beta.1", "beta");

    auto forSale = product("p", false);
    EXPECT_EQ(productAction(Library(forSale).state, forSale),
              (ProductAction{Kind::purchase, "Purchase", std::nullopt, false}))
        << "no purchase URL";
    forSale.purchaseURL = Url::parse("https://store.halvexaudio.com/products/p");
    EXPECT_TRUE(productAction(Library(forSale).state, forSale).enabled);
    for (const auto* url : {"http://store.halvexaudio.com/products/p", "https://elsewhere.example/p"}) {
        forSale.purchaseURL = Url::parse(url);
        EXPECT_FALSE(productAction(Library(forSale).state, forSale).enabled) << url;
    }

    Library updating(product("p", true), {stable});
    updating.state.phase = Phase::updating("p");
    EXPECT_EQ(productAction(updating.state, updating.item()).kind, Kind::installing);
    updating.state.phase = Phase::updating("other");
    EXPECT_EQ(productAction(updating.state, updating.item()).kind, Kind::install)
        << "another product installs";

    Library staged(product("p", true), {release("p", "9.0.0", "stable")});
    staged.installed("1.0.0").pending("2.0.0");
    EXPECT_EQ(productAction(staged.state, staged.item()),
              (ProductAction{Kind::restartDAW, "Restart DAW", std::nullopt}))
        << "a staged version beats a newer release";

    Library fresh(product("p", true), {stable, beta});
    EXPECT_EQ(productAction(fresh.state, fresh.item()),
              (ProductAction{Kind::install, "Install public 1.0.0", stable}));
    Library older(product("p", true), {stable});
    older.installed("0.9.0");
    EXPECT_EQ(productAction(older.state, older.item()).title, "Update to public 1.0.0");

    EXPECT_EQ(productAction(Library(product("p", true)).state, product("p", true)),
              (ProductAction{Kind::releasePending, "Release pending", std::nullopt}));

    Library onTest(product("p", true), {stable, beta});
    onTest.installed("1.1.0-beta.1");
    EXPECT_EQ(productAction(onTest.state, onTest.item()),
              (ProductAction{Kind::installed, "Up to date", std::nullopt}));
    Library ahead(product("p", true), {stable});
    ahead.installed("3.0.0");
    EXPECT_EQ(productAction(ahead.state, ahead.item()),
              (ProductAction{Kind::installed, "Installed", std::nullopt}));

    Library held(product("p", true), {release("p", "2.0.0", "stable"), beta});
    held.installed("1.0.0").held("1.0.0").pending("2.0.0");
    EXPECT_EQ(productAction(held.state, held.item()),
              (ProductAction{Kind::releaseHold, "Release", std::nullopt}))
        << "a held product offers no installation, not even its staged one";
    EXPECT_EQ(secondaryLink(held.state, held.item()), std::nullopt);
    held.state.phase = Phase::updating("p");
    EXPECT_EQ(productAction(held.state, held.item()).kind, Kind::installing);
}

TEST(ManagementControls, RevertHoldOrReleaseAndUninstallByWhatIsOnThisComputer) {
    using Kind = ManagementControl::Kind;
    struct Case {
        const char* name;
        Library library;
        std::vector<std::pair<Kind, std::string>> expected;  // kind, title
    };
    const std::vector<Case> cases = {
        {"nothing installed or kept", Library(product("p", true)), {}},
        {"installed",
         std::move(Library(product("p", true)).installed("1.2.0")),
         {{Kind::hold, "Hold at 1.2.0"}, {Kind::uninstall, "Uninstall"}}},
        {"updated, previous kept",
         std::move(Library(product("p", true)).installed("1.2.0").revertible("1.1.0")),
         {{Kind::revert, "Revert to 1.1.0"}, {Kind::hold, "Hold at 1.2.0"}, {Kind::uninstall, "Uninstall"}}},
        {"reverted: held, the newer one kept",
         std::move(Library(product("p", true)).installed("1.1.0").held("1.1.0").revertible("1.2.0")),
         {{Kind::revert, "Revert to 1.2.0"}, {Kind::releaseHold, "Release"}, {Kind::uninstall, "Uninstall"}}},
        {"uninstalled, kept",
         std::move(Library(product("p", false)).revertible("1.2.0")),
         {{Kind::revert, "Revert to 1.2.0"}}},
    };
    for (const auto& test : cases) {
        std::vector<std::pair<Kind, std::string>> shown;
        for (const auto& control : managementControls(test.library.state, test.library.item())) {
            shown.emplace_back(control.kind, control.title);
            EXPECT_TRUE(control.enabled) << test.name;
            // Everything but Release asks first.
            EXPECT_EQ(control.confirmationButton.empty(), control.kind == Kind::releaseHold) << test.name;
        }
        EXPECT_EQ(shown, test.expected) << test.name;
    }

    Library library(product("p", true));
    library.installed("1.2.0").revertible("1.1.0");
    const auto controls = managementControls(library.state, library.item());
    EXPECT_EQ(controls.front(),
              (ManagementControl{Kind::revert, "Revert to 1.1.0", true, "Revert Plugin p?",
                                 "Plugin p 1.2.0 is replaced by 1.1.0, the version kept on this computer. "
                                 "Automatic updates skip Plugin p until you release it.",
                                 "Revert"}));
    EXPECT_EQ(controls.back().confirmationMessage,
              "Every format of Plugin p 1.2.0 is removed from this computer. It is kept, so Revert can bring "
              "it back.");
    library.state.phase = Phase::updating("other");
    for (const auto& control : managementControls(library.state, library.item()))
        EXPECT_FALSE(control.enabled) << "an installation runs";
}

TEST(SecondaryLink, AtMostOneLinkToTheOtherChannel) {
    const auto stable = release("p", "1.0.0", "stable");
    const auto beta = release("p", "1.1.0-beta.1", "beta");
    const auto oldBeta = release("p", "0.9.0-beta.1", "beta");
    struct Case {
        const char* name;
        Library library;
        std::optional<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"not installed: offer the newer test build", Library(product("p", true), {stable, beta}),
         "Use test 1.1.0-beta.1"},
        {"test build older than public", Library(product("p", true), {stable, oldBeta}), std::nullopt},
        {"on the test build: return to public",
         std::move(Library(product("p", true), {stable, beta}).installed("1.1.0-beta.1")),
         "Return to public 1.0.0"},
        {"on public with a newer test: the test is the primary action",
         std::move(Library(product("p", true), {stable, beta}).installed("1.0.0")), std::nullopt},
        {"both channels at one version",
         std::move(Library(product("p", true), {stable, release("p", "1.0.0", "beta")}).installed("1.0.0")),
         std::nullopt},
        {"no beta access", Library(product("p", true, "purchase", std::nullopt, false), {stable, beta}),
         std::nullopt},
        {"not owned", Library(product("p", false), {stable, beta}), std::nullopt},
        {"staged update",
         std::move(Library(product("p", true), {stable, beta}).installed("1.1.0-beta.1").pending("1.2.0")),
         std::nullopt},
        {"private beta ahead of its channel",
         std::move(Library(product("p", true, "private_beta", "private"), {oldBeta}).installed("1.0.0")),
         "Return to private beta 0.9.0-beta.1"},
        {"private beta on its channel",
         std::move(
             Library(product("p", true, "private_beta", "private"), {oldBeta}).installed("0.9.0-beta.1")),
         std::nullopt},
    };
    for (const auto& test : cases) {
        const auto link = secondaryLink(test.library.state, test.library.item());
        EXPECT_EQ(link ? std::optional(link->title) : std::nullopt, test.expected) << test.name;
    }
    Library onTest(product("p", true), {stable, beta});
    onTest.installed("1.1.0-beta.1");
    const auto back = secondaryLink(onTest.state, onTest.item());
    ASSERT_TRUE(back);
    EXPECT_EQ(back->release, stable);
    EXPECT_EQ(back->helpText, "Replaces the installed test build with the public release");
}

TEST(InstallProgressText, SizeThenRateThenLaterSteps) {
    using Step = PluginInstaller::Progress::Step;
    const struct {
        PluginInstaller::Progress progress;
        double rate;
        std::string text;
    } cases[] = {
        {{Step::downloading, 0, 0}, 0, "Preparing\u2026"},
        {{Step::downloading, 21'400'000, 48'000'000}, 0, "21.4 of 48.0 MB"},
        {{Step::downloading, 21'449'999, 48'000'000}, 6'160'000, "21.4 of 48.0 MB \u00b7 6.2 MB/s"},
        {{Step::verifying, 48'000'000, 48'000'000}, 6e6, "Verifying\u2026"},
        {{Step::installing, 48'000'000, 48'000'000}, 6e6, "Installing\u2026"},
    };
    for (const auto& item : cases) EXPECT_EQ(installProgressText(item.progress, item.rate), item.text);
}

TEST(LibraryList, HeadingsCountsAndEmptyMessagesByScope) {
    Catalog catalog;
    catalog.products = {product("owned", true, "purchase"), product("sub", true, "subscription"),
                        product("free", false, std::nullopt)};
    catalog.products[2].name = "Caf\u00e9 Verb";
    const LibrarySearchIndex index(catalog.products);
    LibraryState state;
    state.catalog = &catalog;
    state.searchIndex = &index;
    state.products["sub"].installedVersion = "1.0.0";

    struct Case {
        LibraryScope scope;
        std::string query;
        std::optional<SectionHeading> heading;
        SectionHeading discovery;
        std::string empty;
    };
    const std::vector<Case> cases = {
        {LibraryScope::all,
         "",
         SectionHeading{"Available to you", 3, 3},
         {"Explore more", 1, 3},
         "No plugins are available right now."},
        {LibraryScope::access,
         "",
         SectionHeading{"Available to you", 2, 3},
         {"Explore more", 1, 3},
         "Purchase a plugin or get NOVA ACCESS to start your library."},
        {LibraryScope::purchased,
         "",
         SectionHeading{"Purchased plugins", 1, 3},
         {"Explore more", 1, 3},
         "You have no permanent purchases. Plugins included with NOVA ACCESS appear under My access."},
        {LibraryScope::installed,
         "",
         SectionHeading{"Installed plugins", 1, 2},
         {"Explore more", 1, 3},
         "Install a plugin from your library to see it here."},
        {LibraryScope::discover,
         "",
         std::nullopt,
         {"Discover your next sound", 1, 1},
         "You have access to every plugin in your catalog."},
        {LibraryScope::discover,
         "CAFE",
         std::nullopt,
         {"Discover your next sound", 1, 1},
         "Try another search or clear the search field."},
        {LibraryScope::installed,
         "zzz",
         SectionHeading{"Installed plugins", 0, 2},
         {"Explore more", 1, 3},
         "Try another search or clear the search field."},
    };
    for (const auto& test : cases) {
        state.scope = test.scope;
        state.query = test.query;
        const int count = static_cast<int>(filteredProducts(state).size());
        EXPECT_EQ(librarySectionHeading(state, count), test.heading) << rawValue(test.scope) << test.query;
        EXPECT_EQ(discoverySectionHeading(state, count), test.discovery)
            << rawValue(test.scope) << test.query;
        EXPECT_EQ(emptyLibraryMessage(state), test.empty) << rawValue(test.scope) << test.query;
        EXPECT_EQ(emptyLibraryTitle(state), "No plugins to show");
    }
    EXPECT_EQ(sectionCountText({"Available to you", 2, 12}), "2 of 12");

    state.searchIndex = nullptr;
    state.scope = LibraryScope::all;
    state.query = "verb";
    ASSERT_EQ(filteredProducts(state).size(), 1u) << "works without a prepared index";
    EXPECT_EQ(filteredProducts(state).front(), &catalog.products[2]) << "points into the catalogue";

    const Catalog noProducts;
    for (const auto* unavailable : {static_cast<const Catalog*>(nullptr), &noProducts}) {
        state.catalog = unavailable;
        EXPECT_TRUE(filteredProducts(state).empty());
        EXPECT_EQ(sectionTotal(state), 0);
        EXPECT_EQ(emptyLibraryTitle(state), "Catalog unavailable");
        EXPECT_EQ(emptyLibraryMessage(state), "The catalog is unavailable. Try Refresh to check again.");
    }
}

// The first scan of a new catalogue shows "Checking your plugins…" whichever phase led there, a blocked
// retry included; the blocked banner only once that scan is over.
TEST(LibraryBanner, CheckingWhileTheFirstScanRunsElseTheBlockedBanner) {
    struct Case {
        Phase phase;
        bool checking;
        bool catalogue;
        LibraryBanner expected;
    };
    const std::vector<Case> cases = {
        {Phase::loading(), true, true, LibraryBanner::checkingPlugins},
        {Phase::authorizing("HVX-1"), true, true, LibraryBanner::checkingPlugins},
        {Phase::blocked("down"), true, true, LibraryBanner::checkingPlugins},
        {Phase::blocked("down"), false, true, LibraryBanner::blocked},
        {Phase::loading(), false, true, LibraryBanner::none},
        {Phase::ready(), false, true, LibraryBanner::none},
        {Phase::blocked("down"), true, false, LibraryBanner::none},
    };
    for (const auto& c : cases) {
        Library library(product("p", true));
        library.state.phase = c.phase;
        library.state.checkingInstallations = c.checking;
        if (!c.catalogue) library.state.catalog = nullptr;
        EXPECT_EQ(libraryBanner(library.state), c.expected)
            << c.phase.name() << " checking " << c.checking << " catalogue " << c.catalogue;
    }
}

TEST(UpdateSummary, FollowsTheBackgroundServiceAndItsLastStatus) {
    using State = BackgroundServiceController::State;
    LibraryState state;
    const auto summary = [&](State service, std::optional<std::string> error) {
        state.backgroundServiceState = std::move(service);
        state.backgroundStatus = BackgroundAgentStatus{1.0, "checked", std::move(error)};
        return updateSummary(state);
    };
    EXPECT_EQ(summary(State::requiresApproval(), "boom").iconName, "exclamationmark.circle");
    EXPECT_EQ(summary(State::requiresApproval(), std::nullopt).colour, ColourRole::warning);
    EXPECT_EQ(summary(State::unavailable("gone"), std::nullopt).colour, ColourRole::warning);
    const auto attention = summary(State::active(), "The service is unreachable.");
    EXPECT_EQ(attention,
              (UpdateSummary{"Updates need attention", "exclamationmark.circle", ColourRole::warning}));
    EXPECT_EQ(attention.accessibilityLabel(), "Updates need attention. Show details");
    const auto fine = summary(State::active(), std::nullopt);
    EXPECT_EQ(fine.iconName, "checkmark.circle.fill");
    EXPECT_EQ(fine.colour, ColourRole::signal);
    state.backgroundStatus.reset();
    EXPECT_EQ(updateSummary(state), fine) << "no status file yet";
}

TEST(SubscriptionCard, ActiveOrGraceSubscriptionElseOffer) {
    const SubscriptionAccess access{"nova", "NOVA ACCESS", "active", 0,
                                    *Url::parse("https://cdn.example/n.png")};
    const SubscriptionOffer offer{"nova", "NOVA ACCESS", *Url::parse("https://store.halvexaudio.com/nova"),
                                  *Url::parse("https://cdn.example/n.png")};
    struct Case {
        std::optional<std::string> status;
        bool withOffer;
        SubscriptionCard expected;
    };
    const std::vector<Case> cases = {
        {"active", true, SubscriptionCard::active},
        {"trialing", false, SubscriptionCard::active},
        {"payment_grace", true, SubscriptionCard::paymentGrace},
        {"expired", true, SubscriptionCard::offer},
        {"expired", false, SubscriptionCard::none},
        {std::nullopt, true, SubscriptionCard::offer},
        {std::nullopt, false, SubscriptionCard::none},
    };
    for (const auto& test : cases) {
        Catalog catalog;
        if (test.status) {
            catalog.subscription = access;
            catalog.subscription->status = *test.status;
        }
        if (test.withOffer) catalog.subscriptionOffer = offer;
        LibraryState state;
        state.catalog = &catalog;
        EXPECT_EQ(subscriptionCard(state), test.expected) << test.status.value_or("none") << test.withOffer;
    }
    EXPECT_EQ(subscriptionCard(LibraryState{}), SubscriptionCard::none);
}

TEST(ProductAccent, CatalogueAccentThenSlugTableThenDefault) {
    auto item = product("p", true);
    item.slug = "aurora-delay";
    const auto fromTable = accentRGB(item);
    EXPECT_NE(fromTable, defaultAccentRGB);
    item.discovery = ProductDiscovery{"c", "t", "o", {}, std::nullopt, "#102030"};
    EXPECT_EQ(accentRGB(item), 0x102030u);
    item.discovery->accent = "not a colour";
    EXPECT_EQ(accentRGB(item), fromTable) << "an unreadable accent falls back to the slug's colour";
    EXPECT_EQ(accentRGB("no-such-slug"), defaultAccentRGB);
    for (const auto slug : ProductDiscovery::bundledSlugs())
        EXPECT_NE(accentRGB(slug), defaultAccentRGB) << slug;
}

}  // namespace
}  // namespace halvex::app
