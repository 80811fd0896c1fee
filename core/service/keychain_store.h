#pragma once

// Small secrets of the signed-in user, as byte strings keyed by (service, account), in the user's
// credential store. Every platform failure becomes a HalvexError::configuration with a sentence the user
// can act on. Reads never prompt and never unlock. Safe to call from any thread.

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/credential_store.h"

namespace halvex {

class KeychainStore {
  public:
    // Uses the credential store the session offers (chosen lazily, once per process). No I/O here.
    explicit KeychainStore(std::string service);
    KeychainStore(std::string service, std::shared_ptr<platform::CredentialStore> store);

    const std::string& service() const { return service_; }

    // The stored bytes, or absent when no item exists.
    std::optional<std::string> read(const std::string& account) const;
    // Creates the item or replaces its data.
    void write(std::string_view bytes, const std::string& account) const;
    // Removes the item; a missing item is not an error.
    void remove(const std::string& account) const;

  private:
    platform::CredentialStore& store() const;

    std::string service_;
    std::shared_ptr<platform::CredentialStore> store_;
};

}  // namespace halvex
