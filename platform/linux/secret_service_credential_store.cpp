#include <gio/gio.h>
#include <libsecret/secret.h>
#include <sys/stat.h>

#include <cstdlib>
#include <memory>

#include "platform/credential_store.h"

namespace halvex::platform {

namespace {

const SecretSchema* itemSchema() {
    static const SecretSchema schema = {"com.halvex.hub.Item",
                                        SECRET_SCHEMA_NONE,
                                        {{"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                         {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                         {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
                                        0,
                                        nullptr,
                                        nullptr,
                                        nullptr,
                                        nullptr,
                                        nullptr,
                                        nullptr,
                                        nullptr};
    return &schema;
}

struct GObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
template <typename T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

struct GErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};
using ErrorPtr = std::unique_ptr<GError, GErrorFree>;

struct HashTableUnref {
    void operator()(GHashTable* table) const { g_hash_table_unref(table); }
};
using AttributesPtr = std::unique_ptr<GHashTable, HashTableUnref>;

struct ItemListFree {
    void operator()(GList* list) const { g_list_free_full(list, g_object_unref); }
};
using ItemListPtr = std::unique_ptr<GList, ItemListFree>;

struct SecretValueUnref {
    void operator()(SecretValue* value) const { secret_value_unref(value); }
};
using SecretValuePtr = std::unique_ptr<SecretValue, SecretValueUnref>;

// Status used when the service answers in a way libsecret does not report as an error.
constexpr long protocolStatus = SECRET_ERROR_PROTOCOL;

AttributesPtr itemAttributes(const std::string& service, const std::string& account) {
    AttributesPtr attributes(g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free));
    g_hash_table_insert(attributes.get(), g_strdup("service"), g_strdup(service.c_str()));
    g_hash_table_insert(attributes.get(), g_strdup("account"), g_strdup(account.c_str()));
    return attributes;
}

class SecretServiceCredentialStore final : public CredentialStore {
  public:
    CredentialRead read(const std::string& service, const std::string& account) override {
        GError* rawError = nullptr;
        GObjectPtr<SecretService> secretService(
            secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, &rawError));
        ErrorPtr error(rawError);
        if (!secretService) return failedRead(error.get());

        // Without SECRET_SEARCH_UNLOCK nothing is unlocked and no prompt can appear; locked items are
        // returned without their secrets.
        const auto attributes = itemAttributes(service, account);
        ItemListPtr items(secret_service_search_sync(
            secretService.get(), itemSchema(), attributes.get(),
            static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_LOAD_SECRETS), nullptr,
            &rawError));
        error.reset(rawError);
        if (error) return failedRead(error.get());
        if (!items) return {CredentialRead::Outcome::notFound, {}, 0};

        bool sawLocked = false;
        for (GList* node = items.get(); node != nullptr; node = node->next) {
            auto* item = static_cast<SecretItem*>(node->data);
            if (secret_item_get_locked(item)) {
                sawLocked = true;
                continue;
            }
            SecretValuePtr value(secret_item_get_secret(item));
            if (!value) continue;
            gsize length = 0;
            const gchar* bytes = secret_value_get(value.get(), &length);
            return {CredentialRead::Outcome::found, std::string(bytes, length), 0};
        }
        if (sawLocked) return {CredentialRead::Outcome::locked, {}, SECRET_ERROR_IS_LOCKED};
        return {CredentialRead::Outcome::failed, {}, protocolStatus};
    }

    CredentialStatus write(const std::string& service, const std::string& account,
                           std::string_view bytes) override {
        GError* rawError = nullptr;
        GObjectPtr<SecretService> secretService(
            secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, &rawError));
        ErrorPtr error(rawError);
        if (!secretService) return failure(error.get());

        GObjectPtr<SecretCollection> collection(secret_collection_for_alias_sync(
            secretService.get(), SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, &rawError));
        error.reset(rawError);
        if (error) return failure(error.get());
        // A missing default collection would be created and a locked one unlocked, both through a prompt.
        if (!collection) return CredentialStatus::failure(SECRET_ERROR_NO_SUCH_OBJECT);
        if (secret_collection_get_locked(collection.get()))
            return CredentialStatus::failure(SECRET_ERROR_IS_LOCKED);

        const auto attributes = itemAttributes(service, account);
        SecretValuePtr value(
            secret_value_new(bytes.data(), static_cast<gssize>(bytes.size()), "application/octet-stream"));
        const std::string label = "HALVEX HUB: " + account;
        GObjectPtr<SecretItem> item(secret_item_create_sync(collection.get(), itemSchema(), attributes.get(),
                                                            label.c_str(), value.get(),
                                                            SECRET_ITEM_CREATE_REPLACE, nullptr, &rawError));
        error.reset(rawError);
        if (!item) return error ? failure(error.get()) : CredentialStatus::failure(protocolStatus);
        return CredentialStatus::success();
    }

    CredentialStatus remove(const std::string& service, const std::string& account) override {
        GError* rawError = nullptr;
        GObjectPtr<SecretService> secretService(
            secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, &rawError));
        ErrorPtr error(rawError);
        if (!secretService) return failure(error.get());
        const auto attributes = itemAttributes(service, account);
        // Returns false without an error when nothing matched, which is a success here.
        secret_service_clear_sync(secretService.get(), itemSchema(), attributes.get(), nullptr, &rawError);
        error.reset(rawError);
        if (error) return failure(error.get());
        return CredentialStatus::success();
    }

  private:
    static CredentialRead failedRead(const GError* error) {
        if (error != nullptr && error->domain == SECRET_ERROR && error->code == SECRET_ERROR_IS_LOCKED) {
            return {CredentialRead::Outcome::locked, {}, error->code};
        }
        return {CredentialRead::Outcome::failed, {}, error != nullptr ? error->code : protocolStatus};
    }

    static CredentialStatus failure(const GError* error) {
        return CredentialStatus::failure(error != nullptr ? error->code : protocolStatus);
    }
};

// GIO would otherwise fall back to autolaunching a bus through X11; a missing bus means no Secret Service.
bool sessionBusConfigured() {
    if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
        address != nullptr && address[0] != '\0') {
        return true;
    }
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime == nullptr || runtime[0] != '/') return false;
    struct stat status {};
    return ::stat((std::string(runtime) + "/bus").c_str(), &status) == 0 && S_ISSOCK(status.st_mode);
}

bool busOffersName(GDBusConnection* connection, const char* method, const char* name) {
    GError* rawError = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(
        connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", method,
        std::string_view(method) == "NameHasOwner" ? g_variant_new("(s)", name) : nullptr, nullptr,
        G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &rawError);
    ErrorPtr error(rawError);
    if (reply == nullptr) return false;
    bool offered = false;
    if (g_variant_is_of_type(reply, G_VARIANT_TYPE("(b)"))) {
        gboolean owned = FALSE;
        g_variant_get(reply, "(b)", &owned);
        offered = owned != FALSE;
    } else if (g_variant_is_of_type(reply, G_VARIANT_TYPE("(as)"))) {
        GVariantIter* names = nullptr;
        g_variant_get(reply, "(as)", &names);
        const gchar* entry = nullptr;
        while (g_variant_iter_loop(names, "&s", &entry)) {
            if (std::string_view(entry) == name) offered = true;
        }
        g_variant_iter_free(names);
    }
    g_variant_unref(reply);
    return offered;
}

}  // namespace

std::shared_ptr<CredentialStore> makeSecretServiceCredentialStore() {
    return std::make_shared<SecretServiceCredentialStore>();
}

bool secretServiceAvailable() {
    if (!sessionBusConfigured()) return false;
    GError* rawError = nullptr;
    GObjectPtr<GDBusConnection> connection(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &rawError));
    ErrorPtr error(rawError);
    if (!connection) return false;
    constexpr const char* secrets = "org.freedesktop.secrets";
    return busOffersName(connection.get(), "NameHasOwner", secrets) ||
           busOffersName(connection.get(), "ListActivatableNames", secrets);
}

}  // namespace halvex::platform
