#pragma once

// The per-user credential store behind the keychain: byte strings keyed by (service, account).
// Operations never prompt the user and never unlock anything. Safe to call from any thread.

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

namespace halvex::platform {

struct CredentialRead {
    enum class Outcome { found, notFound, locked, failed };
    Outcome outcome = Outcome::notFound;
    std::string bytes;  // the item's data when found
    long status = 0;    // the store's own status code when failed
};

struct CredentialStatus {
    bool succeeded = true;
    long status = 0;  // the store's own status code when it failed

    static CredentialStatus success() { return {}; }
    static CredentialStatus failure(long status) { return {false, status}; }
};

class CredentialStore {
  public:
    virtual ~CredentialStore() = default;
    virtual CredentialRead read(const std::string& service, const std::string& account) = 0;
    // Creates the item or replaces its data.
    virtual CredentialStatus write(const std::string& service, const std::string& account,
                                   std::string_view bytes) = 0;
    // Removes the item; a missing item is a success.
    virtual CredentialStatus remove(const std::string& service, const std::string& account) = 0;
};

// Items as files below `root`: <root>/<service>/<account>, folders 0700, files 0600, replaced atomically.
// Status codes are errno values.
std::shared_ptr<CredentialStore> makeFileCredentialStore(std::filesystem::path root);

// Items in the Secret Service's default collection. Status codes are the GError codes of libsecret/GDBus.
std::shared_ptr<CredentialStore> makeSecretServiceCredentialStore();

// Whether the session bus offers a Secret Service (running or activatable). Never starts a bus.
bool secretServiceAvailable();

// The Secret Service when the session offers one, else the file store below the user's data folder.
// Chosen once per process.
std::shared_ptr<CredentialStore> defaultCredentialStore();

}  // namespace halvex::platform
