// Installations cut short at every file operation, by a kill or by a failing disk, end wholly old or
// wholly new after recovery, with nothing left over.

#include <gtest/gtest.h>

#include <functional>
#include <iostream>
#include <map>
#include <system_error>

#include "app/background_agent_status.h"
#include "core/foundation/halvex_error.h"
#include "core/install/plugin_installer.h"
#include "core/install/transaction_journal.h"
#include "platform/credential_store.h"
#include "platform/fault_injection.h"
#include "platform/file_io.h"
#include "platform/sha256.h"
#include "tests/support/fault_loop.h"
#include "tests/support/plugin_fixtures.h"
#include "tests/support/release_builder.h"
#include "tests/support/temporary_directory.h"

namespace halvex {
namespace {

namespace fs = std::filesystem;
using Result = PluginInstaller::InstallResult;

using test::hiddenItems;
using test::KilledRun;

using test::treeSnapshot;

class CrashRecoveryTest : public ::testing::Test {
  protected:
    CrashRecoveryTest() {
        // The starting state of every round: 1.0.0 installed, 2.0.0 downloaded.
        install(oldRelease, oldArchive);
        copy(newArchive, live / "Support" / "Downloads" / "new.zip");
        platform::copyTree(live, start);
        oldPlugins = treeSnapshot(live / "Plugins");
        install(newRelease, live / "Support" / "Downloads" / "new.zip");
        newPlugins = treeSnapshot(live / "Plugins");
        fs::remove_all(live);
    }

    static void copy(const fs::path& from, const fs::path& to) {
        fs::create_directories(to.parent_path());
        fs::copy_file(from, to, fs::copy_options::overwrite_existing);
    }

    std::unique_ptr<PluginInstaller> installer(std::vector<std::string> hosts = {}) const {
        auto folders = PluginInstaller::Folders::standard(live / "Support", live / "Plugins" / "VST3");
        folders.legacyVST3Directory = live / "Legacy";
        auto result = std::make_unique<PluginInstaller>(test::trustingConfiguration(), folders);
        result->setAudioApplications([hosts] { return hosts; });
        return result;
    }

    Result install(const Release& release, const fs::path& archive, std::vector<std::string> hosts = {}) {
        return installer(std::move(hosts))->install(release, archive, verifier, false, true);
    }

    void resetLive() {
        fs::remove_all(live);
        platform::copyTree(start, live);
    }

    struct Points {
        int kills = 0;
        int recoveryKills = 0;
    };

    // Runs `work` in a child killed at file operation 1, 2, 3, … until one run completes. After each kill,
    // recovery runs in children killed at their operation 1, 2, 3, … until one completes (so recovery is
    // itself cut short and re-run), and `check` judges the state.
    Points killLoop(const std::function<void()>& prepare, const std::function<void()>& work,
                    const std::function<void()>& check) {
        Points points;
        for (int point = 1;; ++point) {
            resetLive();
            if (prepare) prepare();
            const auto run = test::runKilledAt(point, work);
            if (run != KilledRun::killed) {
                EXPECT_EQ(run, KilledRun::completed) << "the uninterrupted run failed";
                points.kills = point - 1;
                return points;
            }
            SCOPED_TRACE("killed at file operation " + std::to_string(point));
            // A reboot after the crash may give the file systems other device numbers.
            renumberJournalDevices();
            const auto recoveryKills = test::recoverThroughKills([&] {
                if (!installer()->recoverInterruptedWork()) ::_exit(5);
            });
            EXPECT_TRUE(recoveryKills.has_value()) << "recovery failed";
            points.recoveryKills += recoveryKills.value_or(0);
            check();
            if (::testing::Test::HasFailure()) return points;
        }
    }

    // Runs `work` with `error` thrown at file operation 1, 2, 3, … until a run completes. A failed run
    // must report that error and leave `expectUnchanged` true with nothing left over; a run that got past
    // the fault (a removal after the outcome was decided) leaves its work files to the next recovery.
    int errorLoop(int error, const std::function<void()>& prepare, const std::function<void()>& work,
                  const std::function<void()>& expectUnchanged, const std::function<void()>& expectDone) {
        for (int point = 1;; ++point) {
            SCOPED_TRACE("errno " + std::to_string(error) + " at file operation " + std::to_string(point));
            resetLive();
            if (prepare) prepare();
            // A failed transaction keeps the rollback archive it found, whatever it had archived anew.
            const auto archived = treeSnapshot(live / "Support" / "Rollback");
            std::error_code thrown;
            bool reached = false;
            {
                const test::FailingOperation failing(point, error);
                try {
                    work();
                } catch (const std::system_error& failure) {
                    thrown = failure.code();
                }
                reached = failing.reached();
            }
            if (thrown) {
                EXPECT_EQ(thrown.value(), error);
                expectUnchanged();
                EXPECT_EQ(treeSnapshot(live / "Support" / "Rollback"), archived);
            } else {
                EXPECT_TRUE(installer()->recoverInterruptedWork());
                expectDone();
            }
            EXPECT_EQ(hiddenItems(live), std::vector<std::string>{});
            EXPECT_TRUE(journalsSettled());
            if (!thrown && !reached) return point - 1;
            if (::testing::Test::HasFailure()) return point;
        }
    }

    void renumberJournalDevices() const {
        for (const auto& file : journals()) {
            auto journal = nlohmann::json::parse(platform::readFile(file, 1 << 22));
            for (auto& item : journal.at("items")) {
                for (const char* key : {"old", "new"}) {
                    if (!item.at(key).is_null())
                        item[key]["device"] = item[key]["device"].get<std::uint64_t>() + 7;
                }
            }
            platform::writeFileAtomically(file, journal.dump(), 0600);
        }
    }

    std::vector<fs::path> journals() const {
        std::vector<fs::path> files;
        const auto folder = live / "Support" / "Journal";
        if (!fs::exists(folder)) return files;
        for (const auto& entry : fs::directory_iterator(folder)) {
            if (entry.path().extension() == ".json") files.push_back(entry.path());
        }
        return files;
    }

    bool journalsSettled() const {
        const auto journals = live / "Support" / "Journal";
        return !fs::exists(journals) || fs::is_empty(journals);
    }

    void savePending() {
        ASSERT_EQ(install(newRelease, live / "Support" / "Downloads" / "new.zip", {"REAPER"}),
                  Result::pendingRestart({"REAPER"}));
    }

    // The plugin folders hold 1.0.0 or 2.0.0 as a whole, the receipt and installed version agree, nothing
    // hidden is left, and the installation can be run (again) to the end.
    void expectWholeReleaseAndNoLeftovers() {
        const auto plugins = treeSnapshot(live / "Plugins");
        const bool isNew = plugins == newPlugins;
        EXPECT_TRUE(isNew || plugins == oldPlugins) << "a mix of old and new bundles";
        const auto expected = isNew ? newRelease : oldRelease;
        const auto receipt = json::decodeRecord<Release>(
            platform::readFile(installer()->receiptURL(expected.bundleID), 1 << 20));
        EXPECT_EQ(receipt.version, expected.version);
        EXPECT_EQ(installer()->installedVersion(expected.bundleID), expected.version);
        EXPECT_EQ(hiddenItems(live), std::vector<std::string>{});
        EXPECT_TRUE(journalsSettled());
        const auto staging = live / "Support" / "Staging";
        EXPECT_TRUE(!fs::exists(staging) || fs::is_empty(staging));

        copy(newArchive, folder / "again.zip");
        EXPECT_EQ(install(newRelease, folder / "again.zip"), Result::installed());
        EXPECT_EQ(treeSnapshot(live / "Plugins"), newPlugins);
    }

    test::TemporaryDirectory folder{test::TemporaryDirectory::Medium::memory};
    fs::path live = folder / "Live";
    fs::path start = folder / "Start";
    test::ReleaseBuilder releases{folder / "Releases"};
    maker::PackagedRelease oldPackage = releases.plugin({.version = "1.0.0", .name = "Aurora 1.0.0"});
    maker::PackagedRelease newPackage = releases.plugin({.version = "2.0.0", .name = "Aurora 2.0.0"});
    fs::path oldArchive = oldPackage.archive;
    fs::path newArchive = newPackage.archive;
    SignedMetadataVerifier verifier = test::trustingVerifier();
    Release oldRelease = test::releaseOf(oldPackage);
    Release newRelease = test::releaseOf(newPackage);
    Product aurora{.productID = "prod_aurora",
                   .name = "Aurora",
                   .bundleID = "com.halvex.aurora",
                   .iconURL = *Url::parse("https://cdn.example/aurora.png")};
    std::map<std::string, std::string> oldPlugins, newPlugins;
};

TEST_F(CrashRecoveryTest, AThreeFormatInstallationKilledAtEveryFileOperation) {
    const auto points = killLoop(
        {}, [&] { install(newRelease, live / "Support" / "Downloads" / "new.zip"); },
        [&] { expectWholeReleaseAndNoLeftovers(); });
    EXPECT_GT(points.kills, 20);
    EXPECT_GT(points.recoveryKills, 20);
    std::cout << "installation: " << points.kills << " kill points, recovery killed " << points.recoveryKills
              << " times\n";
}

TEST_F(CrashRecoveryTest, SavingAndFinishingAPendingUpdateKilledAtEveryFileOperation) {
    const auto pending = [&] { return installer()->pendingVersions(verifier); };
    const auto saves = killLoop(
        {}, [&] { install(newRelease, live / "Support" / "Downloads" / "new.zip", {"REAPER"}); },
        [&] {
            EXPECT_EQ(treeSnapshot(live / "Plugins"), oldPlugins) << "a pending save never touches plugins";
            const auto versions = pending();
            EXPECT_TRUE(versions.empty() || versions.at("prod_aurora") == "2.0.0");
            EXPECT_EQ(hiddenItems(live), std::vector<std::string>{});
            EXPECT_TRUE(journalsSettled());
        });
    EXPECT_GT(saves.kills, 5);

    const auto finishes = killLoop([&] { savePending(); },
                                   [&] {
                                       if (installer()->finishPendingUpdates(verifier, "9.0.0") !=
                                           std::vector<std::string>{"Aurora 2.0.0"})
                                           ::_exit(4);
                                   },
                                   [&] {
                                       const bool finished = treeSnapshot(live / "Plugins") == newPlugins;
                                       EXPECT_EQ(pending().empty(), finished)
                                           << "the pending update goes exactly when it is installed";
                                       if (!finished) {
                                           EXPECT_EQ(installer()->finishPendingUpdates(verifier, "9.0.0"),
                                                     std::vector<std::string>{"Aurora 2.0.0"});
                                       }
                                       expectWholeReleaseAndNoLeftovers();
                                   });
    EXPECT_GT(finishes.kills, 20);
    std::cout << "pending save: " << saves.kills << " kill points (recovery killed " << saves.recoveryKills
              << " times), finishing: " << finishes.kills << " kill points (recovery killed "
              << finishes.recoveryKills << " times)\n";
}

// A full disk or an I/O error at each file operation of an installation, a pending save, the finishing
// of a pending update, a revert and an uninstallation: the caller hears the disk's error, and the plugins,
// the receipt, the pending update and the folders are as before.
TEST_F(CrashRecoveryTest, ADiskErrorAtEveryFileOperationLeavesTheOldState) {
    const auto pending = [&] { return installer()->pendingVersions(verifier); };
    const auto oldInstalled = [&] {
        EXPECT_EQ(treeSnapshot(live / "Plugins"), oldPlugins);
        EXPECT_EQ(installer()->installedVersion(oldRelease.bundleID), "1.0.0");
        EXPECT_EQ(installer()->installedChannel(oldRelease.bundleID, verifier), "stable");
    };
    const auto newInstalled = [&] {
        EXPECT_EQ(treeSnapshot(live / "Plugins"), newPlugins);
        EXPECT_EQ(installer()->installedVersion(newRelease.bundleID), "2.0.0");
        EXPECT_TRUE(pending().empty());
    };
    const auto downloaded = live / "Support" / "Downloads" / "new.zip";
    struct Case {
        const char* name;
        std::function<void()> prepare, work, expectUnchanged, expectDone;
    };
    const std::vector<Case> cases = {
        {"installation",
         {},
         [&] { EXPECT_EQ(install(newRelease, downloaded), Result::installed()); },
         [&] {
             oldInstalled();
             EXPECT_TRUE(pending().empty());
         },
         newInstalled},
        {"pending save",
         {},
         [&] { EXPECT_EQ(install(newRelease, downloaded, {"REAPER"}), Result::pendingRestart({"REAPER"})); },
         [&] {
             oldInstalled();
             EXPECT_TRUE(pending().empty());
         },
         [&] {
             oldInstalled();
             EXPECT_EQ(pending(), (std::map<std::string, std::string>{{"prod_aurora", "2.0.0"}}));
         }},
        {"finishing", [&] { savePending(); },
         [&] {
             EXPECT_EQ(installer()->finishPendingUpdates(verifier, "9.0.0"),
                       std::vector<std::string>{"Aurora 2.0.0"});
         },
         [&] {
             oldInstalled();
             EXPECT_EQ(pending(), (std::map<std::string, std::string>{{"prod_aurora", "2.0.0"}}));
         },
         newInstalled},
        {"revert", [&] { EXPECT_EQ(install(newRelease, downloaded), Result::installed()); },
         [&] { installer()->revert(aurora, verifier, false); },
         [&] {
             newInstalled();
             EXPECT_FALSE(installer()->holds().isHeld(aurora.productID));
         },
         [&] {
             oldInstalled();
             EXPECT_EQ(installer()->holds().heldVersion(aurora.productID), "1.0.0");
         }},
        {"uninstall",
         {},
         [&] { installer()->uninstall(aurora); },
         oldInstalled,
         [&] {
             EXPECT_EQ(installer()->installedVersion(aurora.bundleID), std::nullopt);
             EXPECT_FALSE(fs::exists(installer()->receiptURL(aurora.bundleID)));
             EXPECT_EQ(installer()->revertibleVersion(aurora), "1.0.0");
         }},
    };
    for (const auto& kind : cases) {
        for (const int error : {ENOSPC, EIO}) {
            SCOPED_TRACE(kind.name);
            const int points =
                errorLoop(error, kind.prepare, kind.work, kind.expectUnchanged, kind.expectDone);
            if (HasFailure()) return;
            EXPECT_GT(points, 5);
            std::cout << kind.name << ": errno " << error << " at " << points << " file operations\n";
        }
    }
}

// Revert and uninstall cut short at every file operation: the product is wholly at one version with its
// receipt and hold, or wholly removed with its rollback archive, and nothing is left over.
TEST_F(CrashRecoveryTest, RevertAndUninstallKilledAtEveryFileOperation) {
    const auto receiptVersion = [&]() -> std::optional<std::string> {
        const auto receipt = installer()->receiptURL(aurora.bundleID);
        if (!fs::exists(receipt)) return std::nullopt;
        return json::decodeRecord<Release>(platform::readFile(receipt, 1 << 20)).version;
    };
    const auto held = [&] { return installer()->holds().heldVersion(aurora.productID); };
    const auto settled = [&] {
        EXPECT_EQ(hiddenItems(live), std::vector<std::string>{});
        EXPECT_TRUE(journalsSettled());
    };
    using Version = std::optional<std::string>;

    const auto reverts =
        killLoop([&] { install(newRelease, live / "Support" / "Downloads" / "new.zip"); },
                 [&] { installer()->revert(aurora, verifier, false); },
                 [&] {
                     const auto plugins = treeSnapshot(live / "Plugins");
                     const bool reverted = plugins == oldPlugins;
                     EXPECT_TRUE(reverted || plugins == newPlugins) << "a mix of old and new bundles";
                     EXPECT_EQ(receiptVersion(), reverted ? "1.0.0" : "2.0.0");
                     EXPECT_EQ(held(), reverted ? Version("1.0.0") : std::nullopt);
                     // The archive changes with the bundles.
                     EXPECT_EQ(installer()->revertibleVersion(aurora), reverted ? "2.0.0" : "1.0.0");
                     settled();
                 });
    EXPECT_GT(reverts.kills, 10);

    const auto uninstalls = killLoop(
        [&] { installer()->holds().hold(aurora.productID, "1.0.0"); },
        [&] { installer()->uninstall(aurora); },
        [&] {
            const bool removed = !installer()->installedVersion(aurora.bundleID);
            if (removed) {
                EXPECT_EQ(receiptVersion(), std::nullopt);
                EXPECT_EQ(held(), std::nullopt);
                EXPECT_EQ(installer()->revertibleVersion(aurora), "1.0.0") << "removed but not kept";
                EXPECT_TRUE(installer()->installedAudioUnit(aurora.bundleID + ".au") == std::nullopt);
                EXPECT_TRUE(installer()->installedClap(aurora.bundleID + ".clap") == std::nullopt);
            } else {
                EXPECT_EQ(treeSnapshot(live / "Plugins"), oldPlugins);
                EXPECT_EQ(receiptVersion(), "1.0.0");
                EXPECT_EQ(held(), "1.0.0");
            }
            settled();
        });
    EXPECT_GT(uninstalls.kills, 5);
    std::cout << "revert: " << reverts.kills << " kill points, uninstall: " << uninstalls.kills
              << " kill points\n";
}

// Every file the hub writes atomically in its folder (the status file, holds, the file keychain, receipts,
// pending records) leaves nothing behind when its writer is killed before the rename: recovery removes it.
TEST_F(CrashRecoveryTest, AtomicWritesKilledBeforeTheirRenameLeaveNothingAfterRecovery) {
    const auto support = live / "Support";
    const std::vector<std::pair<const char*, std::function<void()>>> writes = {
        {"status file",
         [&] {
             app::BackgroundAgentStatusStore(support).write({1.0, "All current.", {}});
         }},
        {"hold", [&] { installer()->holds().hold(aurora.productID, "1.0.0"); }},
        {"file keychain",
         [&] {
             platform::makeFileCredentialStore(support / "Keychain")->write("com.halvex.hub", "device", "x");
         }},
    };
    for (const auto& [name, write] : writes) {
        SCOPED_TRACE(name);
        int killed = 0;
        for (int point = 1;; ++point) {
            resetLive();
            if (test::runKilledAt(point, write) != KilledRun::killed) break;
            ++killed;
            EXPECT_TRUE(installer()->recoverInterruptedWork());
            EXPECT_EQ(hiddenItems(live), std::vector<std::string>{}) << "killed at file operation " << point;
        }
        EXPECT_GT(killed, 1);
    }
}

// A sweep running while a file is written (here: from inside the write, at its first fault point) leaves
// that write's temporary file alone, and the write ends as usual.
TEST_F(CrashRecoveryTest, ASweepNeverTakesTheTemporaryFileOfALiveWrite) {
    static fs::path swept;
    swept = folder / "Swept";
    fs::create_directories(swept);
    platform::setFaultHook([](platform::FileOperation operation, const fs::path&) {
        if (operation == platform::FileOperation::write) platform::removeAbandonedTemporaryFiles(swept);
    });
    EXPECT_NO_THROW(platform::writeFileAtomically(swept / "record.json", "{}", 0600));
    platform::setFaultHook(nullptr);
    EXPECT_EQ(platform::readFile(swept / "record.json", 16), "{}");
    EXPECT_EQ(hiddenItems(swept), std::vector<std::string>{});
}

// An uninstallation killed after it moved bundles aside leaves them under hidden names that only its
// journal accounts for. A journal recovery cannot read or use must stay, with everything it protects, until
// it can be: recovery fails with the reason and sweeps nothing.
TEST_F(CrashRecoveryTest, AJournalThatCannotBeReadOrUsedIsKeptWithEverythingItProtects) {
    std::optional<std::string> journalText;
    fs::path journalFile;
    for (int point = 1; !journalText; ++point) {
        resetLive();
        ASSERT_EQ(test::runKilledAt(point, [&] { installer()->uninstall(aurora); }), KilledRun::killed);
        const auto left = journals();
        const auto hidden = hiddenItems(live / "Plugins");
        if (left.size() == 1 && hidden.size() >= 2) {
            journalFile = left.front();
            journalText = platform::readFile(journalFile, 1 << 22);
        }
    }
    const auto outside = [&](const std::string& key, const fs::path& path) {
        auto journal = nlohmann::json::parse(*journalText);
        journal["items"][0][key] = path.string();
        return journal.dump();
    };
    const auto plugins = live / "Plugins" / "VST3";
    struct Case {
        const char* name;
        std::function<void()> damage;
        bool unusable;  // refused as HalvexError; otherwise the system's read error
    };
    const std::vector<Case> cases = {
        {"cannot be read",
         [&] {
             fs::remove(journalFile);
             fs::create_directory(journalFile);
         },
         false},
        {"does not parse", [&] { platform::writeFileAtomically(journalFile, "{\"kind\":", 0600); }, true},
        {"names a destination outside the plugin folders",
         [&] {
             platform::writeFileAtomically(journalFile, outside("destination", folder / "Aurora.vst3"), 0600);
         },
         true},
        {"names a hidden copy in another folder",
         [&] {
             platform::writeFileAtomically(journalFile,
                                           outside("rollback", live / "Legacy" / ".hvx-rollback-x"), 0600);
         },
         true},
        {"goes through ..",
         [&] {
             platform::writeFileAtomically(
                 journalFile, outside("destination", plugins / ".." / "VST3" / "Aurora.vst3"), 0600);
         },
         true},
    };
    const auto interrupted = treeSnapshot(live);
    for (const auto& damaged : cases) {
        SCOPED_TRACE(damaged.name);
        damaged.damage();
        const auto before = treeSnapshot(live);
        try {
            installer()->recoverInterruptedWork();
            ADD_FAILURE() << "recovery went on";
        } catch (const HalvexError& error) {
            EXPECT_TRUE(damaged.unusable) << error.what();
            EXPECT_EQ(error.kind(), HalvexError::Case::invalidPackage);
            EXPECT_NE(std::string(error.what()).find(journalFile.string()), std::string::npos)
                << error.what();
        } catch (const std::system_error& error) {
            EXPECT_FALSE(damaged.unusable) << error.what();
        }
        EXPECT_EQ(treeSnapshot(live), before) << "recovery changed something";
        fs::remove_all(journalFile);
        platform::writeFileAtomically(journalFile, *journalText, 0600);
        EXPECT_EQ(treeSnapshot(live), interrupted);
    }
    // With its journal whole again, the uninstallation is finished or undone as a whole.
    EXPECT_TRUE(installer()->recoverInterruptedWork());
    const bool removed = !installer()->installedVersion(aurora.bundleID);
    if (removed) {
        EXPECT_EQ(installer()->revertibleVersion(aurora), "1.0.0");
    } else {
        EXPECT_EQ(treeSnapshot(live / "Plugins"), oldPlugins);
    }
    EXPECT_EQ(hiddenItems(live), std::vector<std::string>{});
    EXPECT_TRUE(journalsSettled());
}

// What a transaction writes reads back, however its folders were named: through "..", "." or a link.
TEST_F(CrashRecoveryTest, AJournalOfFoldersNamedThroughDotsAndLinksIsRecovered) {
    resetLive();
    const auto alias = folder / "alias";
    fs::create_directory_symlink(live / "Plugins", alias);
    const auto roundabout = [&](const fs::path& destination) {
        return alias / "." / "VST3" / ".." / destination.parent_path().filename() / destination.filename();
    };
    const auto vst3 = live / "Plugins" / "VST3" / "Aurora.vst3";
    const auto clap = live / "Plugins" / "CLAP" / "Aurora.clap";
    const auto next = [&](const fs::path& destination) {
        const auto copy = destination.parent_path() / ".hvx-next-test";
        platform::copyTree(destination, copy);
        return roundabout(copy);
    };
    const std::vector<TransactionJournal::Item> items = {
        {roundabout(vst3), next(vst3), roundabout(vst3.parent_path() / ".hvx-rollback-test"), {}},
        {roundabout(clap), std::nullopt, roundabout(clap.parent_path() / ".hvx-rollback-test"), {}}};
    {
        auto transaction =
            TransactionJournal::begin(live / "Support" / "x" / ".." / ".", "plugin-install", items,
                                      {{roundabout(live / "Plugins" / "VST3" / "note"), "new"}});
        transaction.swapIn(0);
        transaction.swapIn(1);
        // The process ends here, as a crash would end it.
    }
    EXPECT_FALSE(fs::exists(clap));
    EXPECT_TRUE(installer()->recoverInterruptedWork());
    EXPECT_EQ(treeSnapshot(live / "Plugins"), oldPlugins);
    EXPECT_EQ(hiddenItems(live), std::vector<std::string>{});
    EXPECT_TRUE(journalsSettled());
}

}  // namespace
}  // namespace halvex
