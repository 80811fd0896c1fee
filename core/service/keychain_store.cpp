#include "core/service/keychain_store.h"

#include "core/foundation/halvex_error.h"

namespace halvex {

KeychainStore::KeychainStore(std::string service) : service_(std::move(service)) {}

KeychainStore::KeychainStore(std::string service, std::shared_ptr<platform::CredentialStore> store)
    : service_(std::move(service)), store_(std::move(store)) {}

platform::CredentialStore& KeychainStore::store() const {
    return store_ ? *store_ : *platform::defaultCredentialStore();
}

std::optional<std::string> KeychainStore::read(const std::string& account) const {
    auto result = store().read(service_, account);
    using Outcome = platform::CredentialRead::Outcome;
    switch (result.outcome) {
        case Outcome::found:
            return std::move(result.bytes);
        case Outcome::notFound:
            return std::nullopt;
        case Outcome::locked:
            throw HalvexError::configuration("Unlock the login Keychain, then select Refresh in HALVEX HUB.");
        case Outcome::failed:
            break;
    }
    throw HalvexError::configuration("Keychain access failed (" + std::to_string(result.status) + ").");
}

void KeychainStore::write(std::string_view bytes, const std::string& account) const {
    const auto status = store().write(service_, account, bytes);
    if (!status.succeeded) {
        throw HalvexError::configuration("Keychain write failed (" + std::to_string(status.status) + ").");
    }
}

void KeychainStore::remove(const std::string& account) const {
    const auto status = store().remove(service_, account);
    if (!status.succeeded) {
        throw HalvexError::configuration("Keychain deletion failed (" + std::to_string(status.status) + ").");
    }
}

}  // namespace halvex
