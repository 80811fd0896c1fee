#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <functional>

#include "core/foundation/halvex_error.h"
#include "core/install/plugin_installer.h"
#include "core/install/update_lock.h"
#include "core/service/api_client.h"
#include "platform/sha256.h"
#include "tests/support/child_process.h"
#include "tests/support/error_text.h"
#include "tests/support/fault_loop.h"
#include "tests/support/plugin_fixtures.h"
#include "tests/support/release_builder.h"
#include "tests/support/service_fixture.h"
#include "tests/support/wait.h"

namespace halvex {
namespace {

using Result = PluginInstaller::InstallResult;

struct ReleaseOptions {
    std::string version = "1.0.0";
    bool vst3 = true;
    bool audioUnit = true;
    bool clap = true;
    std::string channel = "stable";
    std::string minimumHubVersion = "1.0.5";
    std::optional<std::string> audience{};
    // Runs on the sealed bundles before they are packed (to make damaged releases).
    std::function<void(const std::filesystem::path& source)> tamper{};
};

using test::errorText;

class InstallPipelineTest : public test::ServiceFixture {
  protected:
    InstallPipelineTest() {
        signIn();
        folders = PluginInstaller::Folders::standard(folder / "Support", folder / "Plugins" / "VST3");
        folders.legacyVST3Directory = folder / "Legacy";
        makeInstaller();
    }

    void makeInstaller() {
        installer =
            std::make_unique<PluginInstaller>(test::trustingConfiguration(service.baseURL()), folders);
        installer->setAudioApplications([this] {
            ++hostQueries;
            return hostsAt ? hostsAt(hostQueries) : std::vector<std::string>{};
        });
        installer->setElevationRunner([](const std::filesystem::path&) -> ElevationResult {
            ADD_FAILURE() << "no prompt was expected";
            return {126, ""};
        });
    }

    maker::PackagedRelease package(const ReleaseOptions& options) {
        return builder.plugin({.version = options.version,
                               .name = "Aurora " + options.version,
                               .channel = options.channel,
                               .audience = options.audience,
                               .minimumHubVersion = options.minimumHubVersion,
                               .vst3 = options.vst3,
                               .audioUnit = options.audioUnit,
                               .clap = options.clap,
                               .tamper = options.tamper});
    }
    Release makeRelease(const ReleaseOptions& options) { return test::releaseOf(package(options)); }

    Result install(const Release& release, bool prepareWhileDAWRunning = false) {
        return installer->downloadAndInstall(release, client(), verifier, false, prepareWhileDAWRunning);
    }

    std::map<std::string, std::string> pluginFolders() const {
        return test::treeSnapshot({folder / "Plugins", folders.legacyVST3Directory});
    }

    std::filesystem::path partial(const Release& release) const {
        return folders.applicationSupport / "Downloads" / (release.releaseID + ".zip.partial");
    }

    bool stagingEmpty() const {
        const auto staging = folders.applicationSupport / "Staging";
        return !std::filesystem::exists(staging) || std::filesystem::is_empty(staging);
    }

    PluginInstaller::Folders folders;
    std::unique_ptr<PluginInstaller> installer;
    SignedMetadataVerifier verifier = test::trustingVerifier();
    std::function<std::vector<std::string>(int query)> hostsAt;
    int hostQueries = 0;
    test::ReleaseBuilder builder{folder / "Releases", [this](const auto& path, const auto& archive) {
                                     return service.addFileFromDisk(path, archive);
                                 }};
};

TEST_F(InstallPipelineTest, FirstInstallThenUpdateOfAThreeFormatRelease) {
    const auto first = makeRelease({.version = "1.0.0"});
    EXPECT_EQ(install(first), Result::installed());
    EXPECT_EQ(installer->installedVersion("com.halvex.aurora"), "1.0.0");
    EXPECT_TRUE(installer->isComplete(first));
    EXPECT_EQ(installer->installedChannel("com.halvex.aurora", verifier), "stable");
    EXPECT_TRUE(std::filesystem::exists(folder / "Plugins" / "VST3" / "Aurora.vst3"));
    EXPECT_TRUE(std::filesystem::exists(folder / "Plugins" / "Components" / "Aurora.component"));
    EXPECT_TRUE(std::filesystem::exists(folder / "Plugins" / "CLAP" / "Aurora.clap"));
    EXPECT_FALSE(std::filesystem::exists(partial(first)));
    EXPECT_FALSE(std::filesystem::exists(folders.applicationSupport / "Rollback")) << "nothing was replaced";
    EXPECT_TRUE(stagingEmpty());

    const auto second = makeRelease({.version = "1.1.0"});
    EXPECT_FALSE(installer->isComplete(second));
    EXPECT_EQ(install(second), Result::installed());
    EXPECT_EQ(installer->installedVersion("com.halvex.aurora"), "1.1.0");
    for (const char* id : {"com.halvex.aurora", "com.halvex.aurora.au", "com.halvex.aurora.clap"}) {
        EXPECT_TRUE(
            std::filesystem::exists(folders.applicationSupport / "Rollback" / (std::string(id) + ".zip")))
            << id;
    }
    const auto receipt =
        json::decodeRecord<Release>(platform::readFile(installer->receiptURL("com.halvex.aurora"), 1 << 20));
    EXPECT_EQ(receipt.version, "1.1.0");
    EXPECT_EQ(std::filesystem::status(folders.applicationSupport / "InstalledReleases").permissions(),
              std::filesystem::perms(0700));
    for (const auto& [path, digest] : pluginFolders()) {
        EXPECT_EQ(std::filesystem::path(path).filename().string().find(".hvx-"), std::string::npos) << path;
    }
    EXPECT_TRUE(stagingEmpty());
}

TEST_F(InstallPipelineTest, VST3OnlyAndClapOnlyBetaReleases) {
    const auto vst3Only = makeRelease({.audioUnit = false, .clap = false});
    EXPECT_EQ(install(vst3Only), Result::installed());
    EXPECT_TRUE(installer->isComplete(vst3Only));
    EXPECT_FALSE(std::filesystem::exists(folder / "Plugins" / "CLAP"));

    const auto clapOnly = makeRelease({.version = "1.1.0-beta.1",
                                       .vst3 = false,
                                       .audioUnit = false,
                                       .channel = "beta",
                                       .audience = "internal"});
    EXPECT_EQ(install(clapOnly), Result::installed());
    EXPECT_TRUE(installer->isComplete(clapOnly));
    EXPECT_EQ(installer->installedVersion("com.halvex.aurora"), "1.1.0-beta.1");
    EXPECT_EQ(installer->installedChannel("com.halvex.aurora", verifier), "beta");
}

// A release's VST3 bundle swapped for another sealed one before packing.
std::function<void(const std::filesystem::path&)> replaceVST3(test::BundleSpec spec) {
    return [spec](const std::filesystem::path& source) {
        std::filesystem::remove_all(source / "Aurora.vst3");
        test::writeSealedBundle(source, "Aurora.vst3", spec);
    };
}

TEST_F(InstallPipelineTest, DamagedReleasesNeverChangeThePluginFolders) {
    EXPECT_EQ(install(makeRelease({.version = "1.0.0"})), Result::installed());
    const auto before = pluginFolders();

    const auto flipByte = [](const std::filesystem::path& file) {
        std::fstream stream(file, std::ios::in | std::ios::out | std::ios::binary);
        stream.seekp(40);
        stream.put('Z');
    };
    const std::vector<std::pair<ReleaseOptions, std::string>> table = {
        {{.version = "1.1.0",
          .tamper = [&](const auto& s) { flipByte(s / "Aurora.vst3/Contents/MacOS/Aurora"); }},
         "The plugin is not signed by HALVEX."},
        {{.version = "1.1.0",
          .tamper =
              [&](const auto& s) {
                  flipByte(s / "Aurora.clap/Contents/Resources/plugin.bundle/Contents/MacOS/Aurora");
              }},
         "The plugin is not signed by HALVEX."},
        {{.version = "1.1.0",
          .tamper = [](const auto& s) { std::filesystem::remove_all(s / "Aurora.component"); }},
         "The Audio Unit format does not match the signed release."},
        {{.version = "1.1.0",
          .tamper =
              [](const auto& s) {
                  std::filesystem::copy(s / "Aurora.vst3", s / "Extra.vst3",
                                        std::filesystem::copy_options::recursive);
              }},
         "The VST3 format does not match the signed release."},
        {{.version = "1.1.0",
          .tamper = replaceVST3({.identifier = "com.halvex.aurora",
                                 .version = "1.0.9",
                                 .executable = "Aurora",
                                 .payload = "engine 1.1.0"})},
         "The plugin identity or version does not match this release."},
        {{.version = "1.1.0",
          .tamper = replaceVST3({.identifier = "com.halvex.aurora",
                                 .version = "1.1.0",
                                 .executable = "Aurora",
                                 .cpuTypes = {maker::cpuTypeX86_64},
                                 .payload = "engine 1.1.0"})},
         "The bundle executable is missing the required arm64 architecture."},
    };
    for (const auto& [options, message] : table) {
        const auto release = makeRelease(options);
        EXPECT_EQ(errorText([&] { install(release); }), message);
        EXPECT_EQ(pluginFolders(), before) << message;
        EXPECT_TRUE(stagingEmpty());
        EXPECT_TRUE(std::filesystem::exists(partial(release))) << "the archive stays for the next attempt";
    }

    // The served archive changes after signing: the digest no longer matches and the archive goes.
    const auto served = package({.version = "1.2.0"});
    auto release = test::releaseOf(served);
    flipByte(served.archive);
    EXPECT_EQ(errorText([&] { install(release); }),
              "The downloaded update did not match its signed checksum.");
    EXPECT_FALSE(std::filesystem::exists(partial(release)));
    // Another release's archive under this release's URL: its size already gives it away in the download.
    auto other = makeRelease({.version = "1.3.0", .audioUnit = false});
    other.downloadURL = release.downloadURL;
    EXPECT_EQ(errorText([&] { install(other); }), "The server returned an invalid response.");
    EXPECT_EQ(pluginFolders(), before);
}

TEST_F(InstallPipelineTest, AFullDiskLeavesEverythingAsItWas) {
    EXPECT_EQ(install(makeRelease({.version = "1.0.0"})), Result::installed());
    const auto update = makeRelease(
        {.version = "1.1.0", .tamper = [](const auto& source) {
             // Sealed content large enough to hit the file-size limit below.
             for (const char* bundle : {"Aurora.vst3", "Aurora.clap"}) {
                 std::ofstream(source / bundle / "Contents" / "Resources.bin")
                     << std::string(256 * 1024, 'r');
             }
             for (const char* bundle : {"Aurora.vst3", "Aurora.clap"}) {
                 std::filesystem::remove_all(source / bundle / "Contents" / "_CodeSignature");
             }
             maker::sealBundle(source / "Aurora.vst3", "com.halvex.aurora", test::trust().leaf);
             maker::sealBundle(source / "Aurora.clap", "com.halvex.aurora.clap", test::trust().leaf);
         }});
    const auto archive = folder / "update.zip";
    client().download(update, archive);
    const auto before = pluginFolders();
    // The install runs in a helper process whose files may not grow past 128 KiB, as on a nearly full disk.
    maker::writeTrustSet(test::trust(), folder / "Trust");
    platform::writeFileAtomically(folder / "update.json", update.encode().dump(), 0600);
    const auto result = test::runProcess(
        {HALVEX_TEST_HELPER, "install", std::to_string(128 * 1024), (folder / "Trust").string(),
         service.baseURL(), folders.applicationSupport.string(), folders.pluginDirectory.string(),
         folders.legacyVST3Directory.string(), (folder / "update.json").string(), archive.string()});
    EXPECT_EQ(result.exitStatus, 3) << result.standardOutput << result.standardError;
    EXPECT_EQ(pluginFolders(), before);
    EXPECT_TRUE(stagingEmpty());
    EXPECT_EQ(install(update), Result::installed()) << "the same release installs once there is room";
}

TEST_F(InstallPipelineTest, AFailureAfterTheSwapRestoresEveryBundle) {
    EXPECT_EQ(install(makeRelease({.version = "1.0.0"})), Result::installed());
    const auto before = pluginFolders();
    // A folder where the receipt belongs makes the last validation fail after all three swaps.
    std::filesystem::remove(installer->receiptURL("com.halvex.aurora"));
    std::filesystem::create_directories(installer->receiptURL("com.halvex.aurora") / "blocker");
    const auto update = makeRelease({.version = "1.1.0"});
    EXPECT_THROW(install(update), std::system_error);
    EXPECT_EQ(pluginFolders(), before);
    EXPECT_EQ(installer->installedVersion("com.halvex.aurora"), "1.0.0");
    EXPECT_TRUE(stagingEmpty());
}

TEST_F(InstallPipelineTest, RunningHostsRefuseOrKeepAPendingUpdate) {
    EXPECT_EQ(install(makeRelease({.version = "1.0.0"})), Result::installed());
    const auto before = pluginFolders();
    hostsAt = [](int) { return std::vector<std::string>{"Bitwig Studio", "REAPER"}; };

    const auto update = makeRelease({.version = "1.1.0"});
    EXPECT_EQ(errorText([&] { install(update); }),
              "Close these audio applications before installing: Bitwig Studio, REAPER.");
    EXPECT_TRUE(std::filesystem::exists(partial(update)));

    EXPECT_EQ(install(update, true), Result::pendingRestart({"Bitwig Studio", "REAPER"}));
    const auto pending = installer->pendingDirectory(update);
    EXPECT_TRUE(std::filesystem::exists(pending / "update.zip"));
    EXPECT_TRUE(std::filesystem::exists(pending / "release.json"));
    EXPECT_TRUE(std::filesystem::exists(partial(update)));
    EXPECT_EQ(installer->pendingVersions(verifier),
              (std::map<std::string, std::string>{{"prod_aurora", "1.1.0"}}));
    EXPECT_EQ(pluginFolders(), before);

    // A bad archive is refused even though it would only have been kept.
    const auto damaged = makeRelease({.version = "1.2.0", .tamper = [](const auto& s) {
                                          std::ofstream(s / "Aurora.vst3" / "extra") << "x";
                                      }});
    EXPECT_EQ(errorText([&] { install(damaged, true); }), "The plugin is not signed by HALVEX.");

    // Nothing is finished while the hosts run; once they quit the update goes in.
    EXPECT_TRUE(installer->finishPendingUpdates(verifier, "1.0.5").empty());
    hostsAt = nullptr;
    EXPECT_EQ(installer->finishPendingUpdates(verifier, "1.0.5"), std::vector<std::string>{"Aurora 1.1.0"});
    EXPECT_EQ(installer->installedVersion("com.halvex.aurora"), "1.1.0");
    EXPECT_FALSE(std::filesystem::exists(pending));
}

TEST_F(InstallPipelineTest, AHostAppearingBeforeTheSwapKeepsTheFoldersUnchanged) {
    EXPECT_EQ(install(makeRelease({.version = "1.0.0"})), Result::installed());
    const auto before = pluginFolders();
    hostQueries = 0;
    hostsAt = [](int query) {
        return query >= 3 ? std::vector<std::string>{"REAPER"} : std::vector<std::string>{};
    };
    const auto update = makeRelease({.version = "1.1.0"});
    EXPECT_EQ(install(update, true), Result::pendingRestart({"REAPER"}));
    EXPECT_EQ(pluginFolders(), before);
    // The rollback archive changes only with a swap.
    EXPECT_FALSE(std::filesystem::exists(folders.applicationSupport / "Rollback" / "com.halvex.aurora.zip"));
}

TEST_F(InstallPipelineTest, AHostAppearingWithoutStagingAllowedKeepsNoPendingUpdate) {
    EXPECT_EQ(install(makeRelease({.version = "1.0.0"})), Result::installed());
    const auto before = pluginFolders();
    // No host at the first check, one at every check after it. Without staging allowed there is no
    // pending decision, so the second check is the last one before the swap.
    hostQueries = 0;
    hostsAt = [](int query) {
        return query >= 2 ? std::vector<std::string>{"REAPER"} : std::vector<std::string>{};
    };
    const auto update = makeRelease({.version = "1.1.0"});
    EXPECT_EQ(errorText([&] { install(update); }),
              "Close these audio applications before installing: REAPER.");
    EXPECT_FALSE(std::filesystem::exists(installer->pendingDirectory(update)));
    EXPECT_EQ(pluginFolders(), before);
}

TEST_F(InstallPipelineTest, AnUnreadablePendingRecordIsReportedAndTheOthersStillFinish) {
    EXPECT_EQ(install(makeRelease({.version = "1.0.0"})), Result::installed());
    hostsAt = [](int) { return std::vector<std::string>{"REAPER"}; };
    const auto update = makeRelease({.version = "1.1.0"});
    EXPECT_EQ(install(update, true).kind, Result::Kind::pendingRestart);
    hostsAt = nullptr;
    // Listed before the good one.
    const auto broken = folders.applicationSupport / "PendingUpdates" / "0000";
    std::filesystem::create_directories(broken);
    std::ofstream(broken / "release.json") << "{broken";

    EXPECT_EQ(installer->pendingVersions(verifier),
              (std::map<std::string, std::string>{{"prod_aurora", "1.1.0"}}));
    std::vector<std::filesystem::path> reported;
    EXPECT_EQ(installer->finishPendingUpdates(verifier, "1.0.5",
                                              [&](const std::filesystem::path& entry, const std::exception&) {
                                                  reported.push_back(entry);
                                              }),
              std::vector<std::string>{"Aurora 1.1.0"});
    EXPECT_EQ(reported, std::vector<std::filesystem::path>{broken});
    EXPECT_EQ(installer->installedVersion("com.halvex.aurora"), "1.1.0");
    EXPECT_TRUE(std::filesystem::exists(broken)) << "an unreadable record is left as it is";
}

TEST_F(InstallPipelineTest, TheAdministratorPromptMayBeReplacedWhileAnInstallationUsesIt) {
    folders.usesManagedSystemDirectory = true;
    folders.pluginDirectory = folder / "Plugins" / "Shared" / "Halvex";
    makeInstaller();
    const auto release = makeRelease({.version = "1.0.0"});
    const auto archive = folder / "release.zip";
    client().download(release, archive);
    std::jthread replacing([&](std::stop_token stop) {
        while (!stop.stop_requested()) {
            installer->setElevationRunner([](const std::filesystem::path&) {
                return ElevationResult{126, ""};
            });
        }
    });
    for (int attempt = 0; attempt < 3; ++attempt) {
        const auto text = errorText([&] { installer->install(release, archive, verifier, true, false); });
        EXPECT_TRUE(text.ends_with("Administrator authorization was cancelled.")) << text;
    }
}

TEST_F(InstallPipelineTest, FinishingSkipsObsoleteAppliedAndTooNewUpdates) {
    EXPECT_EQ(install(makeRelease({.version = "1.0.0"})), Result::installed());
    hostsAt = [](int) { return std::vector<std::string>{"REAPER"}; };
    const auto needsNewerHub = makeRelease({.version = "1.1.0", .minimumHubVersion = "2.0.0"});
    EXPECT_EQ(install(needsNewerHub, true).kind, Result::Kind::pendingRestart);
    hostsAt = nullptr;
    EXPECT_TRUE(installer->finishPendingUpdates(verifier, "1.9.0").empty());
    EXPECT_TRUE(std::filesystem::exists(installer->pendingDirectory(needsNewerHub)))
        << "waits for a newer hub";

    // Applied meanwhile: the same release was installed directly, which also removes the pending update.
    EXPECT_EQ(install(needsNewerHub), Result::installed());
    EXPECT_FALSE(std::filesystem::exists(installer->pendingDirectory(needsNewerHub)));

    // Staged over 1.1.0; then 1.3.0 was installed directly: the staged 1.2.0 is obsolete.
    hostsAt = [](int) { return std::vector<std::string>{"REAPER"}; };
    const auto staged = makeRelease({.version = "1.2.0"});
    EXPECT_EQ(install(staged, true).kind, Result::Kind::pendingRestart);
    hostsAt = nullptr;
    const auto pendingFolder = installer->pendingDirectory(staged);
    const auto keep = folder / "kept-pending";
    std::filesystem::copy(pendingFolder, keep, std::filesystem::copy_options::recursive);
    EXPECT_EQ(install(makeRelease({.version = "1.3.0"})), Result::installed());
    std::filesystem::copy(keep, pendingFolder, std::filesystem::copy_options::recursive);
    EXPECT_TRUE(installer->finishPendingUpdates(verifier, "1.0.5").empty());
    EXPECT_FALSE(std::filesystem::exists(pendingFolder));
    EXPECT_EQ(installer->installedVersion("com.halvex.aurora"), "1.3.0");

    // An update already in place is dropped without installing.
    hostsAt = [](int) { return std::vector<std::string>{"REAPER"}; };
    const auto current = makeRelease({.version = "1.4.0"});
    EXPECT_EQ(install(current, true).kind, Result::Kind::pendingRestart);
    hostsAt = nullptr;
    std::filesystem::copy(installer->pendingDirectory(current), keep / "again",
                          std::filesystem::copy_options::recursive);
    EXPECT_EQ(installer->finishPendingUpdates(verifier, "1.0.5"), std::vector<std::string>{"Aurora 1.4.0"});
    std::filesystem::copy(keep / "again", installer->pendingDirectory(current),
                          std::filesystem::copy_options::recursive);
    EXPECT_TRUE(installer->finishPendingUpdates(verifier, "1.0.5").empty());
    EXPECT_FALSE(std::filesystem::exists(installer->pendingDirectory(current)));

    // A pending folder that is not at its product's hash is refused.
    std::filesystem::copy(keep, folders.applicationSupport / "PendingUpdates" / "elsewhere",
                          std::filesystem::copy_options::recursive);
    std::string reason;
    EXPECT_TRUE(installer
                    ->pendingUpdates(verifier,
                                     [&](const auto&, const std::exception& error) { reason = error.what(); })
                    .empty());
    EXPECT_EQ(reason, "Invalid pending plugin update.");
}

TEST_F(InstallPipelineTest, ALegacyCopyIsArchivedLeftDuringTheSwapAndRemovedAfterSuccess) {
    folders.usesManagedSystemDirectory = true;
    folders.pluginDirectory = folder / "Plugins" / "Shared" / "Halvex";
    std::filesystem::create_directories(folders.pluginDirectory);
    makeInstaller();
    test::writeSealedBundle(folders.legacyVST3Directory, "Aurora Old.vst3",
                            {.identifier = "com.halvex.aurora", .version = "0.9.0", .executable = "Aurora"});

    // A failed installation leaves it where it is.
    const auto damaged = makeRelease({.version = "1.0.0", .tamper = [](const auto& s) {
                                          std::filesystem::remove_all(s / "Aurora.clap");
                                      }});
    EXPECT_THROW(install(damaged), HalvexError);
    EXPECT_TRUE(std::filesystem::exists(folders.legacyVST3Directory / "Aurora Old.vst3"));

    EXPECT_EQ(install(makeRelease({.version = "1.0.0"})), Result::installed());
    EXPECT_TRUE(std::filesystem::exists(folders.applicationSupport / "Rollback" / "com.halvex.aurora.zip"));
    EXPECT_FALSE(std::filesystem::exists(folders.legacyVST3Directory / "Aurora Old.vst3"));
    EXPECT_TRUE(std::filesystem::exists(folders.pluginDirectory / "Aurora.vst3"));
}

TEST_F(InstallPipelineTest, ASecondInstallerFailsAtOnceWhileQueriesGoOn) {
    EXPECT_EQ(install(makeRelease({.version = "1.0.0"})), Result::installed());
    const auto update = makeRelease({.version = "1.1.0"});
    const auto said = folder / "holder.out";
    test::ChildProcess holder({HALVEX_TEST_HELPER, "hold-update-lock", folders.applicationSupport.string()},
                              {}, std::nullopt, said.string());
    ASSERT_TRUE(test::waitUntil([&] {
        std::ifstream output(said);
        std::string line;
        return std::getline(output, line) && line == "locked";
    }));
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(errorText([&] { install(update); }), "Another HALVEX update is already running.");
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
    EXPECT_EQ(installer->installedVersion("com.halvex.aurora"), "1.0.0");
    EXPECT_TRUE(installer->isComplete(makeRelease({.version = "1.0.0"})));
    EXPECT_NO_THROW(installer->pendingVersions(verifier));
    holder.stop(SIGKILL);
    EXPECT_EQ(install(update), Result::installed());
}

}  // namespace
}  // namespace halvex
