#include "app/background_agent.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <mutex>
#include <thread>

#include "app/agent_lock.h"
#include "core/foundation/halvex_error.h"
#include "halvex/trust_constants.h"
#include "platform/file_io.h"
#include "tests/support/child_process.h"
#include "tests/support/ci_skip.h"
#include "tests/support/plugin_fixtures.h"
#include "tests/support/release_builder.h"
#include "tests/support/service_fixture.h"
#include "tests/support/wait.h"

namespace halvex::app {
namespace {

using JSON = nlohmann::json;
using namespace std::chrono_literals;

struct PluginOptions {
    std::string version = "1.0.0";
    std::string minimumHubVersion = "1.0.0";
    bool clapOnly = false;
};

// Products, releases and the catalogue that lists them, served by the stand-in service.
class AgentFixture : public test::ServiceFixture {
  protected:
    JSON publish(const std::string& product, const PluginOptions& options,
                 const maker::TrustSet& trust = test::trust()) {
        const bool clapOnly = options.clapOnly;
        const auto minimumHubVersion = clapOnly && options.minimumHubVersion == "1.0.0"
                                           ? std::string("1.0.5")
                                           : options.minimumHubVersion;
        return builder
            .plugin({.product = product,
                     .version = options.version,
                     .name = product + " " + options.version,
                     .channel = clapOnly ? "beta" : "stable",
                     .audience = clapOnly ? std::optional<std::string>("internal") : std::nullopt,
                     .minimumHubVersion = minimumHubVersion,
                     .vst3 = !clapOnly,
                     .audioUnit = false,
                     .clap = clapOnly,
                     .trust = &trust})
            .release;
    }

    static JSON productJSON(const std::string& product, bool clapOnly = false) {
        JSON json = {{"product_id", "prod_" + product},
                     {"slug", product},
                     {"name", product},
                     {"bundle_id", "com.halvex." + product},
                     {"vst3_processor_fuid", "P"},
                     {"vst3_controller_fuid", "C"},
                     {"icon_url", "https://cdn.example/icon.png"},
                     {"owned", true}};
        if (clapOnly) json["beta_access"] = true;
        return json;
    }

    void serveCatalog(const std::vector<JSON>& products, const std::vector<JSON>& releases) {
        service.setCatalog({{"products", products}, {"releases", releases}});
    }

    JSON hubRelease(const std::string& version) const {
        return {{"release_id", "hub_1"},
                {"version", version},
                {"platform", "macos"},
                {"architectures", {"arm64"}},
                {"minimum_os", "1.0"},
                {"size_bytes", 1},
                {"sha256", std::string(64, '0')},
                {"release_notes", ""},
                {"manifest", "a.b.c"},
                {"download_url", service.baseURL() + "/files/hub/none.zip"},
                {"published_at", 1}};
    }

    test::ReleaseBuilder builder{folder / "Releases", [this](const auto& path, const auto& archive) {
                                     return service.addFileFromDisk(path, archive);
                                 }};
};

// The running hosts a test pretends: changed on the test's thread, read on the agent's threads, each read
// counted (the staged loop asks once a round while anything is pending).
class PretendedHosts {
  public:
    PretendedHosts& operator=(std::vector<std::string> names) {
        std::lock_guard lock(mutex_);
        names_ = std::move(names);
        return *this;
    }
    void clear() { *this = std::vector<std::string>{}; }
    std::vector<std::string> operator()() {
        std::lock_guard lock(mutex_);
        ++queries_;
        return names_;
    }
    int queries() const {
        std::lock_guard lock(mutex_);
        return queries_;
    }

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> names_;
    int queries_ = 0;
};

class BackgroundAgentTest : public AgentFixture {
  protected:
    BackgroundAgentTest() {
        service.setHubRelease(hubRelease("1.0.0"));
        folders = PluginInstaller::Folders::standard(folder / "Support", folder / "Plugins" / "VST3");
        folders.legacyVST3Directory = folder / "Legacy";
    }

    BackgroundAgent agent() {
        BackgroundAgent::Environment environment;
        environment.library.configuration = [this] { return test::trustingConfiguration(service.baseURL()); };
        environment.library.keychain = [this] { return keychain; };
        environment.library.pluginFolders = [this] { return folders; };
        environment.library.hubOptions = [this] {
            HubUpdater::Options options;
            options.applicationSupport = folder / "Support";
            options.applicationURL = hubLocation;
            options.currentVersion = "1.0.0";
            options.applicationsFolder = folder / "Applications";
            options.isHubUIRunning = [] { return false; };
            return options;
        };
        environment.library.audioApplications = [this] { return hosts(); };
        environment.library.hubVersion = "1.0.5";
        environment.statusStore = BackgroundAgentStatusStore(folder / "Support");
        environment.timings.stagedPoll = 20ms;
        return BackgroundAgent(environment);
    }

    // Sees the hosts the test sets, like the agent's own installers.
    std::unique_ptr<PluginInstaller> installerFor() {
        auto result =
            std::make_unique<PluginInstaller>(test::trustingConfiguration(service.baseURL()), folders);
        result->setAudioApplications([this] { return hosts(); });
        return result;
    }
    PluginInstaller& installer() {
        if (!installer_) installer_ = installerFor();
        return *installer_;
    }
    std::unique_ptr<PluginInstaller> installer_;

    void installDirectly(const JSON& release) {
        const auto record = json::decodeRecord<Release>(release.dump());
        installer().downloadAndInstall(record, client(), test::trustingVerifier(), false, false);
    }

    BackgroundAgentStatus status() const {
        return BackgroundAgentStatusStore(folder / "Support").read().value();
    }

    PluginInstaller::Folders folders;
    std::filesystem::path hubLocation = folder / "Applications" / "HALVEX HUB.app";
    std::optional<std::string> statusMessage() const {
        const auto record = BackgroundAgentStatusStore(folder / "Support").read();
        return record ? std::optional(record->message) : std::nullopt;
    }

    PretendedHosts hosts;
};

TEST_F(BackgroundAgentTest, WithoutSignInItRecordsThatAndWaitsSixHours) {
    EXPECT_EQ(agent().runOnce(), 21600s);
    EXPECT_EQ(status().message, BackgroundAgent::signInMessage);
    EXPECT_EQ(status().error, std::nullopt);
}

TEST_F(BackgroundAgentTest, ADeferredHubUpdateIsReportedAndRetriedInTenMinutes) {
    service.setHubRelease(hubRelease("1.1.0"));
    hubLocation = folder / "Home" / "HALVEX HUB.app";
    EXPECT_EQ(agent().runOnce(), 600s);
    EXPECT_EQ(status().message, "Move HALVEX HUB to Applications to enable automatic HUB updates.");
    service.setHubRelease(std::nullopt);
    signIn();
    serveCatalog({}, {});
    EXPECT_EQ(agent().runOnce(), 600s);
    EXPECT_EQ(status().message, BackgroundAgent::hubRetryMessage);
    EXPECT_EQ(status().error, "No hub release is available.");
}

TEST_F(BackgroundAgentTest, UpdatesInstalledPluginsAndLeavesNewerOnesAlone) {
    signIn();
    const auto old = publish("aurora", {.version = "1.0.0"});
    installDirectly(old);
    const auto newerInstalled = publish("borealis", {.version = "2.0.0"});
    installDirectly(newerInstalled);
    const auto update = publish("aurora", {.version = "1.1.0"});
    const auto older = publish("borealis", {.version = "1.9.0"});
    serveCatalog({productJSON("aurora"), productJSON("borealis"), productJSON("notinstalled")},
                 {old, update, older});

    EXPECT_EQ(agent().runOnce(), 21600s);
    EXPECT_EQ(status().message, BackgroundAgent::allCurrentMessage);
    EXPECT_EQ(status().error, std::nullopt);
    EXPECT_EQ(installer().installedVersion("com.halvex.aurora"), "1.1.0");
    EXPECT_EQ(installer().installedVersion("com.halvex.borealis"), "2.0.0");
    EXPECT_EQ(service.requestsTo("/files/releases/borealis-4.zip").size(), 0u) << "never downgrade";
}

TEST_F(BackgroundAgentTest, AHeldProductIsNeitherUpdatedNorRetried) {
    signIn();
    const auto old = publish("aurora", {.version = "1.0.0"});
    installDirectly(old);
    const auto update = publish("aurora", {.version = "1.1.0"});
    serveCatalog({productJSON("aurora")}, {old, update});
    installer().holds().hold("prod_aurora", "1.0.0");

    EXPECT_EQ(agent().runOnce(), 21600s);
    EXPECT_EQ(status().message, BackgroundAgent::allCurrentMessage);
    EXPECT_EQ(installer().installedVersion("com.halvex.aurora"), "1.0.0");
    EXPECT_TRUE(service.requestsTo("/files/releases/aurora-2.zip").empty());

    installer().holds().release("prod_aurora");
    agent().runOnce();
    EXPECT_EQ(installer().installedVersion("com.halvex.aurora"), "1.1.0");
}

TEST_F(BackgroundAgentTest, RunningHostsNewerHubsAndPendingUpdatesAskForARetryWithoutAnError) {
    signIn();
    const auto old = publish("aurora", {.version = "1.0.0"});
    installDirectly(old);
    serveCatalog({productJSON("aurora")}, {old, publish("aurora", {.version = "1.1.0"})});
    hosts = {"REAPER"};
    EXPECT_EQ(agent().runOnce(), 600s);
    EXPECT_EQ(status().message, BackgroundAgent::pendingRetryMessage);
    EXPECT_EQ(status().error, std::nullopt);

    hosts.clear();
    serveCatalog({productJSON("aurora")},
                 {old, publish("aurora", {.version = "1.2.0", .minimumHubVersion = "9.0.0"})});
    EXPECT_EQ(agent().runOnce(), 600s);
    EXPECT_EQ(installer().installedVersion("com.halvex.aurora"), "1.0.0");

    const auto staged = publish("aurora", {.version = "1.3.0"});
    hosts = {"REAPER"};
    EXPECT_EQ(installer()
                  .downloadAndInstall(json::decodeRecord<Release>(staged.dump()), client(),
                                      test::trustingVerifier(), false, true)
                  .kind,
              PluginInstaller::InstallResult::Kind::pendingRestart);
    hosts.clear();
    serveCatalog({productJSON("aurora")}, {old, staged});
    const auto requests = service.requests().size();
    EXPECT_EQ(agent().runOnce(), 600s);
    EXPECT_EQ(service.requests().size(), requests + 2)
        << "hub release and catalogue only; nothing downloaded";
}

TEST_F(BackgroundAgentTest, TheFirstOrdinaryFailureIsKept) {
    signIn();
    const auto a = publish("aurora", {.version = "1.0.0"});
    const auto b = publish("borealis", {.version = "1.0.0"});
    installDirectly(a);
    installDirectly(b);
    auto brokenA = publish("aurora", {.version = "1.1.0"});
    brokenA["download_url"] = service.baseURL() + "/files/releases/missing.zip";
    auto brokenB = publish("borealis", {.version = "1.1.0"});
    brokenB["minimum_os"] = "2.0";
    serveCatalog({productJSON("aurora"), productJSON("borealis")}, {a, b, brokenA, brokenB});
    EXPECT_EQ(agent().runOnce(), 600s);
    EXPECT_EQ(status().message, BackgroundAgent::pendingRetryMessage);
    EXPECT_EQ(status().error, "Not Found");
}

TEST_F(BackgroundAgentTest, ServiceFailuresBecomeARecordAndARetry) {
    signIn();
    service.injectFault("/v1/catalog",
                        tools::Fault{.status = 500, .body = "<html>down</html>", .contentType = "text/html"});
    EXPECT_EQ(agent().runOnce(), 600s);
    EXPECT_EQ(status().message, BackgroundAgent::retryMessage);
    EXPECT_EQ(status().error, "Internal Server Error");
    service.injectFault("/v1/catalog", tools::Fault{.status = 200, .body = "{\"products\":"});
    EXPECT_EQ(agent().runOnce(), 600s);
    EXPECT_EQ(status().message, BackgroundAgent::retryMessage);
}

TEST_F(BackgroundAgentTest, TheStagedLoopFinishesOnceHostsQuitAndReportsAFailureOnce) {
    signIn();
    const auto old = publish("aurora", {.version = "1.0.0"});
    installDirectly(old);
    const auto staged = publish("aurora", {.version = "1.1.0"});
    hosts = {"REAPER"};
    installer().downloadAndInstall(json::decodeRecord<Release>(staged.dump()), client(),
                                   test::trustingVerifier(), false, true);

    auto background = agent();
    std::jthread loop([&](std::stop_token stop) { background.finishPreparedUpdates(stop); });
    // Rounds of the loop while the host runs install nothing.
    const int before = hosts.queries();
    ASSERT_TRUE(test::waitUntil([&] { return hosts.queries() >= before + 3; }));
    EXPECT_EQ(installer().installedVersion("com.halvex.aurora"), "1.0.0");
    hosts.clear();
    const std::string updated = "Updated aurora 1.1.0. Reopen your DAW to use the latest version.";
    ASSERT_TRUE(test::waitUntil([&] { return statusMessage() == updated; }));
    EXPECT_EQ(installer().installedVersion("com.halvex.aurora"), "1.1.0");

    // A damaged pending folder is met in every round; its record is written once.
    const auto pending = folder / "Support" / "PendingUpdates" / "0000";
    std::filesystem::create_directories(pending);
    std::ofstream(pending / "release.json") << "{broken";
    const std::string attention = "A prepared update needs attention. Open HALVEX HUB and refresh to retry.";
    ASSERT_TRUE(test::waitUntil([&] { return statusMessage() == attention; }));
    const auto first = platform::stampOf(BackgroundAgentStatusStore(folder / "Support").file());
    const int reported = hosts.queries();
    ASSERT_TRUE(test::waitUntil([&] { return hosts.queries() >= reported + 5; }));
    EXPECT_EQ(platform::stampOf(BackgroundAgentStatusStore(folder / "Support").file()), first);
    loop.request_stop();
}

// Recovery that fails once (here: a journal it cannot use) is tried again on every round, and staged
// updates are finished as soon as it succeeds.
TEST_F(BackgroundAgentTest, TheStagedLoopRetriesAFailedRecoveryAndThenFinishes) {
    signIn();
    installDirectly(publish("aurora", {.version = "1.0.0"}));
    const auto staged = publish("aurora", {.version = "1.1.0"});
    hosts = {"REAPER"};
    installer().downloadAndInstall(json::decodeRecord<Release>(staged.dump()), client(),
                                   test::trustingVerifier(), false, true);
    hosts.clear();
    const auto journal = folder / "Support" / "Journal" / "0.json";
    std::filesystem::create_directories(journal.parent_path());
    std::ofstream(journal) << "{\"kind\":";

    auto background = agent();
    std::jthread loop([&](std::stop_token stop) { background.finishPreparedUpdates(stop); });
    ASSERT_TRUE(
        test::waitUntil([&] { return statusMessage() == "Prepared updates need attention in the HUB."; }));
    EXPECT_EQ(installer().installedVersion("com.halvex.aurora"), "1.0.0");
    std::filesystem::remove(journal);
    ASSERT_TRUE(test::waitUntil([&] {
        return statusMessage() == "Updated aurora 1.1.0. Reopen your DAW to use the latest version.";
    }));
    EXPECT_EQ(installer().installedVersion("com.halvex.aurora"), "1.1.0");
    loop.request_stop();
}

// The real executable as the agent, against the stand-in service, with temporary XDG folders. Its
// plugins are CLAP-only so that everything it installs stays below the temporary home folder.
class AgentProcessTest : public AgentFixture {};

TEST_F(AgentProcessTest, ARealAgentUpdatesAnInstalledPluginAndStopsCleanly) {
    if (std::string(build::demoKeysFolder).empty())
        HALVEX_SKIP_OUTSIDE_CI("this build trusts release keys, not demo keys");
    const auto trust = maker::readTrustSet(build::demoKeysFolder);
    const auto home = folder / "home";
    const auto data = folder / "data";
    std::filesystem::create_directories(home);
    const std::map<std::string, std::string> environment = {{"HOME", home.string()},
                                                            {"XDG_DATA_HOME", data.string()},
                                                            {"XDG_CONFIG_HOME", (folder / "config").string()},
                                                            {"XDG_CACHE_HOME", (folder / "cache").string()},
                                                            {"XDG_RUNTIME_DIR", folder.path().string()},
                                                            {"DBUS_SESSION_BUS_ADDRESS", ""},
                                                            {"HVX_API_BASE_URL", service.baseURL()}};

    // What the agent finds: a sign-in in the file keychain and version 1.0.0 installed.
    const KeychainStore agentKeychain("com.halvex.hub",
                                      platform::makeFileCredentialStore(data / "Halvex" / "Keychain"));
    agentKeychain.write(service.issueToken(), APIClient::credentialAccount);
    const auto old = publish("aurora", {.version = "1.0.0-beta.1", .clapOnly = true}, trust);
    test::writeSealedWrapper(
        home / ".clap", "Aurora.clap",
        {.identifier = "com.halvex.aurora.clap",
         .version = "1.0.0-beta.1",
         .executable = "AuroraCLAP",
         .extraInfo = {{"HVXCLAPPluginID", std::string("com.halvex.aurora")}}},
        {.identifier = "com.halvex.aurora", .version = "1.0.0-beta.1", .executable = "Aurora"}, trust.leaf);
    const auto update = publish("aurora", {.version = "1.0.0-beta.2", .clapOnly = true}, trust);
    serveCatalog({productJSON("aurora", true)}, {old, update});
    service.setHubRelease(hubRelease("1.0.0"));

    test::ChildProcess agent({HALVEX_HUB_EXECUTABLE, "--background-agent"}, environment);
    const BackgroundAgentStatusStore store(data / "Halvex");
    ASSERT_TRUE(test::waitUntil([&] { return store.read().has_value(); }));
    EXPECT_EQ(store.read()->message, BackgroundAgent::allCurrentMessage);
    EXPECT_EQ(store.read()->error, std::nullopt);
    EXPECT_EQ(platform::readPropertyList(home / ".clap" / "Aurora.clap" / "Contents" / "Info.plist")
                  .stringMember("CFBundleShortVersionString"),
              "1.0.0-beta.2");
    EXPECT_EQ(AgentLock::holder(data / "Halvex"), agent.pid());
    EXPECT_EQ(agent.stop(SIGTERM), 0);
    EXPECT_EQ(AgentLock::holder(data / "Halvex"), std::nullopt);
}

}  // namespace
}  // namespace halvex::app
