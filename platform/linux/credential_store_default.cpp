#include <mutex>

#include "platform/credential_store.h"
#include "platform/standard_folders.h"
#include "platform/user_folders.h"

namespace halvex::platform {

std::shared_ptr<CredentialStore> defaultCredentialStore() {
    static std::once_flag chosen;
    static std::shared_ptr<CredentialStore> store;
    std::call_once(chosen, [] {
        // A demo keeps its sign-in in its own folder, never in the user's keyring.
        store = secretServiceAvailable() && !demoRoot()
                    ? makeSecretServiceCredentialStore()
                    : makeFileCredentialStore(standardFolders().installerData / "Keychain");
    });
    return store;
}

}  // namespace halvex::platform
