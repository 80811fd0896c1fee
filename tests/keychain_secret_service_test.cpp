#include <gtest/gtest.h>
#include <libsecret/secret.h>

#include <chrono>
#include <memory>

#include "core/foundation/halvex_error.h"
#include "core/service/keychain_store.h"
#include "tests/support/private_secret_service.h"

namespace halvex {
namespace {

test::PrivateSecretService* secretService = nullptr;

class SecretServiceEnvironment : public testing::Environment {
  public:
    void SetUp() override {
        service_ = std::make_unique<test::PrivateSecretService>();
        secretService = service_.get();
    }
    void TearDown() override {
        secretService = nullptr;
        service_.reset();
    }

  private:
    std::unique_ptr<test::PrivateSecretService> service_;
};

const testing::Environment* const environment =
    testing::AddGlobalTestEnvironment(new SecretServiceEnvironment);

// Items of our schema stored for `account`, looked up directly through libsecret.
std::vector<std::string> labelsFor(const std::string& account) {
    SecretService* service = secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, nullptr);
    GHashTable* attributes = g_hash_table_new(g_str_hash, g_str_equal);
    g_hash_table_insert(attributes, const_cast<char*>("service"), const_cast<char*>("com.halvex.hub"));
    g_hash_table_insert(attributes, const_cast<char*>("account"), const_cast<char*>(account.c_str()));
    GList* items =
        secret_service_search_sync(service, nullptr, attributes, SECRET_SEARCH_ALL, nullptr, nullptr);
    std::vector<std::string> labels;
    for (GList* node = items; node != nullptr; node = node->next) {
        gchar* label = secret_item_get_label(static_cast<SecretItem*>(node->data));
        labels.emplace_back(label);
        g_free(label);
    }
    g_list_free_full(items, g_object_unref);
    g_hash_table_unref(attributes);
    g_object_unref(service);
    return labels;
}

// Unlocking again would need a prompt, so this is the last thing a test does with the collection.
void lockDefaultCollection() {
    SecretService* service = secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, nullptr);
    SecretCollection* collection = secret_collection_for_alias_sync(service, SECRET_COLLECTION_DEFAULT,
                                                                    SECRET_COLLECTION_NONE, nullptr, nullptr);
    ASSERT_NE(collection, nullptr);
    GList* objects = g_list_append(nullptr, collection);
    secret_service_lock_sync(service, objects, nullptr, nullptr, nullptr);
    EXPECT_TRUE(secret_collection_get_locked(collection));
    g_list_free(objects);
    g_object_unref(collection);
    g_object_unref(service);
}

TEST(KeychainSecretService, IsChosenWhenTheSessionOffersIt) {
    EXPECT_TRUE(platform::secretServiceAvailable());
    KeychainStore store("com.halvex.hub");
    store.write("chosen", "selection-check");
    EXPECT_EQ(labelsFor("selection-check"), std::vector<std::string>{"HALVEX HUB: selection-check"});
    store.remove("selection-check");
}

TEST(KeychainSecretService, ReadsWritesReplacesAndDeletes) {
    KeychainStore store("com.halvex.hub", platform::makeSecretServiceCredentialStore());
    EXPECT_EQ(store.read("device-credential"), std::nullopt);
    EXPECT_NO_THROW(store.remove("device-credential"));

    const std::string binary("\x01\x00\xfe raw key", 10);
    store.write("first", "device-credential");
    store.write(binary, "device-credential");
    EXPECT_EQ(store.read("device-credential"), binary);
    EXPECT_EQ(labelsFor("device-credential"), std::vector<std::string>{"HALVEX HUB: device-credential"});

    // Another service name is another item.
    KeychainStore other("com.halvex.other", platform::makeSecretServiceCredentialStore());
    EXPECT_EQ(other.read("device-credential"), std::nullopt);

    store.remove("device-credential");
    EXPECT_EQ(store.read("device-credential"), std::nullopt);
    EXPECT_TRUE(labelsFor("device-credential").empty());
}

TEST(KeychainSecretService, ALockedCollectionFailsWithTheUnlockSentenceWithoutPrompting) {
    KeychainStore store("com.halvex.hub", platform::makeSecretServiceCredentialStore());
    store.write("token", "device-credential");
    lockDefaultCollection();

    const auto started = std::chrono::steady_clock::now();
    try {
        store.read("device-credential");
        ADD_FAILURE() << "a locked item was read";
    } catch (const HalvexError& error) {
        EXPECT_EQ(error.kind(), HalvexError::Case::configuration);
        EXPECT_EQ(error.errorDescription(), "Unlock the login Keychain, then select Refresh in HALVEX HUB.");
    }
    try {
        store.write("other", "device-credential");
        ADD_FAILURE() << "a locked collection was written";
    } catch (const HalvexError& error) {
        EXPECT_EQ(error.errorDescription(), "Keychain write failed (2).");
    }
    // A prompt would wait for a person; the answer comes at once instead.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
}

}  // namespace
}  // namespace halvex
