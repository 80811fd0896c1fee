// The window and halvexctl read the same computer and the same catalogue, and say the same of every
// product: where it stands, what its row offers next, and the update the library offers.

#include <gtest/gtest.h>
#include <qcoro/qcorotask.h>

#include <QCoreApplication>
#include <chrono>
#include <filesystem>
#include <map>
#include <sstream>

#include "app/library/library_service.h"
#include "app/library/product_outlook.h"
#include "app/model/hub_model.h"
#include "app/presentation/product_presentation.h"
#include "ctl/halvex_ctl.h"
#include "tests/support/plugin_fixtures.h"
#include "tests/support/release_builder.h"
#include "tests/support/service_fixture.h"

namespace halvex {
namespace {

using JSON = nlohmann::json;

QCoreApplication& application() {
    static int argc = 1;
    static char name[] = "front_end_agreement_test";
    static char* argv[] = {name, nullptr};
    static QCoreApplication instance(argc, argv);
    return instance;
}

// What one front end says of one product; absent when it does not show the product at all.
struct Outlook {
    std::string status;
    std::string action;
    std::optional<std::string> actionVersion;
    std::optional<std::string> offered;
    bool operator==(const Outlook&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Outlook& outlook) {
    return out << outlook.status << ", " << outlook.action << " " << outlook.actionVersion.value_or("-")
               << ", offered " << outlook.offered.value_or("-");
}

// The window's row action in halvexctl's words: the button's verb says install, update or repair.
std::string actionWord(const app::ProductAction& action) {
    using Kind = app::ProductAction::Kind;
    switch (action.kind) {
        case Kind::purchase:
            return "purchase";
        case Kind::releaseHold:
            return "release_hold";
        case Kind::restartDAW:
            return "restart_hosts";
        case Kind::install:
            if (action.title.starts_with("Install ")) return "install";
            if (action.title.starts_with("Repair ")) return "repair";
            return "update";
        case Kind::installing:
            return "installing";
        case Kind::installed:
        case Kind::releasePending:
            return "none";
    }
    return "none";
}

class FrontEndAgreementTest : public test::ServiceFixture {
  protected:
    FrontEndAgreementTest() {
        application();
        service.setHubRelease(std::nullopt);
        signIn();
    }

    // One computer as every front end finds it, seeing `hosts` running.
    app::LibraryService::Environment environment(std::vector<std::string> hosts = {}) const {
        app::LibraryService::Environment environment;
        environment.configuration = [this] { return test::trustingConfiguration(service.baseURL()); };
        environment.keychain = [this] { return keychain; };
        environment.timeouts = shortTimeouts();
        environment.pluginFolders = [this] { return folders; };
        environment.audioApplications = [hosts] { return hosts; };
        environment.hubVersion = "1.0.5";
        return environment;
    }

    JSON publish(const std::string& product, const std::string& version,
                 const std::string& channel = "stable") {
        return builder
            .plugin({.product = product,
                     .version = version,
                     .channel = channel,
                     .audience = channel == "stable" ? std::nullopt : std::optional<std::string>("internal")})
            .release;
    }

    static JSON productJSON(const std::string& slug, bool owned, const std::string& access = "purchase") {
        return {{"product_id", "prod_" + slug},
                {"slug", slug},
                {"name", slug},
                {"bundle_id", "com.halvex." + slug},
                {"vst3_processor_fuid", "P"},
                {"vst3_controller_fuid", "C"},
                {"icon_url", "https://cdn.example/icon.png"},
                {"owned", owned},
                {"access_source", access},
                {"beta_access", true},
                {"discovery",
                 {{"category", "Reverb"},
                  {"tagline", "Rooms."},
                  {"overview", "."},
                  {"features", JSON::array()}}}};
    }

    static const Product& productOf(const Catalog& catalog, const std::string& slug) {
        for (const auto& product : catalog.products) {
            if (product.slug == slug) return product;
        }
        throw std::logic_error("no product " + slug);
    }

    // Installs `record` of `slug` through the library, as the window or the agent would.
    static void install(app::LibraryService& library, const std::string& slug, const JSON& record,
                        bool prepareWhileDAWRunning = false) {
        const auto catalog = library.client().catalog();
        library.install(catalog, productOf(catalog, slug), test::releaseOf({.release = record}), false,
                        prepareWhileDAWRunning);
    }

    // Every product of the window's model's rows, once it started.
    std::map<std::string, Outlook> window() {
        app::HubModel::Services services;
        services.library = std::make_shared<app::LibraryService>(environment({"REAPER"}));
        services.statusStore = app::BackgroundAgentStatusStore(folders.applicationSupport);
        services.ensureBackgroundServiceRegistered = [] {
            return app::BackgroundServiceController::State::active();
        };
        services.backgroundServiceState = [] { return app::BackgroundServiceController::State::active(); };
        services.openURL = [](const Url&) {};
        services.deviceName = [] { return std::string("Studio"); };
        services.handOffHubUpdate = [](const std::string&, std::stop_token) {};
        services.releaseArtwork = std::make_shared<ReleaseArtworkStore>(folder / "Artwork");
        app::HubModel model(std::move(services));
        QCoro::waitFor(model.startAsync());
        EXPECT_EQ(model.errorMessage(), std::nullopt);

        const app::LibraryState state{
            .catalog = model.catalog(), .products = model.productStates(), .phase = model.phase()};
        std::map<std::string, std::optional<std::string>> offered;
        for (const auto& release : model.availableUpdates()) offered[release.productID] = release.version;
        std::map<std::string, Outlook> outlooks;
        for (const auto& product : model.catalog()->products) {
            const auto action = app::productAction(state, product);
            const auto& facts = state.product(product.productID);
            outlooks[product.productID] = {
                std::string(app::statusName(app::productStatus(*state.catalog, product, facts))),
                actionWord(action), action.release ? std::optional(action.release->version) : std::nullopt,
                offered[product.productID]};
        }
        return outlooks;
    }

    // halvexctl's JSON products of `command` ("list" or "status").
    JSON ctlProducts(const std::string& command) {
        std::ostringstream out, err;
        ctl::HalvexCtl ctl({out, err, false}, {}, environment());
        EXPECT_EQ(ctl.run({command, "--json"}), 0) << err.str();
        return JSON::parse(out.str())["products"];
    }

    // Every product halvexctl lists; `status` must say the same of those it reports.
    std::map<std::string, Outlook> ctl() {
        const auto outlook = [](const JSON& product) {
            return Outlook{product["status"], product["action"],
                           product["action_version"].is_null()
                               ? std::nullopt
                               : std::optional(product["action_version"].get<std::string>()),
                           std::nullopt};
        };
        std::map<std::string, Outlook> outlooks;
        for (const auto& product : ctlProducts("list")) outlooks[product["product_id"]] = outlook(product);
        for (const auto& product : ctlProducts("status")) {
            auto& listed = outlooks[product["product_id"]];
            EXPECT_EQ(outlook(product), listed) << product["product_id"] << ": status and list differ";
            if (!product["available_update"].is_null()) listed.offered = product["available_update"];
        }
        return outlooks;
    }

    PluginInstaller::Folders folders =
        PluginInstaller::Folders::standard(folder / "Support", folder / "Plugins" / "VST3");
    test::ReleaseBuilder builder{folder / "Releases", [this](const auto& path, const auto& archive) {
                                     return service.addFileFromDisk(path, archive);
                                 }};
};

TEST_F(FrontEndAgreementTest, TheWindowAndHalvexctlShowTheSameStatusActionAndOfferedUpdate) {
    const auto v = [this](const std::string& slug, const std::string& version,
                          const std::string& channel = "stable") { return publish(slug, version, channel); };
    const auto owned10 = v("owned", "1.0.0");
    const auto subscribed10 = v("subscribed", "1.0.0"), subscribed11 = v("subscribed", "1.1.0");
    const auto current10 = v("current", "1.0.0");
    const auto tester10 = v("tester", "1.0.0"), testerBeta1 = v("tester", "1.1.0-beta.1", "beta"),
               testerBeta2 = v("tester", "1.1.0-beta.2", "beta");
    const auto staged10 = v("staged", "1.0.0"), staged11 = v("staged", "1.1.0");
    const auto held10 = v("held", "1.0.0"), held11 = v("held", "1.1.0");
    const auto incomplete10 = v("incomplete", "1.0.0");
    const auto unowned10 = v("unowned", "1.0.0");
    const auto left10 = v("left", "1.0.0");

    // The first release of a channel in the catalogue is its current one: newest first.
    const std::vector<JSON> products = {
        productJSON("owned", true),      productJSON("subscribed", true, "subscription"),
        productJSON("current", true),    productJSON("tester", true),
        productJSON("staged", true),     productJSON("held", true),
        productJSON("incomplete", true), productJSON("unowned", false)};
    const std::vector<JSON> releases = {owned10,     subscribed11, subscribed10, current10, tester10,
                                        testerBeta2, testerBeta1,  staged11,     staged10,  held11,
                                        held10,      incomplete10, unowned10};
    // Installed while every product was owned and listed.
    auto before = products;
    before.back()["owned"] = true;
    before.push_back(productJSON("left", true));
    auto releasesBefore = releases;
    releasesBefore.push_back(left10);
    service.setCatalog({{"products", before}, {"releases", releasesBefore}});

    {
        app::LibraryService setup(environment());
        for (const auto& [slug, record] :
             std::vector<std::pair<std::string, JSON>>{{"subscribed", subscribed10},
                                                       {"current", current10},
                                                       {"tester", testerBeta1},
                                                       {"staged", staged10},
                                                       {"held", held10},
                                                       {"incomplete", incomplete10},
                                                       {"unowned", unowned10},
                                                       {"left", left10}}) {
            install(setup, slug, record);
        }
        setup.hold(productOf(setup.client().catalog(), "held"));
        app::LibraryService hostsRunning(environment({"REAPER"}));
        install(hostsRunning, "staged", staged11, true);
    }
    std::filesystem::remove_all(folders.clapDirectory / "Incomplete.clap");
    // Access to one product ends and another leaves the catalogue; their bundles stay on this computer.
    service.setCatalog({{"products", products}, {"releases", releases}});

    using O = Outlook;
    const std::map<std::string, Outlook> expected = {
        {"prod_owned", O{"not_installed", "install", "1.0.0", std::nullopt}},
        {"prod_subscribed", O{"update_available", "update", "1.1.0", "1.1.0"}},
        // The installed public version can always be installed again.
        {"prod_current", O{"up_to_date", "repair", "1.0.0", std::nullopt}},
        {"prod_tester", O{"update_available", "update", "1.1.0-beta.2", "1.1.0-beta.2"}},
        {"prod_staged", O{"update_staged", "restart_hosts", std::nullopt, std::nullopt}},
        {"prod_held", O{"held", "release_hold", std::nullopt, std::nullopt}},
        {"prod_incomplete", O{"incomplete", "repair", "1.0.0", "1.0.0"}},
        {"prod_unowned", O{"not_owned", "purchase", std::nullopt, std::nullopt}},
    };
    const auto shownByWindow = window();
    const auto shownByCtl = ctl();
    for (const auto& [productID, outlook] : expected) {
        EXPECT_EQ(shownByWindow.at(productID), outlook) << productID << " in the window";
        EXPECT_EQ(shownByCtl.at(productID), outlook) << productID << " in halvexctl";
    }
    EXPECT_EQ(shownByWindow.size(), expected.size()) << "a product that left the catalogue has no row";
    EXPECT_EQ(shownByCtl.size(), expected.size());
}

}  // namespace
}  // namespace halvex
