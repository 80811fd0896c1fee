#include "core/install/bundle_replacement.h"

#include <gtest/gtest.h>

#include <fstream>

#include "core/foundation/halvex_error.h"
#include "platform/fault_injection.h"
#include "platform/path_exchange.h"
#include "tests/support/temporary_directory.h"

namespace halvex {
namespace {

std::string contentOf(const std::filesystem::path& bundle) {
    std::ifstream file(bundle / "version.txt");
    return std::string(std::istreambuf_iterator<char>(file), {});
}

std::filesystem::path makeBundle(const std::filesystem::path& path, const std::string& version) {
    std::filesystem::create_directories(path / "Contents");
    std::ofstream(path / "version.txt") << version;
    std::filesystem::create_symlink("../version.txt", path / "Contents" / "link");
    return path;
}

std::vector<std::string> hiddenEntries(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (entry.path().filename().string().starts_with(".")) names.push_back(entry.path().filename());
    }
    return names;
}

class BundleReplacementTest : public testing::Test {
  protected:
    BundleReplacementTest() {
        stageCandidates();
        makeBundle(folder / "plugins" / "A.vst3", "old A");
        std::filesystem::create_directories(folder / "clap");
        items = {{folder / "staging" / "A.vst3", folder / "plugins" / "A.vst3"},
                 {folder / "staging" / "B.clap", folder / "clap" / "B.clap"}};
    }

    // Candidates are used up by an installation (moved when they share the destination's file system).
    void stageCandidates() {
        std::filesystem::remove_all(folder / "staging");
        makeBundle(folder / "staging" / "A.vst3", "new A");
        makeBundle(folder / "staging" / "B.clap", "new B");
    }

    void expectUntouched() {
        EXPECT_EQ(contentOf(folder / "plugins" / "A.vst3"), "old A");
        EXPECT_EQ(std::filesystem::read_symlink(folder / "plugins" / "A.vst3" / "Contents" / "link"),
                  "../version.txt");
        EXPECT_FALSE(std::filesystem::exists(folder / "clap" / "B.clap")) << "a new destination ends absent";
        EXPECT_TRUE(hiddenEntries(folder / "plugins").empty());
        EXPECT_TRUE(hiddenEntries(folder / "clap").empty());
    }

    test::TemporaryDirectory folder;
    std::vector<BundleReplacement::Item> items;
};

TEST_F(BundleReplacementTest, SwapsEveryItemAndLeavesNoBackup) {
    std::vector<std::size_t> validated;
    BundleReplacement::install(items, [&](std::size_t index, const std::filesystem::path& installed) {
        validated.push_back(index);
        EXPECT_EQ(installed, items[index].destination);
    });
    EXPECT_EQ(validated, (std::vector<std::size_t>{0, 1}));
    EXPECT_EQ(contentOf(folder / "plugins" / "A.vst3"), "new A");
    EXPECT_EQ(contentOf(folder / "clap" / "B.clap"), "new B");
    EXPECT_TRUE(std::filesystem::is_symlink(folder / "clap" / "B.clap" / "Contents" / "link"));
    EXPECT_TRUE(hiddenEntries(folder / "plugins").empty());
    EXPECT_TRUE(hiddenEntries(folder / "clap").empty());
    EXPECT_FALSE(std::filesystem::exists(folder / "staging" / "A.vst3")) << "moved, not copied";
}

TEST_F(BundleReplacementTest, AFailedValidationOfAnyItemRestoresAll) {
    for (const std::size_t failing : {std::size_t{0}, std::size_t{1}}) {
        stageCandidates();
        try {
            BundleReplacement::install(items, [&](std::size_t index, const std::filesystem::path&) {
                if (index == failing) throw std::runtime_error("validation failed");
            });
            FAIL() << "no error";
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(), "validation failed");
        }
        expectUntouched();
    }
}

// When putting the old bundles back fails too, the caller hears both failures, and the journal lets the
// next recovery finish the restore.
TEST_F(BundleReplacementTest, AFailingRestoreReportsBothFailuresAndRecoveryFinishesIt) {
    static bool restoreFails;
    restoreFails = false;
    platform::setFaultHook([](platform::FileOperation operation, const std::filesystem::path&) {
        if (restoreFails && operation == platform::FileOperation::exchange) {
            restoreFails = false;
            throw std::system_error(EIO, std::generic_category(), "exchange");
        }
    });
    const auto support = folder / "support";
    try {
        BundleReplacement::install(items,
                                   [&](std::size_t index, const std::filesystem::path&) {
                                       if (index == 1) {
                                           restoreFails = true;
                                           throw std::runtime_error("validation failed");
                                       }
                                   },
                                   {support, {}, {}});
        ADD_FAILURE() << "no error";
    } catch (const HalvexError& error) {
        EXPECT_EQ(error.kind(), HalvexError::Case::invalidPackage);
        EXPECT_TRUE(std::string(error.what())
                        .starts_with("The installation failed (validation failed) and the previous version "
                                     "could not be put back yet ("))
            << error.what();
        EXPECT_TRUE(std::string(error.what()).ends_with("). It is kept and put back automatically."));
    }
    platform::setFaultHook(nullptr);
    TransactionJournal::recoverAll(support, {folder.path()});
    expectUntouched();
}

TEST_F(BundleReplacementTest, AMissingCandidateFailsBeforeAnyChangeAndAnEmptyListDoesNothing) {
    items[1].candidate = folder / "staging" / "Missing.clap";
    EXPECT_THROW(BundleReplacement::install(items, [](std::size_t, const std::filesystem::path&) {}),
                 std::system_error);
    expectUntouched();
    bool called = false;
    BundleReplacement::install({}, [&](std::size_t, const std::filesystem::path&) { called = true; });
    EXPECT_FALSE(called);
}

// Both ways of exchanging: the atomic one the file system offers here, and the two-rename fallback used
// where it offers none. A failed exchange leaves both items where they were.
TEST(PathExchange, BothMethodsSwapTwoItemsAndAFailureMovesNothing) {
    for (const auto method :
         {platform::ExchangeMethod::bestAvailable, platform::ExchangeMethod::twoRenames}) {
        test::TemporaryDirectory folder;
        const auto a = makeBundle(folder / "A.vst3", "a");
        std::ofstream(folder / "b") << "file b";
        platform::exchangePaths(a, folder / "b", method);
        EXPECT_EQ(contentOf(folder / "b"), "a");
        EXPECT_TRUE(std::filesystem::is_symlink(folder / "b" / "Contents" / "link"));
        EXPECT_TRUE(std::filesystem::is_regular_file(a));
        EXPECT_TRUE(hiddenEntries(folder.path()).empty());

        EXPECT_THROW(platform::exchangePaths(a, folder / "missing", method), std::system_error);
        EXPECT_TRUE(std::filesystem::is_regular_file(a));
        EXPECT_FALSE(std::filesystem::exists(folder / "missing"));
        EXPECT_TRUE(hiddenEntries(folder.path()).empty());
    }
}

}  // namespace
}  // namespace halvex
