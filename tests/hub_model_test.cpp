#include "app/model/hub_model.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <mutex>
#include <random>
#include <thread>

#include "core/foundation/halvex_error.h"
#include "core/foundation/operation_cancelled.h"
#include "core/install/transaction_journal.h"
#include "core/service/network_error.h"
#include "platform/file_io.h"
#include "tests/support/fault_loop.h"
#include "tests/support/plugin_fixtures.h"
#include "tests/support/release_builder.h"
#include "tests/support/service_fixture.h"

namespace halvex {
namespace {

using app::HubModel;
using app::Phase;
using JSON = nlohmann::json;
using State = app::BackgroundServiceController::State;

using Versions = std::map<std::string, std::string>;

// One field of every product's published record, for the products that have it.
Versions versionsOf(const HubModel& model, std::optional<std::string> app::ProductState::*field) {
    Versions versions;
    for (const auto& [productID, state] : model.productStates()) {
        if (const auto& value = state.*field) versions[productID] = *value;
    }
    return versions;
}
Versions installedVersions(const HubModel& model) {
    return versionsOf(model, &app::ProductState::installedVersion);
}
Versions installedChannels(const HubModel& model) {
    return versionsOf(model, &app::ProductState::installedChannel);
}
Versions pendingVersions(const HubModel& model) {
    return versionsOf(model, &app::ProductState::pendingVersion);
}
Versions heldVersions(const HubModel& model) {
    return versionsOf(model, &app::ProductState::heldVersion);
}
Versions revertVersions(const HubModel& model) {
    return versionsOf(model, &app::ProductState::revertVersion);
}
std::set<std::string> incompleteProducts(const HubModel& model) {
    std::set<std::string> products;
    for (const auto& [productID, state] : model.productStates()) {
        if (state.incomplete) products.insert(productID);
    }
    return products;
}

QCoreApplication& application() {
    static int argc = 1;
    static char name[] = "hub_model_test";
    static char* argv[] = {name, nullptr};
    static QCoreApplication instance(argc, argv);
    return instance;
}

struct Outcome {
    std::exception_ptr error;
};

// Runs the event loop until the task ends; yields what it threw.
std::exception_ptr finish(QCoro::Task<> task) {
    return QCoro::waitFor([](QCoro::Task<> running) -> QCoro::Task<Outcome> {
               try {
                   co_await running;
               } catch (...) {
                   co_return Outcome{std::current_exception()};
               }
               co_return Outcome{};
           }(std::move(task)))
        .error;
}

std::exception_ptr finish(QCoro::Task<PluginInstaller::InstallResult> task,
                          std::optional<PluginInstaller::InstallResult>* result = nullptr) {
    return finish([](QCoro::Task<PluginInstaller::InstallResult> running,
                     std::optional<PluginInstaller::InstallResult>* into) -> QCoro::Task<> {
        auto value = co_await running;
        if (into != nullptr) *into = value;
    }(std::move(task), result));
}

// Runs the event loop until `condition` holds or the time is up.
bool eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > limit.count()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

std::string message(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const HalvexError& failure) {
        return failure.errorDescription();
    } catch (const std::exception& failure) {
        return failure.what();
    }
}

struct PluginOptions {
    std::string product = "aurora";
    std::string version = "1.0.0";
    std::string channel = "stable";
    std::string minimumHubVersion = "1.0.0";
    // Bytes of incompressible payload in the VST3 executable.
    std::size_t payloadBytes = 0;
    bool clap = true;
};

tools::StandInService::Options quickSignIn() {
    tools::StandInService::Options options;
    options.pollIntervalSeconds = 1;
    return options;
}

class HubModelTest : public test::ServiceFixture {
  protected:
    static constexpr const char* hubVersion = "1.0.5";

    HubModelTest() : ServiceFixture(quickSignIn()) {
        application();
        folders = PluginInstaller::Folders::standard(folder / "Support", folder / "Plugins" / "VST3");
        hubBundle = test::writeSealedBundle(folder / "Applications", "HALVEX HUB.app",
                                            {.identifier = "com.halvex.hub",
                                             .version = hubVersion,
                                             .executable = "HalvexHub",
                                             .payload = "hub"});
        service.setHubRelease(std::nullopt);
    }

    std::unique_ptr<HubModel> makeModel() {
        HubModel::Services services;
        app::LibraryService::Environment environment;
        environment.configuration = [this] { return test::trustingConfiguration(service.baseURL()); };
        environment.keychain = [this] { return keychain; };
        environment.timeouts = shortTimeouts();
        environment.pluginFolders = [this] { return folders; };
        environment.audioApplications = [this] {
            std::lock_guard lock(mutex);
            return hosts ? hosts() : std::vector<std::string>{};
        };
        environment.elevationRunner = [](const std::filesystem::path&) -> ElevationResult {
            return {126, ""};
        };
        environment.hubOptions = [this] {
            HubUpdater::Options hubOptions;
            hubOptions.applicationSupport = folders.applicationSupport;
            hubOptions.applicationURL = hubBundle;
            hubOptions.currentVersion = hubVersion;
            hubOptions.applicationsFolder = folder / "Applications";
            hubOptions.isHubUIRunning = [] { return false; };
            return hubOptions;
        };
        environment.hubVersion = hubVersion;
        services.library = std::make_shared<app::LibraryService>(environment);
        services.statusStore = app::BackgroundAgentStatusStore(folders.applicationSupport);
        services.ensureBackgroundServiceRegistered = [this] {
            ++registrations;
            return State::requiresApproval();
        };
        services.backgroundServiceState = [] { return State::active(); };
        services.openURL = [this](const Url& url) {
            std::lock_guard lock(mutex);
            opened.push_back(url.string());
        };
        services.deviceName = [] { return std::string("Studio Mac"); };
        services.handOffHubUpdate = [this](const std::string& ticket, std::stop_token) {
            std::lock_guard lock(mutex);
            handedOff.push_back(ticket);
            throw HalvexError::backgroundService("The HUB updater could not start. Please try again.");
        };
        services.releaseArtwork = std::make_shared<ReleaseArtworkStore>(folder / "Artwork");
        return std::make_unique<HubModel>(std::move(services));
    }

    // A sealed three-format release of `options.product`, served by the stand-in.
    JSON publish(const PluginOptions& options) {
        std::string payload;
        if (options.payloadBytes > 0) {
            std::mt19937_64 random(++randomReleases);
            payload.resize(options.payloadBytes / 8 * 8);
            for (std::size_t index = 0; index < payload.size(); index += 8) {
                const auto value = random();
                std::memcpy(payload.data() + index, &value, 8);
            }
        }
        return builder
            .plugin({.product = options.product,
                     .version = options.version,
                     .channel = options.channel,
                     .minimumHubVersion = options.minimumHubVersion,
                     .audioUnit = false,
                     .clap = options.clap,
                     .enginePayload = payload})
            .release;
    }

    static std::string productName(const std::string& product) {
        auto name = product;
        name.front() = static_cast<char>(std::toupper(name.front()));
        return name;
    }

    static JSON productJSON(const std::string& product, bool owned = true) {
        return {{"product_id", "prod_" + product},
                {"slug", product},
                {"name", productName(product)},
                {"bundle_id", "com.halvex." + product},
                {"vst3_processor_fuid", "P"},
                {"vst3_controller_fuid", "C"},
                {"icon_url", "https://cdn.example/icon.png"},
                {"owned", owned}};
    }

    void serveCatalog(const std::vector<JSON>& products, const std::vector<JSON>& releaseRecords) {
        service.setCatalog({{"products", products}, {"releases", releaseRecords}});
    }

    static Release decode(const JSON& record) { return json::decodeRecord<Release>(record.dump()); }

    // Installs releases the way another process (the agent) would, before the model looks.
    void preinstall(const std::vector<JSON>& records) {
        PluginInstaller installer(test::trustingConfiguration(service.baseURL()), folders);
        installer.setAudioApplications([] { return std::vector<std::string>{}; });
        for (const auto& record : records) {
            installer.downloadAndInstall(decode(record), client(), test::trustingVerifier(), false, false);
        }
    }

    std::optional<std::string> installedVersion(const std::string& product) const {
        return PluginInstaller(test::trustingConfiguration(service.baseURL()), folders)
            .installedVersion("com.halvex." + product);
    }

    std::filesystem::path filePath(const JSON& record) const {
        return Url::parse(record["download_url"].get<std::string>())->path();
    }

    std::filesystem::path partial(const JSON& record) const {
        return folders.applicationSupport / "Downloads" /
               (record["release_id"].get<std::string>() + ".zip.partial");
    }

    void setHosts(std::function<std::vector<std::string>()> query) {
        std::lock_guard lock(mutex);
        hosts = std::move(query);
    }

    PluginInstaller::Folders folders;
    std::filesystem::path hubBundle;
    int randomReleases = 0;
    test::ReleaseBuilder builder{folder / "Releases", [this](const auto& path, const auto& archive) {
                                     return service.addFileFromDisk(path, archive);
                                 }};
    std::atomic<int> registrations = 0;
    std::mutex mutex;
    std::function<std::vector<std::string>()> hosts;
    std::vector<std::string> opened;
    std::vector<std::string> handedOff;
};

// Start.

TEST_F(HubModelTest, StartEndsSignedOutReadyOrBlockedByWhatTheServiceSays) {
    struct Row {
        const char* name;
        bool signedIn;
        std::optional<int> catalogStatus;
        Phase::Kind phase;
        std::optional<std::string> error;
    };
    const std::vector<Row> table = {
        {"signed out", false, std::nullopt, Phase::Kind::signedOut, std::nullopt},
        {"signed in", true, std::nullopt, Phase::Kind::ready, std::nullopt},
        {"credential rejected", true, 401, Phase::Kind::signedOut, "The catalogue is resting."},
        {"service failing", true, 500, Phase::Kind::blocked, "The catalogue is resting."},
    };
    serveCatalog({productJSON("aurora")}, {});
    app::BackgroundAgentStatusStore(folders.applicationSupport)
        .write({12.5, "Automatic updates are active.", {}});
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        keychain.remove(APIClient::credentialAccount);
        if (row.signedIn) signIn();
        if (row.catalogStatus) {
            service.injectFault("/v1/catalog",
                                {.status = row.catalogStatus,
                                 .body = R"({"error":{"message":"The catalogue is resting."}})"});
        }
        const auto hubChecks = service.requestsTo("/v1/hub/latest").size();
        const auto model = makeModel();
        const int registered = registrations;

        EXPECT_EQ(finish(model->startAsync()), nullptr);
        EXPECT_EQ(model->phase().kind(), row.phase);
        if (row.phase == Phase::Kind::blocked) {
            EXPECT_EQ(model->phase().payload(),
                      "Your plugin library could not load. Use Try Again to reconnect.");
        }
        EXPECT_EQ(model->errorMessage(), row.error);
        EXPECT_EQ(model->hasCatalog(), row.phase == Phase::Kind::ready);
        EXPECT_EQ(registrations, registered + 1);
        EXPECT_EQ(model->backgroundServiceState(), State::requiresApproval());
        EXPECT_TRUE(model->backgroundNeedsAttention());
        ASSERT_TRUE(model->backgroundStatus());
        EXPECT_EQ(model->backgroundStatus()->message, "Automatic updates are active.");
        EXPECT_EQ(service.requestsTo("/v1/hub/latest").size(), hubChecks + 1);
        EXPECT_FALSE(model->checkingHubUpdate()) << "the hub check was awaited";

        const auto requests = service.requests().size();
        EXPECT_EQ(finish(model->startAsync()), nullptr);
        EXPECT_EQ(service.requests().size(), requests) << "a second start does nothing";
        EXPECT_EQ(registrations, registered + 1);
    }
}

TEST_F(HubModelTest, StartInstallsAvailableUpdatesAndHubCheckFailureIsShown) {
    signIn();
    const auto installed = publish({.version = "1.0.0"});
    const auto update = publish({.version = "1.1.0"});
    preinstall({installed});
    serveCatalog({productJSON("aurora")}, {update});
    service.injectFault("/v1/hub/latest", {.status = 503});
    const auto model = makeModel();

    EXPECT_EQ(finish(model->startAsync()), nullptr);
    EXPECT_EQ(model->phase(), Phase::ready());
    EXPECT_EQ(installedVersions(*model), (std::map<std::string, std::string>{{"prod_aurora", "1.1.0"}}));
    EXPECT_EQ(installedChannels(*model), (std::map<std::string, std::string>{{"prod_aurora", "stable"}}));
    EXPECT_TRUE(model->availableUpdates().empty());
    EXPECT_FALSE(model->noticeMessage()) << "automatic updates are quiet";
    EXPECT_EQ(model->hubUpdateMessage(), "Couldn\u2019t check HUB updates. Use Refresh to retry.");
    EXPECT_FALSE(model->hubRelease());
}

TEST_F(HubModelTest, StartSettlesAnInstallationACrashCutShortBeforeItsFirstScan) {
    signIn();
    const auto installed = publish({.version = "1.0.0"});
    preinstall({installed});
    serveCatalog({productJSON("aurora")}, {installed});
    const auto plugins = folders.pluginDirectory;
    const auto before = test::treeSnapshot(plugins);
    // What a crash right after the first swap leaves: a damaged bundle in place, journalled, not marked.
    const auto vst3 = plugins / "Aurora.vst3";
    const auto next = plugins / ".hvx-next-crash";
    platform::copyTree(vst3, next);
    std::ofstream(next / "Contents" / "MacOS" / "Aurora", std::ios::app) << "half an update";
    TransactionJournal::begin(folders.applicationSupport, "plugin-install",
                              {{vst3, next, plugins / ".hvx-rollback-crash", {}}})
        .swapIn(0);
    ASSERT_NE(test::treeSnapshot(plugins), before);

    const auto model = makeModel();
    EXPECT_EQ(finish(model->startAsync()), nullptr);
    EXPECT_EQ(installedVersions(*model), (std::map<std::string, std::string>{{"prod_aurora", "1.0.0"}}));
    EXPECT_TRUE(incompleteProducts(*model).empty()) << "the scan saw the settled bundle";
    EXPECT_EQ(test::treeSnapshot(plugins), before);
    EXPECT_TRUE(std::filesystem::is_empty(folders.applicationSupport / "Journal"));
    EXPECT_FALSE(model->errorMessage());
}

// The installation-state scan.

TEST_F(HubModelTest, ScanFindsIncompleteAndStagedProductsAndAvailableUpdatesFollow) {
    signIn();
    const auto aurora = publish({.product = "aurora"});
    const auto borealOld = publish({.product = "boreal", .version = "1.0.0"});
    const auto boreal = publish({.product = "boreal", .version = "1.1.0"});
    preinstall({aurora, borealOld});
    serveCatalog({productJSON("aurora"), productJSON("boreal")}, {aurora, boreal});
    const auto model = makeModel();
    const auto product = json::decodeRecord<Product>(productJSON("aurora").dump());
    EXPECT_TRUE(model->availableUpdates().empty()) << "no catalogue";
    EXPECT_FALSE(model->release(product)) << "no catalogue";

    EXPECT_EQ(finish(model->refreshAsync(false)), nullptr);
    EXPECT_EQ(model->release(product), decode(aurora));
    EXPECT_EQ(installedVersions(*model),
              (std::map<std::string, std::string>{{"prod_aurora", "1.0.0"}, {"prod_boreal", "1.0.0"}}));
    EXPECT_EQ(model->availableUpdates(), std::vector<Release>{decode(boreal)});

    // A format removed behind the hub's back: the same version is offered again as a repair.
    std::filesystem::remove_all(folders.clapDirectory / "Aurora.clap");
    EXPECT_EQ(finish(model->reloadInstallationStateAsync()), nullptr);
    EXPECT_EQ(incompleteProducts(*model), std::set<std::string>{"prod_aurora"});
    EXPECT_EQ(model->availableUpdates(), (std::vector<Release>{decode(aurora), decode(boreal)}));

    // Staged while a host runs: listed as pending, never as an update.
    setHosts([] { return std::vector<std::string>{"Studio"}; });
    EXPECT_EQ(finish(model->performInstallAsync(decode(boreal), true)), nullptr);
    EXPECT_EQ(finish(model->reloadInstallationStateAsync()), nullptr);
    EXPECT_EQ(pendingVersions(*model), (std::map<std::string, std::string>{{"prod_boreal", "1.1.0"}}));
    EXPECT_EQ(model->availableUpdates(), std::vector<Release>{decode(aurora)});

    // The host quits: the next re-scan finishes the staged update.
    setHosts({});
    EXPECT_EQ(finish(model->reloadInstallationStateAsync()), nullptr);
    EXPECT_TRUE(pendingVersions(*model).empty());
    EXPECT_EQ(installedVersions(*model).at("prod_boreal"), "1.1.0");

    // Sign-out forgets the catalogue and what was known of every product.
    EXPECT_EQ(finish(model->signOutAsync()), nullptr);
    EXPECT_EQ(model->phase(), Phase::signedOut());
    EXPECT_FALSE(model->hasCatalog());
    EXPECT_TRUE(model->productStates().empty());
    EXPECT_TRUE(model->availableUpdates().empty());
    EXPECT_FALSE(keychain.read(APIClient::credentialAccount));
}

// Sign-in.

TEST_F(HubModelTest, SignInThroughTheBrowserOpensTheCompleteAddressAndLoadsTheLibrary) {
    serveCatalog({productJSON("aurora")}, {});
    const auto model = makeModel();
    EXPECT_EQ(finish(model->startAsync()), nullptr);
    ASSERT_EQ(model->phase(), Phase::signedOut());

    auto signingIn = model->signInAsync();
    ASSERT_TRUE(eventually([&] { return model->phase().is(Phase::Kind::authorizing); }));
    const auto code = model->phase().payload();
    EXPECT_TRUE(model->signingIn());
    ASSERT_TRUE(model->signInURL());
    EXPECT_EQ(model->signInURL()->string(), service.baseURL() + "/device?user_code=" + code);
    ASSERT_TRUE(eventually([&] {
        std::lock_guard lock(mutex);
        return !opened.empty();
    }));
    EXPECT_EQ(opened, std::vector<std::string>{model->signInURL()->string()});
    EXPECT_EQ(JSON::parse(service.requestsTo("/v1/device/authorizations").back().body)["device_name"],
              "Studio Mac");

    service.approve(code);
    EXPECT_EQ(finish(std::move(signingIn)), nullptr);
    EXPECT_EQ(model->phase(), Phase::ready());
    EXPECT_TRUE(model->hasCatalog());
    EXPECT_FALSE(model->signingIn());
    EXPECT_FALSE(model->signInURL());

    const auto requests = service.requests().size();
    EXPECT_EQ(finish(model->signInAsync()), nullptr);
    EXPECT_EQ(service.requests().size(), requests) << "sign-in while ready does nothing";
}

TEST_F(HubModelTest, FailedSignInReturnsToSignedOut) {
    const auto model = makeModel();
    EXPECT_EQ(finish(model->startAsync()), nullptr);
    service.injectFault("/v1/device/token", {.status = 400, .body = R"({"error":"access_denied"})"});
    // The authorizing phase may last less than one turn of the event loop: every change is looked at.
    bool sawAuthorizing = false;
    QObject::connect(model.get(), &HubModel::phaseChanged,
                     [&] { sawAuthorizing = sawAuthorizing || model->phase().is(Phase::Kind::authorizing); });
    EXPECT_EQ(finish(model->signInAsync()), nullptr);
    EXPECT_TRUE(sawAuthorizing) << "the sign-in went through the authorizing phase";
    EXPECT_EQ(model->phase(), Phase::signedOut());
    EXPECT_TRUE(model->errorMessage());
    EXPECT_FALSE(model->signingIn());
    EXPECT_FALSE(model->signInURL());
}

TEST_F(HubModelTest, ASignInPageThatIsNoWebAddressIsNeverOpenedAndTheUserIsTold) {
    const auto model = makeModel();
    EXPECT_EQ(finish(model->startAsync()), nullptr);
    bool sawAuthorizing = false;
    QObject::connect(model.get(), &HubModel::phaseChanged,
                     [&] { sawAuthorizing = sawAuthorizing || model->phase().is(Phase::Kind::authorizing); });
    for (const auto* address : {"file:///etc/passwd", "halvex-evil://sign-in?user_code=HVX-1"}) {
        SCOPED_TRACE(address);
        answerSignInWithPage(address);
        EXPECT_EQ(finish(model->signInAsync()), nullptr);
        EXPECT_EQ(model->phase(), Phase::signedOut());
        EXPECT_EQ(model->errorMessage(), HalvexError::unsafeSignInAddress().errorDescription());
        EXPECT_FALSE(model->signInURL());
        EXPECT_FALSE(model->signingIn());
    }
    // An address handed to the browser opener would reach it through the model's worker: give it time.
    eventually([] { return false; }, std::chrono::milliseconds(300));
    std::lock_guard lock(mutex);
    EXPECT_TRUE(opened.empty()) << opened.front();
    EXPECT_FALSE(sawAuthorizing);
    EXPECT_TRUE(service.requestsTo("/v1/device/token").empty());
}

// What the model publishes while a new catalogue's installation state is read for the first time: the
// catalogue is there and the scan still runs, after start, sign-in and a blocked start's Try Again.
TEST_F(HubModelTest, TheFirstScanOfEveryNewCatalogueIsPublishedAsChecking) {
    signIn();
    const auto installed = publish({.version = "1.0.0"});
    preinstall({installed});
    serveCatalog({productJSON("aurora")}, {installed});
    const auto model = makeModel();
    // (checking, catalogue shown, installed versions known, phase) at each change of `checking`.
    std::vector<std::tuple<bool, bool, bool, Phase::Kind>> seen;
    QObject::connect(model.get(), &HubModel::checkingInstallationsChanged, [&] {
        seen.emplace_back(model->checkingInstallations(), model->hasCatalog(),
                          !installedVersions(*model).empty(), model->phase().kind());
    });
    using Seen = std::vector<std::tuple<bool, bool, bool, Phase::Kind>>;

    EXPECT_EQ(finish(model->startAsync()), nullptr);
    EXPECT_EQ(seen,
              (Seen{{true, true, false, Phase::Kind::loading}, {false, true, true, Phase::Kind::loading}}));
    seen.clear();
    EXPECT_EQ(finish(model->refreshAsync(false)), nullptr);
    EXPECT_EQ(finish(model->reloadInstallationStateAsync()), nullptr);
    EXPECT_TRUE(seen.empty()) << "later scans of a catalogue already shown are no first look";

    EXPECT_EQ(finish(model->signOutAsync()), nullptr);
    auto signingIn = model->signInAsync();
    ASSERT_TRUE(eventually([&] { return model->phase().is(Phase::Kind::authorizing); }));
    service.approve(model->phase().payload());
    EXPECT_EQ(finish(std::move(signingIn)), nullptr);
    EXPECT_EQ(seen, (Seen{{true, true, false, Phase::Kind::authorizing},
                          {false, true, true, Phase::Kind::authorizing}}));
    EXPECT_EQ(model->phase(), Phase::ready());

    // A start whose catalogue could not load, retried.
    seen.clear();
    const auto blocked = makeModel();
    QObject::connect(blocked.get(), &HubModel::checkingInstallationsChanged, [&] {
        seen.emplace_back(blocked->checkingInstallations(), blocked->hasCatalog(),
                          !installedVersions(*blocked).empty(), blocked->phase().kind());
    });
    service.injectFault("/v1/catalog", {.status = 500});
    EXPECT_EQ(finish(blocked->startAsync()), nullptr);
    ASSERT_EQ(blocked->phase().kind(), Phase::Kind::blocked);
    EXPECT_TRUE(seen.empty());
    EXPECT_EQ(finish(blocked->refreshAllAsync()), nullptr);
    EXPECT_EQ(seen,
              (Seen{{true, true, false, Phase::Kind::blocked}, {false, true, true, Phase::Kind::blocked}}));
    EXPECT_EQ(blocked->phase(), Phase::ready());
}

// Purchase links.

TEST_F(HubModelTest, PurchaseOpensOnlyHttpsPagesOfTheStore) {
    const auto model = makeModel();
    const auto product = [](bool owned, std::optional<std::string> url) {
        auto record = productJSON("aurora", owned);
        if (url) record["purchase_url"] = *url;
        return json::decodeRecord<Product>(record.dump());
    };
    const std::string page = "https://store.halvexaudio.com/products/aurora";
    const std::vector<std::pair<Product, bool>> table = {
        {product(false, page), true},
        {product(true, page), false},
        {product(false, std::nullopt), false},
        {product(false, "http://store.halvexaudio.com/products/aurora"), false},
        {product(false, "https://store.halvexaudio.com.evil.example/products/aurora"), false},
        {product(false, "https://evil.example/products/aurora"), false},
    };
    for (const auto& [item, opens] : table) {
        SCOPED_TRACE(item.purchaseURL ? item.purchaseURL->string() : "no URL");
        {
            std::lock_guard lock(mutex);
            opened.clear();
        }
        auto error = std::optional<std::string>();
        QObject::connect(model.get(), &HubModel::errorMessageChanged, [&] { error = model->errorMessage(); });
        model->purchase(item);
        if (opens) {
            ASSERT_TRUE(eventually([&] {
                std::lock_guard lock(mutex);
                return !opened.empty();
            }));
            EXPECT_EQ(opened, std::vector<std::string>{page});
        } else {
            EXPECT_EQ(model->errorMessage(), "This product is not currently available for purchase.");
        }
        QObject::disconnect(model.get(), &HubModel::errorMessageChanged, nullptr, nullptr);
    }
    const SubscriptionOffer offer{"all", "All Access", *Url::parse("ftp://store.halvexaudio.com/all"),
                                  *Url::parse("https://cdn.example/all.png")};
    model->purchaseAllAccess(offer);
    EXPECT_EQ(model->errorMessage(), "The subscription is not currently available for purchase.");
}

// Installing one release.

TEST_F(HubModelTest, PerformInstallRefusesUnownedProductsAndReleasesForANewerHub) {
    signIn();
    const auto locked = publish({.product = "locked"});
    const auto future = publish({.product = "aurora", .version = "2.0.0", .minimumHubVersion = "1.0.6"});
    const auto current = publish({.product = "aurora", .version = "1.5.0", .minimumHubVersion = hubVersion});
    serveCatalog({productJSON("locked", false), productJSON("aurora")}, {locked, current});
    const auto model = makeModel();
    EXPECT_EQ(finish(model->refreshAsync(false)), nullptr);

    EXPECT_EQ(message(finish(model->performInstallAsync(decode(locked), true))),
              "Purchase this plugin before installing it.");
    EXPECT_EQ(model->errorMessage(), "Purchase this plugin before installing it.");

    const auto hubChecks = service.requestsTo("/v1/hub/latest").size();
    const std::string needsHub = "Update HALVEX HUB before installing Aurora 2.0.0.";
    EXPECT_EQ(message(finish(model->performInstallAsync(decode(future), false))), needsHub);
    EXPECT_EQ(model->errorMessage(), "Purchase this plugin before installing it.") << "not reported";
    EXPECT_EQ(service.requestsTo("/v1/hub/latest").size(), hubChecks + 1) << "the hub check ran";
    EXPECT_TRUE(service.requestsTo(filePath(future)).empty());

    EXPECT_EQ(finish(model->performInstallAsync(decode(current), true)), nullptr)
        << "an equal minimum installs";
    EXPECT_EQ(installedVersions(*model).at("prod_aurora"), "1.5.0");
    EXPECT_EQ(model->phase(), Phase::ready());
}

TEST_F(HubModelTest, InstallWhileHostsRunIsStagedWithANoticeNamingTheHosts) {
    signIn();
    const auto first = publish({.product = "aurora", .version = "1.0.0"});
    const auto second = publish({.product = "aurora", .version = "1.1.0"});
    const auto third = publish({.product = "aurora", .version = "1.2.0"});
    serveCatalog({productJSON("aurora")}, {first});
    const auto model = makeModel();
    EXPECT_EQ(finish(model->refreshAsync(false)), nullptr);
    EXPECT_EQ(finish(model->performInstallAsync(decode(first), true)), nullptr);

    const std::vector<std::tuple<JSON, std::vector<std::string>, std::string>> table = {
        {second, {"Bitwig", "Ableton", "Audio Engine", "Bitwig"}, "Ableton and Bitwig"},
        {third, {"AudioENGINE Helper", "Plugin Engine"}, "your DAW"},
    };
    for (const auto& [record, running, hostText] : table) {
        SCOPED_TRACE(hostText);
        setHosts([running] { return running; });
        std::vector<Phase> phases;
        const auto connection =
            QObject::connect(model.get(), &HubModel::phaseChanged, [&] { phases.push_back(model->phase()); });
        std::optional<PluginInstaller::InstallResult> result;
        EXPECT_EQ(finish(model->performInstallAsync(decode(record), true), &result), nullptr);
        QObject::disconnect(connection);
        EXPECT_EQ(result, PluginInstaller::InstallResult::pendingRestart(running));
        const auto release = decode(record);
        EXPECT_EQ(pendingVersions(*model).at("prod_aurora"), release.version);
        EXPECT_EQ(installedVersions(*model).at("prod_aurora"), "1.0.0");
        EXPECT_EQ(model->noticeMessage(), "Aurora " + release.version +
                                              " is downloaded and verified. Restart " + hostText +
                                              " to finish the update and use the latest version.");
        EXPECT_EQ(phases, (std::vector<Phase>{Phase::updating("prod_aurora"), Phase::ready()}));
    }
}

TEST_F(HubModelTest, RefreshAutoUpdateSkipsWhatItCannotInstallAndCarriesOn) {
    signIn();
    std::vector<JSON> installed;
    for (const char* product : {"aurora", "boreal", "cirrus"})
        installed.push_back(publish({.product = product}));
    preinstall(installed);
    const auto future = publish({.product = "aurora", .version = "1.1.0", .minimumHubVersion = "9.0.0"});
    const auto boreal = publish({.product = "boreal", .version = "1.1.0"});
    const auto cirrus = publish({.product = "cirrus", .version = "1.1.0"});
    serveCatalog({productJSON("aurora"), productJSON("boreal"), productJSON("cirrus")},
                 {future, boreal, cirrus});
    const auto model = makeModel();

    setHosts([] { return std::vector<std::string>{"Studio"}; });
    EXPECT_EQ(finish(model->refreshAsync(true)), nullptr);
    EXPECT_EQ(model->phase(), Phase::ready());
    EXPECT_FALSE(model->errorMessage()) << "a running host is no error here";
    EXPECT_TRUE(pendingVersions(*model).empty()) << "the caller did not ask for staging";
    EXPECT_EQ(service.requestsTo(filePath(cirrus)).size(), 1u) << "carried on after the host refused boreal";

    setHosts({});
    EXPECT_EQ(finish(model->refreshAsync(true)), nullptr);
    EXPECT_EQ(installedVersions(*model),
              (std::map<std::string, std::string>{
                  {"prod_aurora", "1.0.0"}, {"prod_boreal", "1.1.0"}, {"prod_cirrus", "1.1.0"}}));
    EXPECT_TRUE(service.requestsTo(filePath(future)).empty()) << "needs a newer hub";
}

// Update all.

TEST_F(HubModelTest, UpdateAllSummarisesInstalledStagedAndFailedUpdates) {
    signIn();
    std::vector<JSON> installed;
    std::vector<JSON> updates;
    for (const char* product : {"aurora", "boreal", "cirrus"}) {
        installed.push_back(publish({.product = product, .version = "1.0.0"}));
        updates.push_back(publish({.product = product, .version = "1.1.0"}));
    }
    serveCatalog({productJSON("aurora"), productJSON("boreal"), productJSON("cirrus")}, updates);

    struct Row {
        const char* name;
        std::function<void()> arrange;
        std::optional<std::string> notice;
        std::optional<std::string> error;
    };
    const std::vector<Row> table = {
        {"all installed", [] {}, "3 plugin updates installed.", std::nullopt},
        {"a host starts after the first",
         [&] {
             setHosts([this] {
                 return installedVersion("aurora") == "1.1.0" ? std::vector<std::string>{"Studio"}
                                                              : std::vector<std::string>{};
             });
         },
         "2 updates downloaded and verified. Close your DAW to finish installing.", std::nullopt},
        {"one failing", [&] { service.injectFault(filePath(updates[1]), {.status = 404, .body = "{}"}); },
         std::nullopt, "2 plugin updates installed.\nBoreal: "},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        std::filesystem::remove_all(folder / "Plugins");
        std::filesystem::remove_all(folders.applicationSupport);
        setHosts({});
        preinstall(installed);
        const auto model = makeModel();
        EXPECT_EQ(finish(model->refreshAsync(false)), nullptr);
        ASSERT_EQ(model->availableUpdates().size(), 3u);
        row.arrange();
        std::vector<bool> busy;
        QObject::connect(model.get(), &HubModel::busyChanged, [&] { busy.push_back(model->busy()); });

        EXPECT_EQ(finish(model->updateAllAsync()), nullptr);
        EXPECT_EQ(model->noticeMessage(), row.notice);
        if (row.error) {
            ASSERT_TRUE(model->errorMessage());
            EXPECT_TRUE(model->errorMessage()->starts_with(*row.error)) << *model->errorMessage();
            EXPECT_EQ(std::count(model->errorMessage()->begin(), model->errorMessage()->end(), '\n'), 1);
        } else {
            EXPECT_FALSE(model->errorMessage());
        }
        EXPECT_EQ(busy, (std::vector<bool>{true, false})) << "busy for the whole run";
        EXPECT_FALSE(model->updatingAll());
    }
}

TEST_F(HubModelTest, UpdateAllStopsAtARejectedCredential) {
    signIn();
    preinstall({publish({.product = "aurora"}), publish({.product = "boreal"})});
    const auto aurora = publish({.product = "aurora", .version = "1.1.0"});
    const auto boreal = publish({.product = "boreal", .version = "1.1.0"});
    serveCatalog({productJSON("aurora"), productJSON("boreal")}, {aurora, boreal});
    const auto model = makeModel();
    EXPECT_EQ(finish(model->refreshAsync(false)), nullptr);
    ASSERT_EQ(model->availableUpdates().size(), 2u);
    service.revokeAllTokens();

    EXPECT_EQ(finish(model->updateAllAsync()), nullptr);
    ASSERT_TRUE(model->errorMessage());
    EXPECT_TRUE(model->errorMessage()->starts_with("0 plugin updates installed.\nAurora: "))
        << *model->errorMessage();
    EXPECT_EQ(std::count(model->errorMessage()->begin(), model->errorMessage()->end(), '\n'), 1);
    EXPECT_FALSE(model->noticeMessage());
    EXPECT_EQ(model->phase(), Phase::signedOut());
    EXPECT_FALSE(model->hasCatalog());
    EXPECT_TRUE(service.requestsTo(filePath(boreal)).empty());
}

// Revert, hold, release and uninstall.

TEST_F(HubModelTest, HeldProductsStayOutOfAutomaticUpdatesAndTheOverviewChangesTheInstallation) {
    signIn();
    preinstall({publish({.product = "aurora"}), publish({.product = "boreal"})});
    const auto aurora = publish({.product = "aurora", .version = "1.1.0"});
    const auto boreal = publish({.product = "boreal", .version = "1.1.0"});
    serveCatalog({productJSON("aurora"), productJSON("boreal")}, {aurora, boreal});
    // Held by another front end (halvexctl) before the window starts.
    ProductHolds(folders.applicationSupport).hold("prod_aurora", "1.0.0");
    const auto model = makeModel();
    const auto versions = [&] { return installedVersions(*model); };

    EXPECT_EQ(finish(model->refreshAsync(true)), nullptr);
    EXPECT_EQ(versions(), (Versions{{"prod_aurora", "1.0.0"}, {"prod_boreal", "1.1.0"}}));
    EXPECT_EQ(heldVersions(*model), (Versions{{"prod_aurora", "1.0.0"}}));
    EXPECT_TRUE(model->availableUpdates().empty());
    EXPECT_EQ(revertVersions(*model), (Versions{{"prod_boreal", "1.0.0"}}));
    EXPECT_TRUE(service.requestsTo(filePath(aurora)).empty());

    EXPECT_EQ(finish(model->releaseHoldAsync("prod_aurora")), nullptr);
    EXPECT_TRUE(heldVersions(*model).empty());
    ASSERT_EQ(model->availableUpdates().size(), 1u);
    EXPECT_EQ(finish(model->updateAllAsync()), nullptr);
    EXPECT_EQ(versions().at("prod_aurora"), "1.1.0");

    std::vector<Phase> phases;
    QObject::connect(model.get(), &HubModel::phaseChanged, [&] { phases.push_back(model->phase()); });
    EXPECT_EQ(finish(model->revertProductAsync("prod_aurora")), nullptr);
    EXPECT_EQ(phases, (std::vector<Phase>{Phase::updating("prod_aurora"), Phase::ready()}));
    EXPECT_EQ(installedVersion("aurora"), "1.0.0");
    EXPECT_EQ(versions().at("prod_aurora"), "1.0.0");
    EXPECT_EQ(heldVersions(*model), (Versions{{"prod_aurora", "1.0.0"}}));
    EXPECT_EQ(revertVersions(*model).at("prod_aurora"), "1.1.0");
    EXPECT_EQ(model->noticeMessage(), "Aurora is back at 1.0.0 and held there until you release it.");
    const auto downloads = service.requestsTo(filePath(aurora)).size();
    EXPECT_EQ(finish(model->refreshAsync(true)), nullptr);
    EXPECT_EQ(finish(model->updateAllAsync()), nullptr);
    EXPECT_EQ(service.requestsTo(filePath(aurora)).size(), downloads) << "held again after the revert";

    setHosts([] { return std::vector<std::string>{"Studio"}; });
    EXPECT_NE(finish(model->uninstallProductAsync("prod_aurora")), nullptr);
    EXPECT_EQ(model->errorMessage(), "Close these audio applications before installing: Studio.");
    EXPECT_EQ(installedVersion("aurora"), "1.0.0");
    setHosts({});
    EXPECT_EQ(finish(model->uninstallProductAsync("prod_aurora")), nullptr);
    EXPECT_EQ(installedVersion("aurora"), std::nullopt);
    EXPECT_FALSE(versions().contains("prod_aurora"));
    EXPECT_TRUE(heldVersions(*model).empty()) << "nothing left to hold";
    EXPECT_EQ(revertVersions(*model).at("prod_aurora"), "1.0.0");
    EXPECT_FALSE(model->errorMessage());

    const auto notInstalled = finish(model->holdProductAsync("prod_aurora"));
    EXPECT_EQ(message(notInstalled), "Aurora is not installed.");
    EXPECT_EQ(finish(model->holdProductAsync("prod_boreal")), nullptr);
    EXPECT_EQ(heldVersions(*model), (Versions{{"prod_boreal", "1.1.0"}}));
}

// The hub update.

TEST_F(HubModelTest, HubUpdateFailuresLeaveNothingPreparedAndShowTheError) {
    const auto model = makeModel();
    EXPECT_EQ(finish(model->installHubUpdateAsync()), nullptr);
    EXPECT_FALSE(model->installingHubUpdate()) << "no release known";

    // A signed image of a newer hub, served without a credential only in the second round.
    const auto image = folder / "Image";
    test::writeSealedBundle(
        image, "HALVEX HUB.app",
        {.identifier = "com.halvex.hub", .version = "1.1.0", .executable = "HalvexHub", .payload = "new"});
    std::string servedPath;
    test::ReleaseBuilder unserved{folder / "Hub", [&](const std::string& path, const auto&) {
                                      servedPath = path;
                                      return service.baseURL() + "/files/" + path;
                                  }};
    const auto packaged = unserved.hub(image, {.releaseNotes = "Calmer."});
    service.setHubRelease(packaged.release);
    EXPECT_EQ(finish(model->checkHubUpdateAsync()), nullptr);
    ASSERT_TRUE(model->hubRelease());
    EXPECT_EQ(model->property("hubReleaseVersion").toString(), "1.1.0");

    std::vector<std::optional<std::string>> messages;
    QObject::connect(model.get(), &HubModel::hubUpdateMessageChanged,
                     [&] { messages.push_back(model->hubUpdateMessage()); });
    const std::optional<std::string> downloading = "Downloading and verifying HUB 1.1.0\u2026";
    const std::optional<std::string> restarting = "Restarting to finish the update\u2026";

    // The image is missing: preparation fails.
    EXPECT_EQ(finish(model->installHubUpdateAsync()), nullptr);
    EXPECT_FALSE(model->installingHubUpdate());
    EXPECT_TRUE(model->errorMessage());
    EXPECT_TRUE(model->hubRelease()) << "kept for a retry";
    EXPECT_EQ(messages, (std::vector<std::optional<std::string>>{downloading, std::nullopt}));
    EXPECT_TRUE(handedOff.empty());

    // Prepared, but the finishing process does not take over: the prepared update is discarded.
    service.addFileFromDisk(servedPath, packaged.archive);
    messages.clear();
    EXPECT_EQ(finish(model->installHubUpdateAsync()), nullptr);
    ASSERT_EQ(handedOff.size(), 1u);
    EXPECT_FALSE(std::filesystem::exists(folders.applicationSupport / "HubUpdates" / handedOff.front()));
    EXPECT_EQ(model->errorMessage(), "The HUB updater could not start. Please try again.");
    EXPECT_FALSE(model->installingHubUpdate());
    EXPECT_TRUE(model->hubRelease());
    EXPECT_EQ(messages, (std::vector<std::optional<std::string>>{downloading, restarting, std::nullopt}));
}

// Progress, cancel and the main thread.

TEST_F(HubModelTest, ProgressMovesForwardAndIsClearedAtTheEnd) {
    signIn();
    const auto release = publish({.payloadBytes = 4 << 20, .clap = false});
    serveCatalog({productJSON("aurora")}, {release});
    const auto model = makeModel();
    EXPECT_EQ(finish(model->refreshAsync(false)), nullptr);

    std::vector<std::optional<HubModel::InstallActivity>> seen;
    QObject::connect(model.get(), &HubModel::installProgressChanged, [&] {
        const auto& progress = model->installProgress();
        const auto found = progress.find("prod_aurora");
        seen.push_back(found == progress.end() ? std::nullopt : std::optional(found->second));
        EXPECT_EQ(model->property("installProgress").toMap().contains("prod_aurora"),
                  found != progress.end());
    });
    EXPECT_EQ(finish(model->performInstallAsync(decode(release), true)), nullptr);

    ASSERT_GE(seen.size(), 3u);
    EXPECT_FALSE(seen.back()) << "cleared when the installation ended";
    const auto size = decode(release).sizeBytes;
    for (std::size_t index = 1; index + 1 < seen.size(); ++index) {
        ASSERT_TRUE(seen[index] && seen[index - 1]);
        EXPECT_GE(seen[index]->progress.bytesDone, seen[index - 1]->progress.bytesDone);
        EXPECT_GE(seen[index]->progress.step, seen[index - 1]->progress.step);
        EXPECT_EQ(seen[index]->progress.bytesTotal, size);
    }
    EXPECT_EQ(seen[seen.size() - 2]->progress.step, PluginInstaller::Progress::Step::installing);
}

TEST_F(HubModelTest, CancelledDownloadKeepsThePartialFileAndInstallsNothing) {
    signIn();
    const auto release = publish({.payloadBytes = 1 << 20, .clap = false});
    serveCatalog({productJSON("aurora")}, {release});
    const auto model = makeModel();
    EXPECT_EQ(finish(model->refreshAsync(false)), nullptr);

    service.injectFault(filePath(release), {.truncateAfterBytes = 300'000});
    EXPECT_NE(finish(model->performInstallAsync(decode(release), false)), nullptr);
    ASSERT_TRUE(std::filesystem::exists(partial(release)));
    const auto kept = std::filesystem::file_size(partial(release));
    ASSERT_GT(kept, 0u);

    service.injectFault(filePath(release), {.delayBeforeFirstByte = std::chrono::seconds(30)});
    const auto requests = service.requestsTo(filePath(release)).size();
    auto install = model->performInstallAsync(decode(release), true);
    ASSERT_TRUE(eventually([&] { return service.requestsTo(filePath(release)).size() > requests; }));
    EXPECT_TRUE(model->installProgress().contains("prod_aurora"));
    model->cancelInstall();
    QElapsedTimer timer;
    timer.start();
    const auto failure = finish(std::move(install));
    EXPECT_LT(timer.elapsed(), 10'000);
    ASSERT_NE(failure, nullptr);
    EXPECT_THROW(std::rethrow_exception(failure), OperationCancelled);
    EXPECT_EQ(std::filesystem::file_size(partial(release)), kept);
    EXPECT_TRUE(installedVersions(*model).empty());
    EXPECT_FALSE(std::filesystem::exists(folders.pluginDirectory / "Aurora.vst3"));
    EXPECT_EQ(model->phase(), Phase::ready());
    EXPECT_FALSE(model->errorMessage());
    EXPECT_TRUE(model->installProgress().empty());
}

TEST_F(HubModelTest, MainThreadKeepsRunningWhileALargeReleaseInstalls) {
    signIn();
    const auto release = publish({.payloadBytes = 100 << 20, .clap = false});
    serveCatalog({productJSON("aurora")}, {release});
    const auto model = makeModel();
    EXPECT_EQ(finish(model->refreshAsync(false)), nullptr);

    QElapsedTimer clock;
    clock.start();
    qint64 last = 0;
    qint64 longestGap = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        longestGap = std::max(longestGap, clock.elapsed() - last);
        last = clock.elapsed();
    });
    ticker.start(10);
    EXPECT_EQ(finish(model->performInstallAsync(decode(release), true)), nullptr);
    ticker.stop();
    EXPECT_EQ(installedVersions(*model).at("prod_aurora"), "1.0.0");
    // The installation itself takes seconds; the main thread only ever waits for its own small work.
    EXPECT_LT(longestGap, 750) << "installation took " << clock.elapsed() << " ms";
}

TEST_F(HubModelTest, DestroyingTheModelCancelsRunningWorkAndNeverResumesIt) {
    signIn();
    const auto release = publish({});
    serveCatalog({productJSON("aurora")}, {release});
    auto model = makeModel();
    EXPECT_EQ(finish(model->refreshAsync(false)), nullptr);

    service.injectFault(filePath(release), {.delayBeforeFirstByte = std::chrono::seconds(30)});
    service.injectFault("/v1/hub/latest", {.delayBeforeFirstByte = std::chrono::seconds(30)});
    const auto requests = service.requests().size();
    model->performInstall(QString::fromStdString(decode(release).releaseID));
    model->checkHubUpdate();
    ASSERT_TRUE(eventually([&] { return service.requests().size() >= requests + 2; }));
    EXPECT_TRUE(model->busy());

    QElapsedTimer timer;
    timer.start();
    model.reset();
    EXPECT_LT(timer.elapsed(), 10'000);
    // Whatever the workers posted before they stopped is dropped with the model.
    QCoreApplication::processEvents();
}

// The QML face and fixed states.

TEST_F(HubModelTest, SnapshotStateReadsTheSameFromQmlAndChangesSignalOnlyOnChange) {
    HubModel::Snapshot snapshot;
    snapshot.phase = Phase::authorizing("ABCD-1234");
    snapshot.products["prod_aurora"] = {.installedVersion = "1.0.0", .pendingVersion = "1.1.0"};
    snapshot.products["prod_boreal"].incomplete = true;
    snapshot.errorMessage = "Boom.";
    snapshot.backgroundServiceState = State::unavailable("Move it.");
    snapshot.backgroundStatus = app::BackgroundAgentStatus{0, "Fine.", "Late."};
    snapshot.installProgress = {
        {"prod_aurora", {{PluginInstaller::Progress::Step::downloading, 25, 100}, 12.5}}};
    HubModel model(snapshot);

    EXPECT_EQ(model.phase(), Phase::authorizing("ABCD-1234"));
    EXPECT_EQ(model.productStates(), snapshot.products);
    EXPECT_EQ(model.property("errorMessage").toString(), "Boom.");
    EXPECT_EQ(model.property("noticeMessage").toString(), "");
    EXPECT_EQ(model.property("backgroundServiceState").toString(), "unavailable");
    EXPECT_TRUE(model.property("backgroundNeedsAttention").toBool());
    const auto status = model.property("backgroundStatus").toMap();
    EXPECT_EQ(status.value("checkedAt").toDateTime().toSecsSinceEpoch(), 978'307'200);
    EXPECT_EQ(status.value("error").toString(), "Late.");
    const auto progress = model.property("installProgress").toMap().value("prod_aurora").toMap();
    EXPECT_EQ(progress.value("step").toString(), "downloading");
    EXPECT_DOUBLE_EQ(progress.value("fraction").toDouble(), 0.25);

    int changes = 0;
    QObject::connect(&model, &HubModel::phaseChanged, [&] { ++changes; });
    QObject::connect(&model, &HubModel::busyChanged, [&] { ++changes; });
    QObject::connect(&model, &HubModel::errorMessageChanged, [&] { ++changes; });
    QObject::connect(&model, &HubModel::productStatesChanged, [&] { ++changes; });
    model.restore(snapshot);
    EXPECT_EQ(changes, 0);
    snapshot.phase = Phase::updating("prod_aurora");
    model.restore(snapshot);
    EXPECT_EQ(changes, 2) << "phase and busy";
    EXPECT_TRUE(model.busy());

    model.start();
    model.signIn();
    QCoreApplication::processEvents();
    EXPECT_EQ(model.phase(), Phase::updating("prod_aurora")) << "a fixed state has no services";
}

TEST_F(HubModelTest, ACallFromAnotherThreadEndsTheProcessNamingTheCall) {
#if !HALVEX_THREAD_CHECKS
    GTEST_SKIP() << "this build has no thread checks";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto model = makeModel();
    EXPECT_DEATH(std::thread([&] { model->refreshAsync(false); }).join(),
                 "thread rule broken: .*refreshAsync.* called on another thread");
}

}  // namespace
}  // namespace halvex
