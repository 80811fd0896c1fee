#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <functional>

#include "core/foundation/halvex_error.h"
#include "core/service/keychain_store.h"
#include "tests/support/temporary_directory.h"

namespace halvex {
namespace {

class KeychainFileStoreTest : public testing::Test {
  protected:
    std::filesystem::path root() const { return folder / "Keychain"; }
    KeychainStore store() const {
        return KeychainStore("com.halvex.hub", platform::makeFileCredentialStore(root()));
    }
    std::filesystem::path itemPath(const std::string& account) const {
        return root() / "com.halvex.hub" / account;
    }

    static mode_t modeOf(const std::filesystem::path& path) {
        struct stat status {};
        EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
        return status.st_mode & 07777;
    }

    static std::string configurationMessage(const std::function<void()>& action) {
        try {
            action();
        } catch (const HalvexError& error) {
            EXPECT_EQ(error.kind(), HalvexError::Case::configuration);
            return error.errorDescription();
        }
        return "(no error)";
    }

    test::TemporaryDirectory folder;
};

TEST_F(KeychainFileStoreTest, MissingItemsReadAsAbsentAndDeleteQuietly) {
    EXPECT_EQ(store().read("device-credential"), std::nullopt);
    EXPECT_NO_THROW(store().remove("device-credential"));
    EXPECT_FALSE(std::filesystem::exists(root()));
}

TEST_F(KeychainFileStoreTest, WritesReplaceAtomicallyWithPrivatePermissions) {
    const std::string binary("key\0with\xff bytes", 15);
    store().write("first", "device-private-key");
    struct stat before {};
    ::stat(itemPath("device-private-key").c_str(), &before);
    store().write(binary, "device-private-key");
    struct stat after {};
    ::stat(itemPath("device-private-key").c_str(), &after);

    EXPECT_EQ(store().read("device-private-key"), binary);
    EXPECT_NE(before.st_ino, after.st_ino) << "the item was rewritten in place instead of replaced";
    EXPECT_EQ(modeOf(root()), 0700u);
    EXPECT_EQ(modeOf(root() / "com.halvex.hub"), 0700u);
    EXPECT_EQ(modeOf(itemPath("device-private-key")), 0600u);
    // One item, no temporary file left behind.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(root() / "com.halvex.hub"),
                            std::filesystem::directory_iterator()),
              1);

    store().remove("device-private-key");
    EXPECT_EQ(store().read("device-private-key"), std::nullopt);
}

TEST_F(KeychainFileStoreTest, NamesThatCouldEscapeTheFolderAreStoredUnderTheirDigest) {
    for (const std::string account : {"../escape", "..", ".", ".hidden", "a/b", ""}) {
        store().write("secret:" + account, account);
        EXPECT_EQ(store().read(account), "secret:" + account) << account;
    }
    EXPECT_FALSE(std::filesystem::exists(root() / "escape"));
    for (const auto& entry : std::filesystem::directory_iterator(root() / "com.halvex.hub")) {
        EXPECT_EQ(entry.path().filename().string().size(), 64u) << entry.path();
    }
}

TEST_F(KeychainFileStoreTest, UnreadableItemsReportTheErrno) {
    std::filesystem::create_directories(itemPath("a-folder") / "inside");
    std::filesystem::create_directories(root() / "com.halvex.hub");
    std::filesystem::create_symlink("/etc/hostname", itemPath("a-link"));
    std::ofstream(itemPath("too-large"), std::ios::binary) << std::string(1024 * 1024 + 1, 'x');

    EXPECT_EQ(configurationMessage([&] { store().read("a-folder"); }), "Keychain access failed (21).");
    EXPECT_EQ(configurationMessage([&] { store().read("a-link"); }), "Keychain access failed (40).");
    EXPECT_EQ(configurationMessage([&] { store().read("too-large"); }), "Keychain access failed (27).");
    EXPECT_EQ(configurationMessage([&] { store().remove("a-folder"); }), "Keychain deletion failed (21).");
}

TEST_F(KeychainFileStoreTest, AWriteThatCannotCreateItsFolderReportsTheErrno) {
    std::ofstream(root()) << "a file where the folder belongs";
    EXPECT_EQ(configurationMessage([&] { store().write("x", "device-credential"); }),
              "Keychain write failed (20).");
}

}  // namespace
}  // namespace halvex
