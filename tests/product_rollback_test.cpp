// Revert, hold and uninstall on the installer, with real bundles in temporary plugin folders.

#include <gtest/gtest.h>

#include <fstream>

#include "core/foundation/halvex_error.h"
#include "core/install/plugin_installer.h"
#include "platform/file_io.h"
#include "platform/zip_archive.h"
#include "tests/support/error_text.h"
#include "tests/support/fault_loop.h"
#include "tests/support/plugin_fixtures.h"
#include "tests/support/release_builder.h"
#include "tests/support/service_fixture.h"

namespace halvex {
namespace {

struct Formats {
    bool vst3 = true;
    bool audioUnit = true;
    bool clap = true;
};

class ProductRollbackTest : public test::ServiceFixture {
  protected:
    ProductRollbackTest() {
        signIn();
        folders = PluginInstaller::Folders::standard(folder / "Support", folder / "Plugins" / "VST3");
        folders.legacyVST3Directory = folder / "Legacy";
        installer =
            std::make_unique<PluginInstaller>(test::trustingConfiguration(service.baseURL()), folders);
        installer->setAudioApplications([this] { return hosts; });
    }

    Release makeRelease(const std::string& version, Formats formats = {}) {
        return test::releaseOf(builder.plugin({.version = version,
                                               .minimumHubVersion = "1.0.5",
                                               .vst3 = formats.vst3,
                                               .audioUnit = formats.audioUnit,
                                               .clap = formats.clap}));
    }

    void install(const Release& release) {
        ASSERT_EQ(installer->downloadAndInstall(release, client(), verifier, false, false),
                  PluginInstaller::InstallResult::installed());
    }

    std::map<std::string, std::string> plugins() const {
        return test::treeSnapshot(
            {folders.pluginDirectory, folders.audioUnitDirectory, folders.clapDirectory});
    }

    std::string receipt() const {
        return platform::readFile(installer->receiptURL(product.bundleID), 1 << 20);
    }

    PluginInstaller::Folders folders;
    std::unique_ptr<PluginInstaller> installer;
    SignedMetadataVerifier verifier = test::trustingVerifier();
    std::vector<std::string> hosts;
    Product product{"prod_aurora",
                    "aurora",
                    "Aurora",
                    "com.halvex.aurora",
                    "P",
                    "C",
                    *Url::parse("https://cdn.example/icon.png"),
                    true};
    test::ReleaseBuilder builder{folder / "Releases", [this](const auto& path, const auto& archive) {
                                     return service.addFileFromDisk(path, archive);
                                 }};
};

TEST_F(ProductRollbackTest, RevertAfterAnUpdateRestoresTheOldBundlesExactlyAndHoldsThem) {
    const auto old = makeRelease("1.0.0");
    install(old);
    const auto oldPlugins = plugins();
    const auto oldReceipt = receipt();
    const auto update = makeRelease("1.1.0");
    install(update);
    const auto newPlugins = plugins();

    const auto reverted = installer->revert(product, verifier, false);

    EXPECT_EQ(reverted.version, "1.0.0");
    EXPECT_EQ(plugins(), oldPlugins);
    EXPECT_EQ(receipt(), oldReceipt);
    EXPECT_EQ(installer->installedChannel(product.bundleID, verifier), "stable");
    EXPECT_EQ(installer->holds().heldVersion(product.productID), "1.0.0");
    // The version it replaced is kept in turn, so going forward again needs no download.
    installer->revert(product, verifier, false);
    EXPECT_EQ(plugins(), newPlugins);
    EXPECT_EQ(installer->holds().heldVersion(product.productID), "1.1.0");
    EXPECT_FALSE(std::filesystem::exists(folder / "Support" / "Staging") &&
                 !std::filesystem::is_empty(folder / "Support" / "Staging"));
}

TEST_F(ProductRollbackTest, RevertRemovesFormatsTheOldVersionDidNotHave) {
    install(makeRelease("1.0.0", {.vst3 = true, .audioUnit = false, .clap = false}));
    install(makeRelease("1.1.0"));
    installer->revert(product, verifier, false);
    EXPECT_EQ(installer->installedVersion(product.bundleID), "1.0.0");
    EXPECT_EQ(installer->installedAudioUnit("com.halvex.aurora.au"), std::nullopt);
    EXPECT_EQ(installer->installedClap("com.halvex.aurora.clap"), std::nullopt);
}

TEST_F(ProductRollbackTest, RevertRefusesAndChangesNothing) {
    // No archive at all.
    install(makeRelease("1.0.0"));
    auto before = plugins();
    EXPECT_EQ(test::errorText([&] { installer->revert(product, verifier, false); }),
              "No earlier version of Aurora is kept on this computer.");
    EXPECT_EQ(plugins(), before);

    install(makeRelease("1.1.0"));
    before = plugins();
    const auto rollback = folder / "Support" / "Rollback";

    // A host runs.
    hosts = {"REAPER"};
    EXPECT_EQ(test::errorText([&] { installer->revert(product, verifier, false); }),
              "Close these audio applications before installing: REAPER.");
    hosts.clear();

    // An archived bundle whose seal no longer holds.
    const auto zip = rollback / "com.halvex.aurora.clap.zip";
    const auto good = platform::readFile(zip, 1 << 24);
    const auto work = folder / "Tamper";
    std::filesystem::create_directories(work);
    platform::expandZip(zip, work);
    std::ofstream(work / "Aurora.clap" / "Contents" / "MacOS" / "AuroraCLAP", std::ios::app) << "x";
    std::filesystem::remove(zip);
    platform::createZip({work / "Aurora.clap"}, zip);
    EXPECT_EQ(test::errorText([&] { installer->revert(product, verifier, false); }),
              "The plugin is not signed by HALVEX.");
    platform::writeFileAtomically(zip, good, 0644);

    // A record that the service did not sign.
    const auto record = installer->rollbackRecordURL(product.bundleID);
    const auto signedRecord = platform::readFile(record, 1 << 20);
    auto forged = nlohmann::json::parse(signedRecord);
    forged["channel"] = "beta";
    platform::writeFileAtomically(record, forged.dump(), 0600);
    EXPECT_EQ(test::errorText([&] { installer->revert(product, verifier, false); }),
              "The signed release metadata does not match the catalog.");

    EXPECT_EQ(plugins(), before);
    EXPECT_FALSE(installer->holds().isHeld(product.productID));
    platform::writeFileAtomically(record, signedRecord, 0600);
    EXPECT_EQ(installer->revert(product, verifier, false).version, "1.0.0");
}

TEST_F(ProductRollbackTest, UninstallRemovesEveryFormatAndTheReceiptAndRevertBringsThemBack) {
    install(makeRelease("1.0.0"));
    const auto installed = plugins();
    const auto installedReceipt = receipt();
    installer->hold(product);

    hosts = {"Bitwig Studio"};
    EXPECT_EQ(test::errorText([&] { installer->uninstall(product); }),
              "Close these audio applications before installing: Bitwig Studio.");
    EXPECT_EQ(plugins(), installed);
    hosts.clear();

    installer->uninstall(product);
    EXPECT_EQ(installer->installedVersion(product.bundleID), std::nullopt);
    EXPECT_EQ(installer->legacyInstalledBundle(product.bundleID), std::nullopt);
    EXPECT_FALSE(std::filesystem::exists(installer->receiptURL(product.bundleID)));
    EXPECT_FALSE(installer->holds().isHeld(product.productID));
    for (const auto& [path, digest] : plugins()) EXPECT_EQ(digest, "folder") << path << " was left behind";
    EXPECT_EQ(test::errorText([&] { installer->uninstall(product); }), "Aurora is not installed.");

    EXPECT_EQ(installer->revert(product, verifier, false).version, "1.0.0");
    EXPECT_EQ(plugins(), installed);
    EXPECT_EQ(receipt(), installedReceipt);
}

TEST_F(ProductRollbackTest, HeldProductsKeepTheirStagedUpdateUntilReleased) {
    install(makeRelease("1.0.0"));
    hosts = {"REAPER"};
    const auto update = makeRelease("1.1.0");
    ASSERT_EQ(installer->downloadAndInstall(update, client(), verifier, false, true).kind,
              PluginInstaller::InstallResult::Kind::pendingRestart);
    hosts.clear();
    EXPECT_EQ(installer->hold(product), "1.0.0");

    EXPECT_TRUE(installer->finishPendingUpdates(verifier, "9.9.9").empty());
    EXPECT_EQ(installer->installedVersion(product.bundleID), "1.0.0");

    installer->holds().release(product.productID);
    EXPECT_EQ(installer->finishPendingUpdates(verifier, "9.9.9"), std::vector<std::string>{"Aurora"});
    EXPECT_EQ(installer->installedVersion(product.bundleID), "1.1.0");
}

TEST(ProductHolds, ADamagedRecordStillHoldsAndForeignRecordsAreIgnored) {
    test::TemporaryDirectory folder;
    const ProductHolds holds(folder.path());
    EXPECT_FALSE(holds.isHeld("prod_a"));
    holds.release("prod_a");

    holds.hold("prod_a", "1.0.0");
    holds.hold("prod_b", "2.0.0");
    EXPECT_EQ(holds.all(), (std::map<std::string, std::string>{{"prod_a", "1.0.0"}, {"prod_b", "2.0.0"}}));

    std::ofstream(holds.file("prod_a"), std::ios::trunc) << "{broken";
    EXPECT_TRUE(holds.isHeld("prod_a"));
    EXPECT_EQ(holds.heldVersion("prod_a"), std::nullopt);
    // prod_b's record copied under prod_c's name holds prod_c, but names nobody in the list.
    std::filesystem::copy_file(holds.file("prod_b"), holds.file("prod_c"));
    EXPECT_EQ(holds.heldVersion("prod_c"), std::nullopt);
    EXPECT_EQ(holds.all(), (std::map<std::string, std::string>{{"prod_b", "2.0.0"}}));

    holds.release("prod_a");
    EXPECT_FALSE(holds.isHeld("prod_a"));
}

}  // namespace
}  // namespace halvex
