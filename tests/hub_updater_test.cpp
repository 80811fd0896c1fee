#include "core/hub_update/hub_updater.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <iostream>
#include <system_error>
#include <thread>

#include "app/background_agent_status.h"
#include "app/hub_update_restart.h"
#include "core/foundation/halvex_error.h"
#include "core/hub_update/hub_update_process_wait.h"
#include "core/service/network_error.h"
#include "platform/fault_injection.h"
#include "platform/file_io.h"
#include "tests/support/child_process.h"
#include "tests/support/error_text.h"
#include "tests/support/fault_loop.h"
#include "tests/support/plugin_fixtures.h"
#include "tests/support/release_builder.h"
#include "tests/support/scoped_environment.h"
#include "tests/support/service_fixture.h"
#include "tests/support/wait.h"

namespace halvex {
namespace {

using namespace std::chrono_literals;

using JSON = nlohmann::json;
using Result = HubUpdater::Result;

using test::errorText;

test::BundleSpec hubSpec(const std::string& version, const std::string& payload = "hub") {
    return {
        .identifier = "com.halvex.hub", .version = version, .executable = "HalvexHub", .payload = payload};
}

struct ImageOptions {
    std::string version = "1.1.0";
    // Changes the image's folder before it is zipped.
    std::function<void(const std::filesystem::path& image)> tamper{};
    // Changes the catalogue record and the signed manifest after packaging.
    std::function<void(JSON& release, JSON& manifest)> change{};
};

class HubUpdaterTest : public test::ServiceFixture {
  protected:
    // Where the finisher's status file goes.
    const test::ScopedEnvironment dataHome{{{"XDG_DATA_HOME", (folder / "data").string()}}};

    // In memory: the kill and error loops repeat the installation's file operations many times.
    HubUpdaterTest() : ServiceFixture({}, test::TemporaryDirectory::Medium::memory) {
        installed = test::writeSealedBundle(applications, "HALVEX HUB.app", hubSpec("1.0.0", "old hub"));
    }

    HubRelease publish(const ImageOptions& options) {
        const auto image = folder / "Images" / std::to_string(++images);
        test::writeSealedBundle(image, "HALVEX HUB.app", hubSpec(options.version, "hub " + options.version));
        if (options.tamper) options.tamper(image);
        const auto packaged = builder.hub(image, {.version = options.version, .change = options.change});
        service.setHubRelease(packaged.release);
        return json::decodeRecord<HubRelease>(packaged.release.dump());
    }

    HubUpdater updater(std::optional<std::string> version = std::nullopt, std::filesystem::path at = {}) {
        HubUpdater::Options options;
        options.applicationSupport = folder / "Support";
        options.applicationURL = at.empty() ? installed : at;
        options.currentVersion = std::move(version);
        options.applicationsFolder = applications;
        options.isHubUIRunning = [this] { return windowOpen; };
        options.afterReplace = afterReplace;
        return HubUpdater(test::trustingConfiguration(service.baseURL()), client(), test::trustingVerifier(),
                          options);
    }

    std::string installedVersion() const {
        return platform::readPropertyList(installed / "Contents" / "Info.plist")
            .stringMember("CFBundleShortVersionString")
            .value_or("");
    }

    std::vector<std::string> hiddenInApplications() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(applications)) {
            if (entry.path().filename().string().starts_with(".")) names.push_back(entry.path().filename());
        }
        return names;
    }

    bool noTickets() const {
        const auto tickets = folder / "Support" / "HubUpdates";
        return !std::filesystem::exists(tickets) || std::filesystem::is_empty(tickets);
    }

    std::filesystem::path applications = folder / "Applications";
    std::filesystem::path installed;
    bool windowOpen = false;
    std::function<void(const std::filesystem::path&)> afterReplace;
    int images = 0;
    test::ReleaseBuilder builder{folder / "Releases", [this](const auto& path, const auto& archive) {
                                     return service.addFileFromDisk(path, archive);
                                 }};
};

TEST_F(HubUpdaterTest, OffersOnlyANewerVerifiedRelease) {
    publish({.version = "1.0.0"});
    EXPECT_EQ(updater().currentVersion(), "1.0.0") << "read from the installed bundle";
    EXPECT_EQ(updater().availableRelease(), std::nullopt);
    EXPECT_EQ(updater("banana").availableRelease(), std::nullopt);
    publish({.version = "1.1.0", .change = [](JSON& r, JSON&) { r["architectures"] = {"x86_64", "arm64"}; }});
    EXPECT_EQ(updater().availableRelease()->version, "1.1.0");

    const char* mismatch = "The signed Hub metadata does not match the release.";
    publish({.change = [](JSON& r, JSON&) { r["architectures"] = {"arm64", "x86_64", "ppc"}; }});
    EXPECT_EQ(errorText([&] { updater().availableRelease(); }), mismatch);
    publish({.change = [](JSON&, JSON& m) { m["schema"] = 2; }});
    EXPECT_EQ(errorText([&] { updater().availableRelease(); }), mismatch);
    publish({.change = [](JSON&, JSON& m) { m["product_id"] = "prod_other"; }});
    EXPECT_EQ(errorText([&] { updater().availableRelease(); }), mismatch);
}

TEST_F(HubUpdaterTest, PreparesExactlyTheApplicationAndTicket) {
    auto hub = updater();
    const auto ticket = hub.prepare(publish(
        {.tamper = [](const auto& image) { test::writeBundle(image, ".Hidden.app", hubSpec("9.9.9")); }}));
    EXPECT_TRUE(HubUpdater::isValidTicket(ticket));
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(hub.preparedDirectory(ticket))) {
        names.push_back(entry.path().filename());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"Update.app", "release.json"}));
    EXPECT_EQ(std::filesystem::status(hub.preparedDirectory(ticket)).permissions(),
              std::filesystem::perms(0700));
    EXPECT_NO_THROW(hub.validatePrepared(ticket));

    std::string lower = ticket;
    std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
    EXPECT_EQ(errorText([&] { hub.validatePrepared(lower); }), "Invalid HUB update request.");
    hub.discardPrepared(lower);
    EXPECT_TRUE(std::filesystem::exists(hub.preparedDirectory(ticket)));
    EXPECT_EQ(errorText([&] { updater("1.1.0").validatePrepared(ticket); }),
              "The prepared HUB update is no longer needed.");
    EXPECT_TRUE(std::filesystem::exists(hub.preparedDirectory(ticket)));
    hub.discardPrepared(ticket);
    EXPECT_TRUE(noTickets());
}

TEST_F(HubUpdaterTest, AFailedPreparationLeavesNothingBehind) {
    const std::vector<std::pair<ImageOptions, std::string>> table = {
        {{.tamper =
              [](const auto& image) { test::writeSealedBundle(image, "Second.app", hubSpec("1.1.0")); }},
         "A HUB update must contain exactly one application."},
        {{.tamper =
              [](const auto& image) {
                  std::ofstream(image / "HALVEX HUB.app" / "Contents" / "extra") << "x";
              }},
         "The plugin is not signed by HALVEX."},
        {{.tamper =
              [](const auto& image) {
                  std::filesystem::remove(image / "HALVEX HUB.app" / "Contents" / "Info.plist");
              }},
         "The Hub application identity or version is invalid."},
        {{.tamper =
              [](const auto& image) {
                  std::filesystem::remove_all(image / "HALVEX HUB.app");
                  test::writeSealedBundle(image, "HALVEX HUB.app", hubSpec("1.0.9"));
              }},
         "The Hub application identity or version is invalid."},
        {{.tamper = [](const auto& image) { std::filesystem::create_symlink("/etc", image / "escape"); }},
         "The Hub disk image could not be mounted."},
        {{.change =
              [](JSON& r, JSON& m) {
                  auto digest = r["sha256"].get<std::string>();
                  std::transform(digest.begin(), digest.end(), digest.begin(), ::toupper);
                  r["sha256"] = m["sha256"] = digest;
              }},
         "The downloaded update did not match its signed checksum."},
        {{.change = [](JSON& r, JSON& m) { r["minimum_os"] = m["minimum_os"] = "999"; }},
         "HALVEX HUB 1.1.0 requires macOS 999 or later."},
        {{.version = "1.0.0"}, "This HUB update is no longer newer than the installed version."},
    };
    for (const auto& [options, message] : table) {
        const auto release = publish(options);
        EXPECT_EQ(errorText([&] { updater().prepare(release); }), message);
        EXPECT_TRUE(noTickets()) << message;
    }
    const auto release = publish({});
    EXPECT_EQ(
        errorText([&] { updater(std::nullopt, folder / "Downloads" / "HALVEX HUB.app").prepare(release); }),
        "Move HALVEX HUB to Applications before updating it.");
    service.injectFault(release.downloadURL.path(), tools::Fault{.truncateAfterBytes = 100});
    EXPECT_THROW(updater().prepare(release), NetworkError);
    EXPECT_TRUE(noTickets());
}

TEST_F(HubUpdaterTest, InstallsWithARollbackArchiveAndRestoresAFailedSwap) {
    auto ticket = updater().prepare(publish({}));
    windowOpen = true;
    EXPECT_EQ(errorText([&] { updater().installPrepared(ticket); }),
              "Close HALVEX HUB before installing its update.");
    windowOpen = false;

    afterReplace = [](const std::filesystem::path& bundle) {
        std::ofstream(bundle / "Contents" / "MacOS" / "HalvexHub", std::ios::app) << "damage";
    };
    EXPECT_EQ(errorText([&] { updater().installPrepared(ticket); }), "The plugin is not signed by HALVEX.");
    EXPECT_EQ(installedVersion(), "1.0.0");
    EXPECT_NO_THROW(updater().verifyApplication(installed, "1.0.0", std::nullopt))
        << "the old bundle is back intact";
    EXPECT_TRUE(hiddenInApplications().empty());

    // When the old bundle cannot be put back either (every file operation fails from the damage on), both
    // failures are reported and the old bundle is kept for recovery, which puts it back.
    struct FailingDisk {
        ~FailingDisk() { platform::setFaultHook(nullptr); }
    } failingDisk;
    afterReplace = [](const std::filesystem::path& bundle) {
        std::ofstream(bundle / "Contents" / "MacOS" / "HalvexHub", std::ios::app) << "damage";
        platform::setFaultHook([](platform::FileOperation, const std::filesystem::path&) {
            throw std::system_error(EIO, std::generic_category());
        });
    };
    const auto failure = errorText([&] { updater().installPrepared(ticket); });
    platform::setFaultHook(nullptr);
    EXPECT_TRUE(
        failure.starts_with("The HUB update failed (The plugin is not signed by HALVEX.) and the "
                            "previous version could not be put back yet ("))
        << failure;
    EXPECT_TRUE(updater().recoverInterruptedWork());
    EXPECT_EQ(installedVersion(), "1.0.0");
    EXPECT_NO_THROW(updater().verifyApplication(installed, "1.0.0", std::nullopt)) << "the only good copy";
    EXPECT_TRUE(hiddenInApplications().empty());

    afterReplace = nullptr;
    EXPECT_NO_THROW(updater().installPrepared(ticket));
    EXPECT_EQ(installedVersion(), "1.1.0");
    EXPECT_TRUE(hiddenInApplications().empty());
    const auto archive = folder / "Support" / "Rollback" / "Hub" / "HALVEX-HUB-1.0.0-macOS.zip";
    ASSERT_TRUE(std::filesystem::exists(archive));

    // Archiving the same version again replaces its archive.
    const auto firstSize = std::filesystem::file_size(archive);
    std::filesystem::remove_all(installed);
    test::writeSealedBundle(applications, "HALVEX HUB.app", hubSpec("1.0.0", "a different old hub build"));
    ticket = updater().prepare(publish({.version = "1.2.0"}));
    EXPECT_NO_THROW(updater().installPrepared(ticket));
    EXPECT_NE(std::filesystem::file_size(archive), firstSize);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(archive.parent_path()), {}), 1);
}

// Killed at every file operation of the installation (and recovery killed at every operation of its own
// after that), the hub is afterwards wholly the old or wholly the new version, with no hidden bundle or
// journal left, and an interrupted update can be installed again. A full disk or an I/O error at each
// operation instead is reported with the old hub intact and nothing left over.
TEST_F(HubUpdaterTest, AnInstallationKilledOrFailingAtEveryFileOperationLeavesOneWholeHub) {
    const auto ticket = updater().prepare(publish({}));
    const auto support = folder / "Support";
    platform::copyTree(support, folder / "StartSupport");
    platform::copyTree(applications, folder / "StartApplications");
    const auto reset = [&] {
        std::filesystem::remove_all(support);
        std::filesystem::remove_all(applications);
        platform::copyTree(folder / "StartSupport", support);
        platform::copyTree(folder / "StartApplications", applications);
    };
    const auto oldHub = test::treeSnapshot(installed);
    updater().installPrepared(ticket);
    const auto newHub = test::treeSnapshot(installed);
    const auto expectNoLeftovers = [&] {
        EXPECT_TRUE(hiddenInApplications().empty());
        EXPECT_EQ(test::hiddenItems(support), std::vector<std::string>{});
        EXPECT_TRUE(!std::filesystem::exists(support / "Journal") ||
                    std::filesystem::is_empty(support / "Journal"));
    };

    int point = 1;
    int recoveryKills = 0;
    for (;; ++point) {
        SCOPED_TRACE("killed at file operation " + std::to_string(point));
        reset();
        const auto run = test::runKilledAt(point, [&] { updater().installPrepared(ticket); });
        if (run != test::KilledRun::killed) {
            EXPECT_EQ(run, test::KilledRun::completed);
            break;
        }
        const auto kills = test::recoverThroughKills([&] {
            if (!updater().recoverInterruptedWork()) ::_exit(5);
        });
        ASSERT_TRUE(kills.has_value()) << "recovery failed";
        recoveryKills += *kills;
        const auto hub = test::treeSnapshot(installed);
        EXPECT_TRUE(hub == oldHub || hub == newHub) << "a damaged or mixed hub bundle";
        expectNoLeftovers();
        if (hub == oldHub) {
            EXPECT_NO_THROW(updater().installPrepared(ticket));
            EXPECT_EQ(test::treeSnapshot(installed), newHub);
        }
        if (HasFailure()) return;
    }
    EXPECT_GT(point, 10);
    EXPECT_GT(recoveryKills, 5);
    std::cout << "hub installation: " << point - 1 << " kill points, recovery killed " << recoveryKills
              << " times\n";

    for (const int error : {ENOSPC, EIO}) {
        for (point = 1;; ++point) {
            SCOPED_TRACE("errno " + std::to_string(error) + " at file operation " + std::to_string(point));
            reset();
            std::error_code thrown;
            bool reached = false;
            {
                const test::FailingOperation failing(point, error);
                try {
                    updater().installPrepared(ticket);
                } catch (const std::system_error& failure) {
                    thrown = failure.code();
                }
                reached = failing.reached();
            }
            if (thrown) {
                EXPECT_EQ(thrown.value(), error);
                EXPECT_EQ(test::treeSnapshot(installed), oldHub);
            } else {
                // Past the swap, a failing removal only leaves work files to the next recovery.
                EXPECT_TRUE(updater().recoverInterruptedWork());
                EXPECT_EQ(test::treeSnapshot(installed), newHub);
            }
            expectNoLeftovers();
            if (HasFailure()) return;
            if (!thrown && !reached) break;
        }
        EXPECT_GT(point, 10);
        std::cout << "hub installation: errno " << error << " at " << point - 1 << " file operations\n";
    }
}

TEST_F(HubUpdaterTest, TheUnattendedCheckInstallsOrSaysWhyNot) {
    publish({.version = "1.0.0"});
    EXPECT_EQ(updater().checkAndInstallIfAvailable(), (Result{Result::Kind::current, {}}));
    publish({});
    const auto before = service.requests().size();
    EXPECT_EQ(
        updater(std::nullopt, folder / "Home" / "Applications" / "HALVEX HUB.app")
            .checkAndInstallIfAvailable(),
        (Result{Result::Kind::deferred, "Move HALVEX HUB to Applications to enable automatic HUB updates."}));
    EXPECT_EQ(service.requests().size(), before + 1) << "only the release was asked for, nothing downloaded";
    windowOpen = true;
    EXPECT_EQ(updater().checkAndInstallIfAvailable(),
              (Result{Result::Kind::deferred,
                      "The HUB update will install after the HALVEX HUB window is closed."}));
    windowOpen = false;
    EXPECT_EQ(updater().checkAndInstallIfAvailable(), (Result{Result::Kind::installed, "1.1.0"}));
    EXPECT_EQ(installedVersion(), "1.1.0");
    EXPECT_TRUE(noTickets());
}

TEST(HubUpdateProcessWait, ReturnsWhenTheProcessIsGoneAndGivesUpOtherwise) {
    for (const platform::ProcessID invalid : {-1, 0, 1, platform::currentProcessID()}) {
        EXPECT_EQ(errorText([&] { HubUpdateProcessWait::waitForExit(invalid); }),
                  "The HUB update was started with an invalid process ID.")
            << invalid;
    }
    test::ChildProcess sleeper({"/bin/sleep", "30"}, {});
    EXPECT_EQ(errorText([&] {
                  HubUpdateProcessWait::waitForExit(sleeper.pid(), {}, std::chrono::milliseconds(5), 10);
              }),
              "The HUB is still open. Its update was cancelled; please try again.");
    sleeper.stop();
    EXPECT_EQ(errorText([&] {
                  HubUpdateProcessWait::waitForExit(sleeper.pid(), {}, std::chrono::milliseconds(5), 10);
              }),
              "(passed)");
}

class HandOffTest : public testing::Test {
  protected:
    std::filesystem::path script(const std::string& body) {
        const auto path = folder / ("finisher" + std::to_string(++scripts));
        std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
        std::filesystem::permissions(path, std::filesystem::perms(0755));
        return path;
    }

    std::string handOff(const std::filesystem::path& finisher, std::chrono::milliseconds timeout) {
        return errorText([&] {
            app::HubUpdateRestart::handOff("0F0E0D0C-0B0A-4908-8706-050403020100", [&] { ++terminations; },
                                           {finisher, timeout});
        });
    }

    test::TemporaryDirectory folder;
    int scripts = 0;
    int terminations = 0;
};

TEST_F(HandOffTest, TheProtocolSucceedsOnlyOnReady) {
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(handOff(script("exit 0"), std::chrono::seconds(30)),
              "The HUB updater could not start. Please try again.");
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5))
        << "no waiting for the timeout";

    const auto hangStarted = std::chrono::steady_clock::now();
    EXPECT_EQ(handOff(script("exec sleep 60"), std::chrono::milliseconds(500)),
              "The HUB updater could not start. Please try again.");
    EXPECT_LT(std::chrono::steady_clock::now() - hangStarted, std::chrono::seconds(5));

    // Arguments: --finish-hub-update, the ticket and the caller's pid; "ready" may carry blanks.
    const auto arguments = folder / "arguments";
    EXPECT_EQ(
        handOff(script("echo \"$1 $2 $3\" > '" + arguments.string() + "'; printf 'ready  \\n'; sleep 5"),
                std::chrono::seconds(30)),
        "The HUB stayed open. The update was cancelled; please try again.");
    EXPECT_EQ(terminations, 1);
    EXPECT_EQ(
        platform::readFile(arguments, 1024),
        "--finish-hub-update 0F0E0D0C-0B0A-4908-8706-050403020100 " + std::to_string(::getpid()) + "\n");
    EXPECT_EQ(handOff(script("echo steady"), std::chrono::seconds(30)),
              "The HUB updater could not start. Please try again.");
    EXPECT_EQ(terminations, 1);
}

// The window may take longer to quit than the hand-off's timeout; a finisher that said ready keeps running.
TEST_F(HandOffTest, AFinisherThatSaidReadyOutlivesTheTimeout) {
    const auto marker = folder / "finished";
    const auto finisher = script("printf 'ready\\n'; sleep 1; echo done > '" + marker.string() + "'");
    EXPECT_EQ(errorText([&] {
                  app::HubUpdateRestart::handOff(
                      "0F0E0D0C-0B0A-4908-8706-050403020100",
                      [] { std::this_thread::sleep_for(std::chrono::milliseconds(600)); }, {finisher, 200ms});
              }),
              "The HUB stayed open. The update was cancelled; please try again.");
    EXPECT_TRUE(test::waitUntil([&] { return std::filesystem::exists(marker); }, 10s))
        << "the finisher was stopped";
}

class FinishTest : public HubUpdaterTest {
  protected:
    app::HubUpdateRestart::FinishEnvironment environment() {
        app::HubUpdateRestart::FinishEnvironment environment;
        environment.makeUpdater = [this] { return std::make_unique<HubUpdater>(updater()); };
        environment.reRegisterAgent = [this] { ++reRegistrations; };
        environment.reopen = [this] { ++reopens; };
        environment.output = &output;
        environment.exitProbeInterval = std::chrono::milliseconds(2);
        return environment;
    }

    std::optional<app::BackgroundAgentStatus> status() const {
        return app::BackgroundAgentStatusStore().read();
    }

    std::ostringstream output;
    int reRegistrations = 0;
    int reopens = 0;
};

TEST_F(FinishTest, FinishesAfterTheParentExitsAndReportsFailures) {
    const auto ticket = updater().prepare(publish({}));

    EXPECT_EQ(app::HubUpdateRestart::finish(ticket, 1, environment()), 1);
    EXPECT_EQ(status()->message, "The HUB update did not finish. Please retry in the HUB.");
    EXPECT_EQ(status()->error, "The HUB update was started with an invalid process ID.");

    test::ChildProcess parent({"/bin/sleep", "30"}, {});
    EXPECT_EQ(app::HubUpdateRestart::finish(ticket, parent.pid(), environment()), 1);
    EXPECT_EQ(output.str(), "ready\n");
    EXPECT_EQ(status()->error, "The HUB is still open. Its update was cancelled; please try again.");
    EXPECT_EQ(reopens, 0);
    EXPECT_TRUE(noTickets()) << "the prepared update was discarded";

    const auto second = updater().prepare(publish({.version = "1.2.0"}));
    parent.stop();
    output.str("");
    EXPECT_EQ(app::HubUpdateRestart::finish(second, parent.pid(), environment()), 0);
    EXPECT_EQ(output.str(), "ready\n");
    EXPECT_EQ(installedVersion(), "1.2.0");
    EXPECT_EQ(reRegistrations, 1);
    EXPECT_EQ(reopens, 1);
    EXPECT_TRUE(noTickets());
}

}  // namespace
}  // namespace halvex
